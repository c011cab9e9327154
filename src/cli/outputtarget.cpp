#include "outputtarget.h"

#include "ops/base/statustexts.h"

#include <QDir>
#include <QFileInfo>

#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The node at `path` (symlinks followed) and the one `status` describes are one, by device and inode:
// every path to it counts, a hard link, a symlink or a bind mount.
bool isNode(const QString& path, const struct stat& status)
{
    struct stat other { };
    return ::stat(QFile::encodeName(path).constData(), &other) == 0 && other.st_dev == status.st_dev
        && other.st_ino == status.st_ino;
}

bool sameFile(const QFileInfo& output, const QString& inputPath)
{
    const QFileInfo input(inputPath);
    if (!input.exists())
        return false;
    if (output.canonicalFilePath() == input.canonicalFilePath())
        return true;
    // A hard link has a path of its own; only the device and inode tell it apart.
    struct stat outputStatus { };
    return ::stat(QFile::encodeName(output.absoluteFilePath()).constData(), &outputStatus) == 0
        && isNode(input.absoluteFilePath(), outputStatus);
}

// How many folders up from `folder` (0: itself) the folder at `target` is, by device and inode; -1 when
// it is none of them.
int levelsUpTo(QString folder, const QString& target)
{
    struct stat targetStatus { };
    if (::stat(QFile::encodeName(target).constData(), &targetStatus) != 0)
        return -1;
    for (int levels = 0;; ++levels) {
        if (isNode(folder, targetStatus))
            return levels;
        const QString above = QFileInfo(folder).path();
        if (above == folder)
            return -1;
        folder = above;
    }
}

// Whether the file at `inputPath` lies in `folder` or below it: one of the folders above the file (its
// symlinks followed) is `folder`.
bool holds(const QString& folder, const QString& inputPath)
{
    const QString input = QFileInfo(inputPath).canonicalFilePath();
    return !input.isEmpty() && levelsUpTo(QFileInfo(input).path(), folder) >= 0;
}

enum class CurrentFolder { Elsewhere, Is, Holds };

// Whether `target` is the current folder or holds it.
CurrentFolder relationToCurrentFolder(const QString& target)
{
    // The system's own path of the current folder: its symlinks are followed already.
    const int levels = levelsUpTo(QDir::currentPath(), target);
    return levels < 0 ? CurrentFolder::Elsewhere : levels == 0 ? CurrentFolder::Is : CurrentFolder::Holds;
}

bool refuse(CommandResult& result, const QString& message, const QString& detail = QString())
{
    result.exitStatus = exitRefused;
    result.message = message;
    result.detail = detail;
    return true;
}

// A node that is not the kind of output asked for, as a sentence names it; null for other obstacles.
const char* nodeName(OutputObstacle obstacle)
{
    switch (obstacle) {
    case OutputObstacle::File:
        return "file";
    case OutputObstacle::Folder:
        return "folder";
    case OutputObstacle::CharacterDevice:
        return "character device";
    case OutputObstacle::BlockDevice:
        return "block device";
    case OutputObstacle::Fifo:
        return "FIFO";
    case OutputObstacle::Socket:
        return "socket";
    default:
        return nullptr;
    }
}

QString unreachable(const QString& outputPath)
{
    return QStringLiteral("%1 cannot be written: its path cannot be looked at.").arg(outputPath);
}

// Why the writer cannot create or replace the output, for the obstacles only opening it finds (the folder
// or the file may not be written), or nothing. A real run and a dry run explain them alike.
std::optional<QString> openingObstacle(const OutputCheck& found, const QString& outputPath)
{
    const QString folder = QFileInfo(found.target).absolutePath();
    switch (found.obstacle) {
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

// The -o refusal of a file for what its writer found at the path; nothing where there is no obstacle,
// and for the obstacles that opening the output meets.
std::optional<QString> fileRefusal(const OutputCheck& found, const QString& outputPath)
{
    switch (found.obstacle) {
    case OutputObstacle::None:
    case OutputObstacle::MissingFolder:
    case OutputObstacle::UnwritableFolder:
    case OutputObstacle::UnwritableFile:
        return std::nullopt;
    case OutputObstacle::Exists:
        return QStringLiteral("%1 already exists; use --force to replace it.").arg(outputPath);
    case OutputObstacle::Folder:
        return QStringLiteral("%1 is a folder; -o names the file to write.").arg(outputPath);
    default:
        break;
    }
    if (const char* node = nodeName(found.obstacle))
        return QStringLiteral("%1 is a %2; tessel-cli replaces only regular files, so nothing was written.")
            .arg(outputPath, QLatin1String(node));
    return unreachable(outputPath);
}

// Why a folder with something in it is not one export --all may replace.
QString notAnExport(const QString& folderPath, const QString& why)
{
    return QStringLiteral("%1 %2; --force replaces only an empty folder or one that export --all wrote, so "
                          "nothing was written.")
        .arg(folderPath, why);
}

// The -o refusal of a folder of files for what its writer found at the path.
QString folderRefusal(const OutputCheck& found, const QString& folderPath, const FolderIndex& index)
{
    if (const std::optional<QString> opening = openingObstacle(found, folderPath))
        return *opening;
    const QString indexName = QFile::decodeName(index.fileName);
    switch (found.obstacle) {
    case OutputObstacle::Exists:
        return QStringLiteral("%1 already exists and is not empty; use --force to replace it.")
            .arg(folderPath);
    case OutputObstacle::WithoutIndex:
        return notAnExport(folderPath, QStringLiteral("is not empty and holds no %1").arg(indexName));
    case OutputObstacle::IndexNotReadable:
        return QStringLiteral("%1 is not the index export --all writes; --force replaces only an empty "
                              "folder or one that export --all wrote, so nothing was written.")
            .arg(QDir(folderPath).filePath(indexName));
    case OutputObstacle::Unlisted:
        return notAnExport(folderPath,
            QStringLiteral("holds %1, which is not a file its %2 lists").arg(found.named, indexName));
    case OutputObstacle::DanglingLink:
        return QStringLiteral("%1 is a symlink to %2, which does not exist; -o names the folder that --all "
                              "writes, so nothing was written.")
            .arg(folderPath, found.named);
    default:
        break;
    }
    if (const char* node = nodeName(found.obstacle))
        return QStringLiteral("%1 is a %2; -o names the folder that --all writes, so nothing was written.")
            .arg(folderPath, QLatin1String(node));
    return unreachable(folderPath);
}

QString noRoomMessage(const FolderWriter& writer, const QString& folderPath)
{
    if (writer.bytesNeeded() > writer.bytesFree())
        return QStringLiteral(
            "%1 needs %2 bytes for its %3 files, but the file system it goes on has %4 bytes "
            "free; nothing was written.")
            .arg(folderPath)
            .arg(writer.bytesNeeded())
            .arg(writer.filesNeeded())
            .arg(writer.bytesFree());
    return QStringLiteral("%1 needs %2 files, but the file system it goes on has room for %3 more; nothing "
                          "was written.")
        .arg(folderPath)
        .arg(writer.filesNeeded())
        .arg(writer.filesFree());
}

// What a folder put in place has not done: removed all the old one held, or been synced into its parent.
QString unfinishedDetail(const FolderWriter& writer, const QString& folderPath, const QString& detail)
{
    QStringList sentences;
    if (!detail.isEmpty())
        sentences << detail;
    if (!writer.leftover().isEmpty())
        sentences << QStringLiteral("%1 was written, but what it held before could not all be removed; the "
                                    "rest is in %2.")
                         .arg(folderPath, writer.leftover());
    if (writer.fault() == FolderFault::NotDurable)
        sentences << QStringLiteral("%1 was written, but its parent folder could not be synced: its "
                                    "durability is not confirmed, and it may not survive a power cut.")
                         .arg(folderPath);
    return sentences.join(QLatin1Char('\n'));
}

} // namespace

OutputRule OutputRule::select(const QVector<OutputRule>& outputs, const ParsedArguments& arguments)
{
    OutputRule usual;
    for (const OutputRule& output : outputs) {
        if (output.selectedBy.isEmpty())
            usual = output;
        else if (arguments.isSet(output.selectedBy))
            return output;
    }
    return usual;
}

OutputTarget::OutputTarget(
    const QString& path, bool force, bool dryRun, const QStringList& inputPaths, InputWatch* inputs)
    : outputPath(path)
    , force(force)
    , dryRun(dryRun)
    , inputPaths(inputPaths)
    , watchedInputs(inputs)
    , standardOutput { STDOUT_FILENO, 0 }
{
}

bool OutputTarget::standardOutputIsAnInput(CommandResult& result) const
{
    // "-o - >> IMAGE" would write the output into the input while it is read, as "cat f >> f" would,
    // which cat refuses too: the input is lost before the run could see it change.
    struct stat out { };
    if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode))
        return false;
    for (const QString& input : inputPaths) {
        if (isNode(input, out))
            return refuse(result,
                QStringLiteral("Standard output is the input file %1; it is never written in place.")
                    .arg(input));
    }
    return false;
}

QString OutputTarget::describe() const
{
    return isStandardOutput() ? QStringLiteral("standard output") : outputPath;
}

bool OutputTarget::refused(CommandResult& result) const
{
    if (isStandardOutput())
        return standardOutputIsAnInput(result);
    // Nothing to check when no output is named (a dry run).
    if (outputPath.isEmpty())
        return false;
    const QFileInfo output(outputPath);
    // exists() follows symlinks; a dangling link still names a file that writing would create.
    if (output.exists() || output.isSymLink()) {
        for (const QString& input : inputPaths) {
            if (sameFile(output, input))
                return refuse(result,
                    QStringLiteral("%1 is an input file; it is never written in place.").arg(outputPath));
        }
    }
    const OutputCheck found = PlanWriter::check(outputPath, existingOutput());
    // A dangling symlink names no file, but the name is taken: only --force writes through it.
    if (found.committable() && !force && output.isSymLink())
        return refuse(
            result, QStringLiteral("%1 already exists; use --force to replace it.").arg(outputPath));
    // A real run leaves these to its writer. A dry run says what the real run would when its writer cannot
    // open the output (replace's status text, since only replace has a dry run), and why.
    if (const std::optional<QString> opening = openingObstacle(found, outputPath)) {
        if (!dryRun)
            return false;
        return refuse(result, StatusText::canNotOpen(outputPath), *opening);
    }
    if (const std::optional<QString> refusal = fileRefusal(found, outputPath))
        return refuse(result, *refusal);
    return false;
}

bool OutputTarget::refusedFolder(const FolderIndex& index, CommandResult& result) const
{
    const OutputCheck found = FolderWriter::check(outputPath, existingOutput(), index);
    // Even an empty one: a rename over the current folder would leave the shell in a deleted one.
    switch (relationToCurrentFolder(found.target)) {
    case CurrentFolder::Is:
        return refuse(
            result, QStringLiteral("%1 is the current folder; it is never replaced.").arg(outputPath));
    case CurrentFolder::Holds:
        return refuse(result,
            QStringLiteral("%1 holds the current folder %2; it is never replaced.")
                .arg(outputPath, QDir::currentPath()));
    case CurrentFolder::Elsewhere:
        break;
    }
    for (const QString& input : inputPaths) {
        if (holds(found.target, input))
            return refuse(result,
                QStringLiteral("%1 holds the input file %2; it is never replaced.").arg(outputPath, input));
    }
    if (found.committable())
        return false;
    return refuse(result, folderRefusal(found, outputPath, index));
}

void OutputTarget::explainFault(const Outcome& outcome, CommandResult& result) const
{
    // The system's "No such file or directory" for a new file would hide that its folder is missing.
    if (const std::optional<QString> opening = openingObstacle(outcome.output, outputPath))
        result.detail = *opening;
    if (outcome.outputFault == OutputFault::NotDurable) {
        result.detail
            = QStringLiteral("%1 was written, but its folder could not be synced: its durability is "
                             "not confirmed, and it may not survive a power cut.")
                  .arg(outputPath);
        return;
    }
    if (outcome.outputFault == OutputFault::Exists || outcome.outputFault == OutputFault::NotRegularFile) {
        if (const std::optional<QString> refusal = fileRefusal(outcome.output, outputPath))
            result.message = *refusal;
    }
}

void OutputTarget::explainFolderFault(const FolderWriter& writer, CommandResult& result) const
{
    const OutputCheck found = writer.output();
    switch (writer.fault()) {
    case FolderFault::None:
        return;
    case FolderFault::Obstacle:
        result.message = found.obstacle == OutputObstacle::NoRoom
            ? noRoomMessage(writer, outputPath)
            : folderRefusal(found, outputPath, writer.index());
        return;
    case FolderFault::Exists:
        // What took the name while the blocks were written: a folder that filled, or a file.
        result.message = found.committable()
            ? QStringLiteral("%1 was taken while the blocks were written; it was left as it is.")
                  .arg(outputPath)
            : folderRefusal(found, outputPath, writer.index());
        return;
    case FolderFault::Failed:
        result.message = QStringLiteral("Could not write %1: %2; nothing was written.")
                             .arg(outputPath, QString::fromLocal8Bit(std::strerror(writer.error())));
        return;
    case FolderFault::InputChanged: {
        const Outcome outcome = writer.inputChange()->outcome(QStringLiteral("Nothing was written."));
        result.message = outcome.message;
        result.detail = outcome.detail;
        return;
    }
    case FolderFault::NotDurable:
    case FolderFault::OldContentsLeft:
        result.detail = unfinishedDetail(writer, outputPath, result.detail);
        return;
    }
}
