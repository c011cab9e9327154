#include "outputtarget.h"

#include "ops/planwriter.h"
#include "ops/statustexts.h"

#include <QDir>
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

// Why the writer cannot open the output, for the obstacles only opening it finds (the folder or the file
// may not be written), or nothing. A real run and a dry run explain them alike.
std::optional<QString> openingObstacle(const OutputCheck& writable, const QString& outputPath)
{
    const QString folder = QFileInfo(writable.target).absolutePath();
    switch (writable.obstacle) {
    case OutputObstacle::MissingFolder:
        return QStringLiteral("%1 cannot be created: there is no folder %2.").arg(outputPath, folder);
    case OutputObstacle::UnwritableFolder:
        return QStringLiteral("%1 cannot be created: the folder %2 is not writable.").arg(outputPath, folder);
    case OutputObstacle::UnwritableFile:
        return QStringLiteral("%1 cannot be replaced: it is not writable.").arg(outputPath);
    default:
        return std::nullopt;
    }
}

// The folder writer finds no folder behind a symlink to nothing; the user should hear that it is one.
std::optional<CommandResult> danglingFolderLink(const QString& folderPath)
{
    const QFileInfo given(QDir::cleanPath(QFileInfo(folderPath).absoluteFilePath()));
    if (!given.isSymLink() || given.exists())
        return std::nullopt;
    return refusal(QStringLiteral("%1 is a symlink to %2, which does not exist; -o names the folder that "
                                  "--all writes, so nothing was written.")
                       .arg(folderPath, given.symLinkTarget()));
}

enum class CurrentFolder { Elsewhere, Is, Holds };

// Whether `target` is the current folder or holds it, by device and inode, so that every path to the
// folder counts (a symlink, a bind mount).
CurrentFolder relationToCurrentFolder(const QString& target)
{
    struct stat targetStatus { };
    if (::stat(QFile::encodeName(target).constData(), &targetStatus) != 0)
        return CurrentFolder::Elsewhere;
    // The system's own path of the current folder: its symlinks are followed already.
    QString folder = QDir::currentPath();
    for (CurrentFolder relation = CurrentFolder::Is;; relation = CurrentFolder::Holds) {
        struct stat status { };
        if (::stat(QFile::encodeName(folder).constData(), &status) == 0
            && status.st_dev == targetStatus.st_dev && status.st_ino == targetStatus.st_ino)
            return relation;
        const QString above = QFileInfo(folder).path();
        if (above == folder)
            return CurrentFolder::Elsewhere;
        folder = above;
    }
}

// Why a folder with something in it is not one export --all may replace.
CommandResult notAnExport(const QString& folderPath, const QString& why)
{
    return refusal(QStringLiteral("%1 %2; --force replaces only an empty folder or one that export --all "
                                  "wrote, so nothing was written.")
                       .arg(folderPath, why));
}

CommandResult folderRefusal(FolderObstacle obstacle, const QString& folderPath, const QString& target,
    const FolderIndex& index, const QByteArray& unlisted)
{
    const QString parent = QFileInfo(target).absolutePath();
    const QString indexName = QFile::decodeName(index.fileName);
    switch (obstacle) {
    case FolderObstacle::None:
        break;
    case FolderObstacle::Unreachable:
        if (const std::optional<CommandResult> dangling = danglingFolderLink(folderPath))
            return *dangling;
        break;
    case FolderObstacle::NoRoom:
        break;
    case FolderObstacle::NotEmpty:
        return refusal(
            QStringLiteral("%1 already exists and is not empty; use --force to replace it.").arg(folderPath));
    case FolderObstacle::WithoutIndex:
        return notAnExport(folderPath, QStringLiteral("is not empty and holds no %1").arg(indexName));
    case FolderObstacle::IndexNotReadable:
        return refusal(
            QStringLiteral("%1 is not the index export --all writes; --force replaces only an empty "
                           "folder or one that export --all wrote, so nothing was written.")
                .arg(QDir(folderPath).filePath(indexName)));
    case FolderObstacle::Unlisted:
        return notAnExport(folderPath,
            QStringLiteral("holds %1, which is not a file its %2 lists")
                .arg(QFile::decodeName(unlisted), indexName));
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
    case OutputObstacle::UnwritableFolder:
    case OutputObstacle::UnwritableFile:
        // What the real run says when its writer cannot open the output (replace's status text, since
        // only replace has a dry run), and why.
        if (dryRun) {
            CommandResult cannotOpen = refusal(StatusText::canNotOpen(outputPath));
            cannotOpen.detail = *openingObstacle(writable, outputPath);
            return cannotOpen;
        }
        break;
    case OutputObstacle::Unreachable:
        return refusal(QStringLiteral("%1 cannot be written: its path cannot be looked at.").arg(outputPath));
    }
    return std::nullopt;
}

void OutputTarget::explainFault(const Outcome& outcome, const QString& outputPath, bool force,
    const QStringList& inputPaths, CommandResult& result)
{
    // The system's "No such file or directory" for a new file would hide that its folder is missing.
    if (outcome.cause == FailureCause::WriteFailed && outcome.outputFault == OutputFault::None
        && !isStandardOutput(outputPath)) {
        const OutputCheck writable = PlanWriter::check(outputPath, existingOutput(force));
        if (const std::optional<QString> obstacle = openingObstacle(writable, outputPath))
            result.detail = *obstacle;
    }
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
    const QString& folderPath, bool force, const QStringList& inputPaths, const FolderIndex& index)
{
    QString target;
    QByteArray unlisted;
    const FolderObstacle obstacle
        = FolderWriter::check(folderPath, existingOutput(force), index, &target, &unlisted);
    // Even an empty one: a rename over the current folder would leave the shell in a deleted one.
    switch (relationToCurrentFolder(target)) {
    case CurrentFolder::Is:
        return refusal(QStringLiteral("%1 is the current folder; it is never replaced.").arg(folderPath));
    case CurrentFolder::Holds:
        return refusal(QStringLiteral("%1 holds the current folder %2; it is never replaced.")
                           .arg(folderPath, QDir::currentPath()));
    case CurrentFolder::Elsewhere:
        break;
    }
    for (const QString& input : inputPaths) {
        if (holds(target, input))
            return refusal(
                QStringLiteral("%1 holds the input file %2; it is never replaced.").arg(folderPath, input));
    }
    if (obstacle == FolderObstacle::None)
        return std::nullopt;
    return folderRefusal(obstacle, folderPath, target, index, unlisted);
}

void OutputTarget::explainFolderFault(const FolderWriter& writer, const QString& folderPath, bool force,
    const QStringList& inputPaths, CommandResult& result)
{
    switch (writer.fault()) {
    case FolderFault::None:
        return;
    case FolderFault::Obstacle:
        if (writer.obstacle() == FolderObstacle::NoRoom)
            result.message = writer.bytesNeeded() > writer.bytesFree()
                ? QStringLiteral("%1 needs %2 bytes for its %3 files, but the file system it goes on has %4 "
                                 "bytes free; nothing was written.")
                      .arg(folderPath)
                      .arg(writer.bytesNeeded())
                      .arg(writer.filesNeeded())
                      .arg(writer.bytesFree())
                : QStringLiteral("%1 needs %2 files, but the file system it goes on has room for %3 more; "
                                 "nothing was written.")
                      .arg(folderPath)
                      .arg(writer.filesNeeded())
                      .arg(writer.filesFree());
        else
            result.message = folderRefusal(
                writer.obstacle(), folderPath, writer.target(), writer.index(), writer.unlisted())
                                 .message;
        return;
    case FolderFault::Exists:
        // What took the name while the blocks were written: a folder that filled, or a file.
        if (const std::optional<CommandResult> refusal
            = checkFolder(folderPath, force, inputPaths, writer.index()))
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
