#include "outputtarget.h"

#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

bool sameFile(const QFileInfo& output, const QString& inputPath)
{
    const QFileInfo input(inputPath);
    if (!input.exists())
        return false;
    if (output.canonicalFilePath() == input.canonicalFilePath())
        return true;
#ifdef Q_OS_UNIX
    // A hard link has a path of its own; only the device and inode tell it apart.
    struct stat outputStatus { };
    struct stat inputStatus { };
    if (stat(QFile::encodeName(output.absoluteFilePath()).constData(), &outputStatus) == 0
        && stat(QFile::encodeName(input.absoluteFilePath()).constData(), &inputStatus) == 0)
        return outputStatus.st_dev == inputStatus.st_dev && outputStatus.st_ino == inputStatus.st_ino;
#endif
    return false;
}

} // namespace

std::optional<CommandResult> OutputTarget::check(
    const QString& outputPath, bool force, const QStringList& inputPaths)
{
    const QFileInfo output(outputPath);
    // exists() follows symlinks; a dangling link still names a file that writing would create.
    if (!output.exists() && !output.isSymLink())
        return std::nullopt;
    for (const QString& input : inputPaths) {
        if (sameFile(output, input))
            return CommandResult::failure(exitRefused,
                QStringLiteral("%1 is an input file; it is never written in place.").arg(outputPath));
    }
    if (!force)
        return CommandResult::failure(
            exitRefused, QStringLiteral("%1 already exists; use --force to replace it.").arg(outputPath));
    return std::nullopt;
}
