#include "ops/write/outputplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int symlinkDepth = 40;

OutputPlace placeOf(const QString& given, const QString& target)
{
    const QFileInfo info(target);
    return { given, target, QFile::encodeName(info.path()), QFile::encodeName(info.fileName()) };
}

} // namespace

OutputPlace OutputPlace::ofFile(const QString& path)
{
    QFileInfo info(path);
    for (int depth = 0; depth < symlinkDepth && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    OutputPlace place = placeOf(path, info.filePath());
    if (place.name.isEmpty())
        place.name = ".";
    return place;
}

OutputPlace OutputPlace::ofFolder(const QString& path)
{
    // The system resolves the path as given, a symlink before the ".." behind it ("link/../new" lies
    // beside the link's target), so the folder is found through its resolved parent and never by cleaning
    // the text, which would name another folder, one that --force could replace.
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const int slash = trimmed.lastIndexOf(QLatin1Char('/'));
    const QString name = trimmed.mid(slash + 1);
    const bool plainName = !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
    const QString parent
        = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : trimmed.left(slash));
    if (char* resolved = ::realpath(QFile::encodeName(plainName ? parent : trimmed).constData(), nullptr)) {
        const QString folder = QFile::decodeName(resolved);
        std::free(resolved);
        const QFileInfo target(plainName ? QDir(folder).filePath(name) : folder);
        return placeOf(path, target.exists() ? target.canonicalFilePath() : target.filePath());
    }
    // A parent that does not resolve is reported by the writer as the obstacle it meets.
    const QFileInfo given(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    return placeOf(path, given.exists() ? given.canonicalFilePath() : given.absoluteFilePath());
}
