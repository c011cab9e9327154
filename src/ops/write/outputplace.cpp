#include "ops/write/outputplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    const QFileInfo given(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    return placeOf(path, given.exists() ? given.canonicalFilePath() : given.absoluteFilePath());
}
