#pragma once

#include "ops/write/inputwatch.h"
#include "ops/write/outputplace.h"
#include "ops/write/outputplan.h"
#include "ops/write/planwriter.h"
#include "ops/write/signalcleanup.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

#include <sys/stat.h>
#include <sys/types.h>

class FileSystemCalls;

// The index a folder writer's caller leaves in the folder, by which a later run knows the folder as one
// it wrote: the index's file name, and the names of the files it lists, read from its bytes (nothing
// when they are not such an index).
struct FolderIndex {
    QByteArray fileName;
    std::function<std::optional<QSet<QByteArray>>(const QByteArray& bytes)> listedFiles;
};

// Why a folder writer stopped.
enum class FolderFault {
    None,
    // open() found an obstacle; output() says which.
    Obstacle,
    // A system call failed (error() holds its errno); nothing changed at the path.
    Failed,
    // The path was taken while the folder was built (a folder with something in it, or another kind of
    // file, appeared there); nothing changed at the path. output() names what took it, as far as it could
    // still be found there.
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

    // What open() would find at `path`, creating nothing.
    static OutputCheck check(const QString& path, ExistingOutput existing, const FolderIndex& index);

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
    // Told how many bytes of the files open() was given have been written, as they are.
    void setProgress(ProgressCallback callback) { progress = std::move(callback); }

    // What the writer found at the path: the folder written (the path with its symlinks followed), and
    // the obstacle that stopped it, with what that names.
    OutputCheck output() const;
    const FolderIndex& index() const { return folderIndex; }
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
    OutputObstacle examine();
    OutputObstacle examineContents(int existingFolder);
    OutputObstacle examineRoom(qint64 bytes, int files);
    bool taken(OutputObstacle obstacle);
    bool putInPlace(bool& exchanged);
    bool removeOldFolder(const QByteArray& oldName);
    bool removeTree(int folder, const QByteArray& name);
    void forgetTemporary();
    bool fail(FolderFault fault);
    bool inputChanged(bool beforeCommit);

    FileSystemCalls& calls;
    const OutputPlace place;
    ExistingOutput existing;
    FolderIndex folderIndex;
    InputWatch* inputs = nullptr;
    std::optional<InputChange> changedInput;
    ProgressCallback progress;
    // The bytes open() was told the files take, the total progress counts towards.
    qint64 plannedBytes = 0;
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
    // Where the path points when it is a symlink to nothing: there is no folder to follow it to, and the
    // name is taken.
    std::optional<QString> danglingLink;
    bool targetExists = false;
    // The folder it replaces, as it was looked at: its bits, owner and group are the new one's.
    struct stat targetStatus { };
    int files = 0;
    qint64 bytes = 0;
    OutputObstacle lastObstacle = OutputObstacle::None;
    FolderFault lastFault = FolderFault::None;
    int lastError = 0;
    QString leftoverPath;
};
