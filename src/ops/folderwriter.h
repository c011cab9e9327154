#pragma once

#include "inputwatch.h"
#include "outputplan.h"
#include "planwriter.h"

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/types.h>

class FileSystemCalls;

// What keeps a folder writer from putting a folder at a path, found without creating anything.
enum class FolderObstacle {
    None,
    // The parent folder does not exist, or is not a folder.
    MissingParent,
    // The parent folder may not be written by this user, or lies on a read-only mount.
    UnwritableParent,
    // A folder with something in it is there and ExistingOutput::Refuse was asked for.
    NotEmpty,
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
// folder with something in it, so without --force a folder that filled meanwhile is left alone; with
// --force a folder that is there swaps places with the new one in one step, and the old tree is removed
// afterwards. Until then the path is untouched, and a refused or failed writer leaves nothing behind.
// A symlink is followed; anything at the path but a folder is refused. Given the run's inputs, the folder
// is not put in place when one of them changed since it was opened.
class FolderWriter {
public:
    FolderWriter(const QString& path, ExistingOutput existing, InputWatch* inputs = nullptr);
    ~FolderWriter();
    FolderWriter(const FolderWriter&) = delete;
    FolderWriter& operator=(const FolderWriter&) = delete;

    // What open() would find at `path`, creating nothing. `target` is the folder that would be written.
    static FolderObstacle check(const QString& path, ExistingOutput existing, QString* target = nullptr);

    // Refuses what check() refuses and makes the hidden folder; nothing appears at the path yet.
    [[nodiscard]] bool open();
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
    bool putInPlace(bool& exchanged);
    bool removeTree(int folder, const QByteArray& name);
    bool fail(FolderFault fault);
    bool inputChanged(bool beforeCommit);

    FileSystemCalls& calls;
    ExistingOutput existing;
    InputWatch* inputs = nullptr;
    std::optional<InputChange> changedInput;
    QString targetPath;
    QByteArray parentPath;
    QByteArray name;
    int parent = -1;
    // The hidden folder being built, open to write into and to sync.
    int folder = -1;
    // Its name in the parent while it is there.
    QByteArray temporary;
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
