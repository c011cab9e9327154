#pragma once

#include "inputwatch.h"
#include "outputplan.h"
#include "planwriter.h"
#include "signalcleanup.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

#include <sys/types.h>

class FileSystemCalls;

// The index a folder writer's caller leaves in the folder, by which a later run knows the folder as one
// it wrote: the index's file name, and the names of the files it lists, read from its bytes (nothing
// when they are not such an index).
struct FolderIndex {
    QByteArray fileName;
    std::function<std::optional<QSet<QByteArray>>(const QByteArray& bytes)> listedFiles;
};

// What keeps a folder writer from putting a folder at a path, found without creating anything.
enum class FolderObstacle {
    None,
    // The parent folder does not exist, or is not a folder.
    MissingParent,
    // The parent folder may not be written by this user, or lies on a read-only mount.
    UnwritableParent,
    // A folder that an earlier writer of the same index left is there and ExistingOutput::Refuse was
    // asked for.
    NotEmpty,
    // A folder with something in it that no earlier writer left, so never replaced: it holds no index,
    // its index cannot be read as one, or it holds something its index does not list as a file
    // (unlisted() names it).
    WithoutIndex,
    IndexNotReadable,
    Unlisted,
    // The file system has less room free than the files need (bytes or files).
    NoRoom,
    // Not a folder: never replaced.
    File,
    CharacterDevice,
    BlockDevice,
    Fifo,
    Socket,
    // The path cannot be looked at (a symlink loop or one to nothing, a name too long, an I/O error), or
    // it is the root folder.
    Unreachable,
};

// Why a folder writer stopped.
enum class FolderFault {
    None,
    // open() found an obstacle; obstacle() says which.
    Obstacle,
    // A system call failed (error() holds its errno); nothing changed at the path.
    Failed,
    // The path was taken while the folder was built (a folder with something in it, or another kind of
    // file, appeared there); nothing changed at the path.
    Exists,
    // The new folder is in place, but its parent could not be synced: it may not survive a power cut.
    NotDurable,
    // The new folder is in place, but what the old one held could not all be removed; leftover() names it.
    OldContentsLeft,
    // An input changed since it was opened (inputChange() says how); nothing changed at the path.
    InputChanged,
};

// The one way a folder of outputs reaches the disk, whole or not at all. The files go into a new hidden
// folder beside the target, each synced; the folder is synced and then takes the target's name in one
// step, and the parent folder is synced so that the name survives a power cut. A rename replaces no
// folder with something in it, so without --force a folder that filled meanwhile is left alone. With
// --force an empty folder, or one that an earlier run left (its index and only files the index lists),
// swaps places with the new one in one step, looked at again right before; then the files seen there
// are removed and the old folder with them, so nothing else is ever deleted. Any other folder is
// refused. Until then the path is untouched, and a refused or failed writer leaves nothing behind; the
// hidden folder is removed when SIGINT, SIGTERM or SIGHUP ends the process. A symlink is followed;
// anything at the path but a folder is refused. Given the run's inputs, the folder is not put in place
// when one of them changed since it was opened.
class FolderWriter {
public:
    FolderWriter(
        const QString& path, ExistingOutput existing, FolderIndex index, InputWatch* inputs = nullptr);
    ~FolderWriter();
    FolderWriter(const FolderWriter&) = delete;
    FolderWriter& operator=(const FolderWriter&) = delete;

    // What open() would find at `path`, creating nothing. `target` is the folder that would be written,
    // `unlisted` what an Unlisted obstacle names.
    static FolderObstacle check(const QString& path, ExistingOutput existing, const FolderIndex& index,
        QString* target = nullptr, QByteArray* unlisted = nullptr);

    // Refuses what check() refuses, and a file system without room for `files` files of `bytes` in all,
    // then makes the hidden folder; nothing appears at the path yet.
    [[nodiscard]] bool open(qint64 bytes = 0, int files = 0);
    // A new file in the folder holding the plan's bytes, synced. `name` is a plain file name.
    [[nodiscard]] bool addFile(
        const QByteArray& name, const uchar* imageData, qint64 imageSize, const OutputPlan& plan);
    [[nodiscard]] bool addFile(const QByteArray& name, const QByteArray& bytes);
    // Puts the folder in place. False when it is not there (fault() Failed or Exists), or when it is but
    // its parent could not be synced or the old tree not removed (NotDurable, OldContentsLeft).
    [[nodiscard]] bool commit();
    // Removes what was made without touching the path.
    void discard();

    // The folder written: the path with its symlinks followed.
    QString target() const { return targetPath; }
    FolderObstacle obstacle() const { return lastObstacle; }
    const FolderIndex& index() const { return folderIndex; }
    // The entry an Unlisted obstacle names.
    QByteArray unlisted() const { return unlistedName; }
    // For NoRoom: what the files need (each rounded up to whole blocks of the file system) and what is
    // free, in bytes and in files; -1 where the file system does not count files.
    qint64 bytesNeeded() const { return neededBytes; }
    int filesNeeded() const { return neededFiles; }
    qint64 bytesFree() const { return freeBytes; }
    qint64 filesFree() const { return freeFiles; }
    FolderFault fault() const { return lastFault; }
    // errno of the call that failed, for Failed.
    int error() const { return lastError; }
    // Where the old folder's remains are, after OldContentsLeft (also with NotDurable); empty otherwise.
    QString leftover() const { return leftoverPath; }
    // The input that changed, after InputChanged.
    const std::optional<InputChange>& inputChange() const { return changedInput; }
    int filesWritten() const { return files; }
    qint64 bytesWritten() const { return bytes; }

private:
    FolderObstacle examine();
    FolderObstacle examineContents(int existingFolder);
    FolderObstacle examineRoom(qint64 bytes, int files);
    bool putInPlace(bool& exchanged);
    bool removeOldFolder(const QByteArray& oldName);
    bool removeTree(int folder, const QByteArray& name);
    void forgetTemporary();
    bool fail(FolderFault fault);
    bool inputChanged(bool beforeCommit);

    FileSystemCalls& calls;
    ExistingOutput existing;
    FolderIndex folderIndex;
    InputWatch* inputs = nullptr;
    std::optional<InputChange> changedInput;
    QString targetPath;
    QByteArray parentPath;
    QByteArray name;
    int parent = -1;
    // The hidden folder being built, open to write into and to sync.
    int folder = -1;
    // Its name in the parent while it is there, removed by an ending signal too.
    QByteArray temporary;
    SignalCleanup::Entry temporaryOnSignal;
    // What the folder at the path held when it was last looked at: the only names replacing it removes.
    QList<QByteArray> oldNames;
    QByteArray unlistedName;
    qint64 neededBytes = 0;
    int neededFiles = 0;
    qint64 freeBytes = 0;
    qint64 freeFiles = -1;
    // A symlink to nothing: there is no folder to follow it to, and the name is taken.
    bool danglingLink = false;
    bool targetExists = false;
    mode_t targetMode = 0;
    int files = 0;
    qint64 bytes = 0;
    FolderObstacle lastObstacle = FolderObstacle::None;
    FolderFault lastFault = FolderFault::None;
    int lastError = 0;
    QString leftoverPath;
};
