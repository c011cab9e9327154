#include "outputtarget.h"

#include "ops/planwriter.h"

#include <QFileInfo>
#include <QStringList>

#include <cstring>

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

CommandResult refusal(const QString& message)
{
    return CommandResult::failure(exitRefused, message);
}

CommandResult notRegular(const QString& outputPath, const char* kind)
{
    return refusal(
        QStringLiteral("%1 is a %2; tessel-cli replaces only regular files, so nothing was written.")
            .arg(outputPath, QLatin1String(kind)));
}

CommandResult notAFolder(const QString& folderPath, const char* kind)
{
    return refusal(
        QStringLiteral("%1 is a %2; -o names the folder that --all writes, so nothing was written.")
            .arg(folderPath, QLatin1String(kind)));
}

// Whether the file at `inputPath` lies in `folder` or below it (symlinks followed).
bool holds(const QString& folder, const QString& inputPath)
{
    const QString input = QFileInfo(inputPath).canonicalFilePath();
    return !input.isEmpty() && input.startsWith(folder + QLatin1Char('/'));
}

CommandResult folderRefusal(FolderObstacle obstacle, const QString& folderPath, const QString& target)
{
    const QString parent = QFileInfo(target).absolutePath();
    switch (obstacle) {
    case FolderObstacle::None:
    case FolderObstacle::Unreachable:
        break;
    case FolderObstacle::NotEmpty:
        return refusal(
            QStringLiteral("%1 already exists and is not empty; use --force to replace it.").arg(folderPath));
    case FolderObstacle::File:
        return notAFolder(folderPath, "file");
    case FolderObstacle::CharacterDevice:
        return notAFolder(folderPath, "character device");
    case FolderObstacle::BlockDevice:
        return notAFolder(folderPath, "block device");
    case FolderObstacle::Fifo:
        return notAFolder(folderPath, "FIFO");
    case FolderObstacle::Socket:
        return notAFolder(folderPath, "socket");
    case FolderObstacle::MissingParent:
        return refusal(
            QStringLiteral("%1 cannot be created: there is no folder %2.").arg(folderPath, parent));
    case FolderObstacle::UnwritableParent:
        return refusal(
            QStringLiteral("%1 cannot be created: the folder %2 is not writable.").arg(folderPath, parent));
    }
    return refusal(QStringLiteral("%1 cannot be written: its path cannot be looked at.").arg(folderPath));
}

} // namespace

std::optional<CommandResult> OutputTarget::check(
    const QString& outputPath, bool force, const QStringList& inputPaths, bool dryRun)
{
    const QFileInfo output(outputPath);
    // exists() follows symlinks; a dangling link still names a file that writing would create.
    if (output.exists() || output.isSymLink()) {
        for (const QString& input : inputPaths) {
            if (sameFile(output, input))
                return refusal(
                    QStringLiteral("%1 is an input file; it is never written in place.").arg(outputPath));
        }
    }
    const OutputCheck writable = PlanWriter::check(outputPath, existingOutput(force));
    const QString folder = QFileInfo(writable.target).absolutePath();
    switch (writable.obstacle) {
    case OutputObstacle::None:
        // A dangling symlink names no file, but the name is taken: only --force writes through it.
        if (!force && output.isSymLink())
            return refusal(QStringLiteral("%1 already exists; use --force to replace it.").arg(outputPath));
        return std::nullopt;
    case OutputObstacle::Exists:
        return refusal(QStringLiteral("%1 already exists; use --force to replace it.").arg(outputPath));
    case OutputObstacle::Folder:
        return refusal(QStringLiteral("%1 is a folder; -o names the file to write.").arg(outputPath));
    case OutputObstacle::CharacterDevice:
        return notRegular(outputPath, "character device");
    case OutputObstacle::BlockDevice:
        return notRegular(outputPath, "block device");
    case OutputObstacle::Fifo:
        return notRegular(outputPath, "FIFO");
    case OutputObstacle::Socket:
        return notRegular(outputPath, "socket");
    case OutputObstacle::MissingFolder:
        if (dryRun)
            return refusal(
                QStringLiteral("%1 cannot be created: there is no folder %2.").arg(outputPath, folder));
        break;
    case OutputObstacle::UnwritableFolder:
        if (dryRun)
            return refusal(QStringLiteral("%1 cannot be created: the folder %2 is not writable.")
                               .arg(outputPath, folder));
        break;
    case OutputObstacle::UnwritableFile:
        if (dryRun)
            return refusal(QStringLiteral("%1 cannot be replaced: it is not writable.").arg(outputPath));
        break;
    case OutputObstacle::Unreachable:
        return refusal(QStringLiteral("%1 cannot be written: its path cannot be looked at.").arg(outputPath));
    }
    return std::nullopt;
}

void OutputTarget::explainFault(const Outcome& outcome, const QString& outputPath, bool force,
    const QStringList& inputPaths, CommandResult& result)
{
    if (outcome.outputFault == OutputFault::NotDurable) {
        result.detail
            = QStringLiteral("%1 was written, but its folder could not be synced: its durability is "
                             "not confirmed, and it may not survive a power cut.")
                  .arg(outputPath);
        return;
    }
    if (outcome.outputFault == OutputFault::Exists || outcome.outputFault == OutputFault::NotRegularFile) {
        if (const std::optional<CommandResult> refusal = check(outputPath, force, inputPaths, false))
            result.message = refusal->message;
    }
}

std::optional<CommandResult> OutputTarget::checkFolder(
    const QString& folderPath, bool force, const QStringList& inputPaths)
{
    QString target;
    const FolderObstacle obstacle = FolderWriter::check(folderPath, existingOutput(force), &target);
    for (const QString& input : inputPaths) {
        if (holds(target, input))
            return refusal(
                QStringLiteral("%1 holds the input file %2; it is never replaced.").arg(folderPath, input));
    }
    if (obstacle == FolderObstacle::None)
        return std::nullopt;
    return folderRefusal(obstacle, folderPath, target);
}

void OutputTarget::explainFolderFault(const FolderWriter& writer, const QString& folderPath, bool force,
    const QStringList& inputPaths, CommandResult& result)
{
    switch (writer.fault()) {
    case FolderFault::None:
        return;
    case FolderFault::Obstacle:
        result.message = folderRefusal(writer.obstacle(), folderPath, writer.target()).message;
        return;
    case FolderFault::Exists:
        // What took the name while the blocks were written: a folder that filled, or a file.
        if (const std::optional<CommandResult> refusal = checkFolder(folderPath, force, inputPaths))
            result.message = refusal->message;
        else
            result.message
                = QStringLiteral("%1 was taken while the blocks were written; it was left as it is.")
                      .arg(folderPath);
        return;
    case FolderFault::Failed:
        result.message = QStringLiteral("Could not write %1: %2; nothing was written.")
                             .arg(folderPath, QString::fromLocal8Bit(std::strerror(writer.error())));
        return;
    case FolderFault::InputChanged: {
        const Outcome outcome = writer.inputChange()->outcome(QStringLiteral("Nothing was written."));
        result.message = outcome.message;
        result.detail = outcome.detail;
        return;
    }
    case FolderFault::NotDurable:
    case FolderFault::OldContentsLeft:
        break;
    }
    QStringList sentences;
    if (!writer.leftover().isEmpty())
        sentences << QStringLiteral(
            "%1 was written, but what it held before could not all be removed; the rest "
            "is in %2.")
                         .arg(folderPath, writer.leftover());
    if (writer.fault() == FolderFault::NotDurable)
        sentences << QStringLiteral(
            "%1 was written, but its parent folder could not be synced: its durability "
            "is not confirmed, and it may not survive a power cut.")
                         .arg(folderPath);
    if (!result.detail.isEmpty())
        sentences.prepend(result.detail);
    result.detail = sentences.join(QLatin1Char('\n'));
}
