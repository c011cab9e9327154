#include "ops/write/folderwriter.h"

#include "ops/write/filesystemcalls.h"
#include "ops/write/writersupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The file writer and the folder writer share these helpers.
using namespace WriterSupport;

namespace {

// The names in an open folder, "." and ".." left out; nothing when it cannot be read to the end.
std::optional<QList<QByteArray>> namesIn(int folder)
{
    // The listing takes over the descriptor it is given and closes it.
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return std::nullopt;
    DIR* listing = ::fdopendir(copy);
    if (!listing) {
        ::close(copy);
        return std::nullopt;
    }
    QList<QByteArray> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    const bool complete = errno == 0;
    ::closedir(listing);
    if (!complete)
        return std::nullopt;
    return names;
}

// Far more than the index of the largest table a load accepts; past it the file is no such index.
constexpr qint64 largestIndex = qint64(256) << 20;

// The bytes of the regular file `name` in `folder`, symlinks not followed; nothing when it is another
// kind of file, larger than an index can be, or cannot be read.
std::optional<QByteArray> readIndex(int folder, const QByteArray& name)
{
    // O_NONBLOCK: a FIFO under the index's name must not hang the run; it is refused below.
    const int file = ::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
        return std::nullopt;
    struct stat status { };
    QByteArray bytes;
    bool complete = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= largestIndex;
    if (complete) {
        bytes.resize(int(status.st_size));
        qint64 done = 0;
        while (complete && done < bytes.size()) {
            const ssize_t read = ::read(file, bytes.data() + done, size_t(bytes.size() - done));
            if (read < 0 && errno == EINTR)
                continue;
            // A file that shrank while it was read is no index to trust.
            complete = read > 0;
            done += qMax<ssize_t>(read, 0);
        }
    }
    ::close(file);
    if (!complete)
        return std::nullopt;
    return bytes;
}

} // namespace

FolderWriter::FolderWriter(
    const QString& path, ExistingOutput existing, FolderIndex index, InputWatch* inputs)
    : calls(FileSystemCalls::current())
    , place(OutputPlace::ofFolder(path))
    , existing(existing)
    , folderIndex(std::move(index))
    , inputs(inputs)
{
    const QFileInfo target(place.target);
    if (!target.exists() && target.isSymLink())
        danglingLink = target.symLinkTarget();
}

FolderWriter::~FolderWriter()
{
    discard();
}

OutputCheck FolderWriter::check(const QString& path, ExistingOutput existing, const FolderIndex& index)
{
    FolderWriter writer(path, existing, index);
    writer.lastObstacle = writer.examine();
    return writer.output();
}

OutputCheck FolderWriter::output() const
{
    OutputCheck found { lastObstacle, place.target, {} };
    if (lastObstacle == OutputObstacle::Unlisted)
        found.named = QFile::decodeName(unlistedName);
    else if (lastObstacle == OutputObstacle::DanglingLink)
        found.named = *danglingLink;
    return found;
}

// Opens the parent and looks at what the name holds, in the order that names the most useful obstacle.
OutputObstacle FolderWriter::examine()
{
    oldNames.clear();
    unlistedName.clear();
    if (danglingLink)
        return OutputObstacle::DanglingLink;
    if (place.name.isEmpty())
        return OutputObstacle::Unreachable;
    struct stat status { };
    const OutputObstacle met = lookAtPlace(calls, place, parent, status, targetExists);
    if (met != OutputObstacle::None)
        return met;
    if (targetExists) {
        const OutputObstacle kind = obstacleOfKind(status.st_mode, S_IFDIR);
        if (kind != OutputObstacle::None)
            return kind;
        targetStatus = status;
        const int existingFolder = calls.openFolderAt(parent, place.name.constData());
        if (existingFolder < 0)
            return OutputObstacle::Unreachable;
        const OutputObstacle contents = examineContents(existingFolder);
        ::close(existingFolder);
        if (contents != OutputObstacle::None)
            return contents;
    }
    if (calls.access(parent, ".", W_OK | X_OK) != 0)
        return refusedAccess(errno) ? OutputObstacle::UnwritableFolder : OutputObstacle::Unreachable;
    return OutputObstacle::None;
}

// Whether the folder there may be replaced: an empty one, or with --force one that holds its index and
// only files the index lists. Keeps the names it holds, the only ones that replacing it removes.
OutputObstacle FolderWriter::examineContents(int existingFolder)
{
    std::optional<QList<QByteArray>> names = namesIn(existingFolder);
    if (!names)
        return OutputObstacle::Unreachable;
    if (names->isEmpty())
        return OutputObstacle::None;
    // Sorted, so that a refusal names the same entry every time.
    std::sort(names->begin(), names->end());
    if (!names->contains(folderIndex.fileName))
        return OutputObstacle::WithoutIndex;
    const std::optional<QByteArray> indexBytes = readIndex(existingFolder, folderIndex.fileName);
    const std::optional<QSet<QByteArray>> listed
        = indexBytes && folderIndex.listedFiles ? folderIndex.listedFiles(*indexBytes) : std::nullopt;
    if (!listed)
        return OutputObstacle::IndexNotReadable;
    for (const QByteArray& entry : qAsConst(*names)) {
        if (entry == folderIndex.fileName)
            continue;
        struct stat status { };
        if (!listed->contains(entry)
            || ::fstatat(existingFolder, entry.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(status.st_mode)) {
            unlistedName = entry;
            return OutputObstacle::Unlisted;
        }
    }
    if (existing == ExistingOutput::Refuse)
        return OutputObstacle::Exists;
    oldNames = *names;
    return OutputObstacle::None;
}

// Room for the files on the target's file system, with each file's last block and the folder's own.
// Where the file system cannot say, the writes themselves tell.
OutputObstacle FolderWriter::examineRoom(qint64 bytesToWrite, int filesToWrite)
{
    struct statvfs space { };
    if ((bytesToWrite <= 0 && filesToWrite <= 0) || calls.freeSpace(parent, &space) != 0)
        return OutputObstacle::None;
    const qint64 blockSize = qint64(space.f_frsize != 0 ? space.f_frsize : space.f_bsize);
    if (blockSize <= 0)
        return OutputObstacle::None;
    neededBytes = bytesToWrite + (qint64(filesToWrite) + 1) * blockSize;
    neededFiles = filesToWrite;
    freeBytes = qint64(std::min<unsigned long long>(space.f_bavail, LLONG_MAX / blockSize)) * blockSize;
    // A file system that counts no files at all (btrfs) makes them as needed.
    freeFiles = space.f_files != 0 ? qint64(space.f_favail) : -1;
    if (neededBytes > freeBytes || (freeFiles >= 0 && filesToWrite + 1 > freeFiles))
        return OutputObstacle::NoRoom;
    return OutputObstacle::None;
}

bool FolderWriter::open(qint64 bytesToWrite, int filesToWrite)
{
    discard();
    lastFault = FolderFault::None;
    lastError = 0;
    files = 0;
    bytes = 0;
    plannedBytes = bytesToWrite;
    leftoverPath.clear();
    changedInput.reset();
    lastObstacle = examine();
    if (lastObstacle == OutputObstacle::None)
        lastObstacle = examineRoom(bytesToWrite, filesToWrite);
    if (lastObstacle != OutputObstacle::None)
        return fail(FolderFault::Obstacle);
    // A folder that is to replace another stays private until it takes that folder's permission bits.
    const mode_t mode = targetExists ? 0700 : 0777;
    {
        const SignalCleanup::Deferral deferral;
        temporary = takeHiddenName(place.name, [&](const QByteArray& candidate) {
            return calls.makeFolder(parent, candidate.constData(), mode) == 0;
        });
        temporaryOnSignal.remember(parent, temporary, SignalCleanup::Kind::Folder);
    }
    if (temporary.isEmpty())
        return fail(FolderFault::Failed);
    folder = calls.openFolderAt(parent, temporary.constData());
    return folder >= 0 || fail(FolderFault::Failed);
}

bool FolderWriter::addFile(
    const QByteArray& fileName, const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    errno = EBADF;
    if (folder < 0)
        return fail(FolderFault::Failed);
    const int file = calls.createNamed(folder, fileName.constData(), 0666);
    if (file < 0)
        return fail(FolderFault::Failed);
    ProgressCallback fileProgress;
    if (progress) {
        fileProgress
            = [this](qint64 done, qint64) { progress(bytes + done, qMax(plannedBytes, bytes + done)); };
    }
    int error = writePlanToDescriptor(file, imageData, imageSize, plan, fileProgress);
    if (error == 0 && calls.syncFile(file) != 0)
        error = errno;
    if (::close(file) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        // A write from the mapping of an image that shrank fails (EFAULT): the input's fault.
        if (inputChanged(false))
            return false;
        errno = error;
        return fail(FolderFault::Failed);
    }
    ++files;
    bytes += plan.length;
    return true;
}

bool FolderWriter::addFile(const QByteArray& fileName, const QByteArray& content)
{
    OutputPlan plan;
    plan.length = content.size();
    return addFile(fileName, reinterpret_cast<const uchar*>(content.constData()), content.size(), plan);
}

bool FolderWriter::commit()
{
    errno = EBADF;
    if (folder < 0)
        return fail(FolderFault::Failed);
    if (targetExists)
        keepOwner(folder, targetStatus);
    if (targetExists && calls.setMode(folder, targetStatus.st_mode & permissionBits) != 0)
        return fail(FolderFault::Failed);
    if (calls.syncFolder(folder) != 0)
        return fail(FolderFault::Failed);
    // The last moment at which nothing is in place yet: every file is written and synced.
    if (inputChanged(true))
        return false;
    bool exchanged = false;
    if (!putInPlace(exchanged))
        return false;

    // The new folder is in place; what follows cannot take it back. After an exchange the hidden name
    // holds the old folder, which a signal still removes until it is gone.
    ::close(folder);
    folder = -1;
    const QByteArray old = temporary;
    temporary.clear();
    if (exchanged && !removeOldFolder(old))
        leftoverPath = QFile::decodeName(place.folder + '/' + old);
    temporaryOnSignal.forget();
    const bool durable = calls.syncFolder(parent) == 0;
    discard();
    if (!durable)
        lastFault = FolderFault::NotDurable;
    else if (!leftoverPath.isEmpty())
        lastFault = FolderFault::OldContentsLeft;
    return lastFault == FolderFault::None;
}

void FolderWriter::discard()
{
    if (folder >= 0) {
        ::close(folder);
        folder = -1;
    }
    if (!temporary.isEmpty()) {
        removeTree(parent, temporary);
        forgetTemporary();
    }
    if (parent >= 0) {
        ::close(parent);
        parent = -1;
    }
}

// With --force a folder that is there and may still be replaced swaps places with the new one;
// otherwise a rename, which puts a folder in place of nothing or of an empty folder, never of one with
// something in it or of a file.
bool FolderWriter::putInPlace(bool& exchanged)
{
    if (existing == ExistingOutput::Replace) {
        struct stat status { };
        const bool there = calls.status(parent, place.name.constData(), &status) == 0;
        if (!there && errno != ENOENT)
            return fail(FolderFault::Failed);
        if (there && !S_ISDIR(status.st_mode))
            return taken(obstacleOfKind(status.st_mode, S_IFDIR));
        if (there) {
            // Looked at again right before: a folder that took in something else meanwhile is left alone.
            const int existingFolder = calls.openFolderAt(parent, place.name.constData());
            if (existingFolder < 0)
                return fail(FolderFault::Failed);
            const OutputObstacle contents = examineContents(existingFolder);
            ::close(existingFolder);
            if (contents != OutputObstacle::None)
                return taken(contents);
            if (calls.exchange(parent, temporary.constData(), place.name.constData()) != 0)
                return fail(FolderFault::Failed);
            exchanged = true;
            return true;
        }
    }
    if (calls.rename(parent, temporary.constData(), place.name.constData(), true) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST || errno == ENOTDIR || errno == EISDIR)
            return taken(OutputObstacle::None);
        return fail(FolderFault::Failed);
    }
    forgetTemporary();
    return true;
}

// The old folder, now under the hidden name: the names it held when it was last looked at go, then the
// folder; anything that reached it since stays there, and is reported as left.
bool FolderWriter::removeOldFolder(const QByteArray& oldName)
{
    const int old = calls.openFolderAt(parent, oldName.constData());
    if (old < 0)
        return false;
    bool removedAll = true;
    for (const QByteArray& entry : qAsConst(oldNames)) {
        if (calls.remove(old, entry.constData()) != 0 && errno != ENOENT)
            removedAll = false;
    }
    ::close(old);
    return removedAll && calls.removeFolder(parent, oldName.constData()) == 0;
}

void FolderWriter::forgetTemporary()
{
    temporary.clear();
    temporaryOnSignal.forget();
}

// Removes the folder `treeName` in `within` (the writer's own hidden folder) and everything in it,
// symlinks as links. Goes on past a failure so that as little as possible is left; true when nothing is.
bool FolderWriter::removeTree(int within, const QByteArray& treeName)
{
    const int tree = calls.openFolderAt(within, treeName.constData());
    if (tree < 0)
        return false;
    const std::optional<QList<QByteArray>> names = namesIn(tree);
    bool removedAll = names.has_value();
    for (const QByteArray& entry : names.value_or(QList<QByteArray>())) {
        if (calls.remove(tree, entry.constData()) == 0)
            continue;
        // Linux says EISDIR for a folder, POSIX allows EPERM.
        const bool isFolder = errno == EISDIR || errno == EPERM;
        if (!isFolder || !removeTree(tree, entry))
            removedAll = false;
    }
    ::close(tree);
    return removedAll && calls.removeFolder(within, treeName.constData()) == 0;
}

bool FolderWriter::inputChanged(bool beforeCommit)
{
    changedInput = inputs ? inputs->changeSeenBy(beforeCommit) : std::nullopt;
    // fail() stops the writer and always answers false.
    return changedInput && !fail(FolderFault::InputChanged);
}

// The path was taken while the folder was built: the failure names what took it, `met` where the writer
// saw it. A rename only says that the name is taken; what took it is looked at once the hidden folder is
// gone, as a run starting then would find it (None when it is gone again).
bool FolderWriter::taken(OutputObstacle met)
{
    fail(FolderFault::Exists);
    if (met != OutputObstacle::None) {
        lastObstacle = met;
        return false;
    }
    FolderWriter probe(place.given, existing, folderIndex);
    lastObstacle = probe.examine();
    unlistedName = probe.unlistedName;
    return false;
}

bool FolderWriter::fail(FolderFault fault)
{
    lastError = errno;
    lastFault = fault;
    discard();
    return false;
}
