#include "folderwriter.h"

#include "filesystemcalls.h"
#include "writersupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

using WriterSupport::permissionBits;
using WriterSupport::refusedAccess;
using WriterSupport::takeHiddenName;

namespace {

FolderObstacle obstacleOfKind(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return FolderObstacle::None;
    case S_IFREG:
        return FolderObstacle::File;
    case S_IFCHR:
        return FolderObstacle::CharacterDevice;
    case S_IFBLK:
        return FolderObstacle::BlockDevice;
    case S_IFIFO:
        return FolderObstacle::Fifo;
    case S_IFSOCK:
        return FolderObstacle::Socket;
    }
    return FolderObstacle::Unreachable;
}

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

} // namespace

FolderWriter::FolderWriter(const QString& path, ExistingOutput existing, InputWatch* inputs)
    : calls(FileSystemCalls::current())
    , existing(existing)
    , inputs(inputs)
{
    // A trailing slash, "." and ".." name a folder as well as its plain path does.
    const QFileInfo given(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    targetPath = given.exists() ? given.canonicalFilePath() : given.absoluteFilePath();
    danglingLink = !given.exists() && given.isSymLink();
    const QFileInfo target(targetPath);
    parentPath = QFile::encodeName(target.path());
    name = QFile::encodeName(target.fileName());
}

FolderWriter::~FolderWriter()
{
    discard();
}

FolderObstacle FolderWriter::check(const QString& path, ExistingOutput existing, QString* target)
{
    FolderWriter writer(path, existing);
    if (target)
        *target = writer.targetPath;
    return writer.examine();
}

// Opens the parent and looks at what the name holds, in the order that names the most useful obstacle.
FolderObstacle FolderWriter::examine()
{
    if (name.isEmpty() || danglingLink)
        return FolderObstacle::Unreachable;
    parent = calls.openFolder(parentPath.constData());
    if (parent < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return FolderObstacle::MissingParent;
        return refusedAccess(errno) ? FolderObstacle::UnwritableParent : FolderObstacle::Unreachable;
    }
    struct stat status { };
    targetExists = calls.status(parent, name.constData(), &status) == 0;
    if (!targetExists && errno != ENOENT)
        return FolderObstacle::Unreachable;
    if (targetExists) {
        const FolderObstacle kind = obstacleOfKind(status.st_mode);
        if (kind != FolderObstacle::None)
            return kind;
        targetMode = status.st_mode;
        if (existing == ExistingOutput::Refuse) {
            const int existingFolder = calls.openFolderAt(parent, name.constData());
            if (existingFolder < 0)
                return FolderObstacle::Unreachable;
            const std::optional<QList<QByteArray>> names = namesIn(existingFolder);
            ::close(existingFolder);
            if (!names)
                return FolderObstacle::Unreachable;
            if (!names->isEmpty())
                return FolderObstacle::NotEmpty;
        }
    }
    if (calls.access(parent, ".", W_OK | X_OK) != 0)
        return refusedAccess(errno) ? FolderObstacle::UnwritableParent : FolderObstacle::Unreachable;
    return FolderObstacle::None;
}

bool FolderWriter::open()
{
    discard();
    lastFault = FolderFault::None;
    lastError = 0;
    files = 0;
    bytes = 0;
    leftoverPath.clear();
    changedInput.reset();
    lastObstacle = examine();
    if (lastObstacle != FolderObstacle::None)
        return fail(FolderFault::Obstacle);
    // A folder that is to replace another stays private until it takes that folder's permission bits.
    const mode_t mode = targetExists ? 0700 : 0777;
    temporary = takeHiddenName(name, [&](const QByteArray& candidate) {
        return calls.makeFolder(parent, candidate.constData(), mode) == 0;
    });
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
    int error = writePlanToDescriptor(file, imageData, imageSize, plan);
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
    if (targetExists && calls.setMode(folder, targetMode & permissionBits) != 0)
        return fail(FolderFault::Failed);
    if (calls.syncFolder(folder) != 0)
        return fail(FolderFault::Failed);
    // The last moment at which nothing is in place yet: every file is written and synced.
    if (inputChanged(true))
        return false;
    bool exchanged = false;
    if (!putInPlace(exchanged))
        return false;

    // The new folder is in place; what follows cannot take it back.
    ::close(folder);
    folder = -1;
    const QByteArray old = temporary;
    temporary.clear();
    if (exchanged && !removeTree(parent, old))
        leftoverPath = QFile::decodeName(parentPath + '/' + old);
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
        temporary.clear();
    }
    if (parent >= 0) {
        ::close(parent);
        parent = -1;
    }
}

// With --force a folder that is there swaps places with the new one; otherwise a rename, which puts a
// folder in place of nothing or of an empty folder, never of one with something in it or of a file.
bool FolderWriter::putInPlace(bool& exchanged)
{
    if (existing == ExistingOutput::Replace) {
        struct stat status { };
        const bool there = calls.status(parent, name.constData(), &status) == 0;
        if (!there && errno != ENOENT)
            return fail(FolderFault::Failed);
        if (there && !S_ISDIR(status.st_mode))
            return fail(FolderFault::Exists);
        if (there) {
            if (calls.exchange(parent, temporary.constData(), name.constData()) != 0)
                return fail(FolderFault::Failed);
            exchanged = true;
            return true;
        }
    }
    if (calls.rename(parent, temporary.constData(), name.constData(), true) != 0) {
        const bool taken = errno == ENOTEMPTY || errno == EEXIST || errno == ENOTDIR || errno == EISDIR;
        return fail(taken ? FolderFault::Exists : FolderFault::Failed);
    }
    temporary.clear();
    return true;
}

// Removes the folder `treeName` in `within` and everything in it, symlinks as links. Goes on past a
// failure so that as little as possible is left; true when nothing is.
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
    if (!inputs)
        return false;
    changedInput = beforeCommit ? inputs->checkBeforeCommit() : inputs->firstChange();
    if (!changedInput)
        return false;
    fail(FolderFault::InputChanged);
    return true;
}

bool FolderWriter::fail(FolderFault fault)
{
    lastError = errno;
    lastFault = fault;
    discard();
    return false;
}
