#pragma once

#include <QString>

#include <optional>
#include <utility>

// What a failed action comes from. Front ends derive what they do (an exit status, say) from it, never
// from the status text.
enum class FailureCause {
    None,
    // The action's own checks turned it down: the block, the image or the replacement does not allow it.
    Refused,
    // The replacement or the loaded image could not be opened or read whole.
    UnreadableInput,
    // The output could not be opened, written, put in place or made durable.
    WriteFailed,
};

// Why an action's output file was not written (or not made durable), for front ends that explain more
// than the status text.
enum class OutputFault {
    None,
    // The output was to be a new file, and the name exists (or appeared while it was written).
    Exists,
    // The path names a folder, a device, a FIFO or a socket, which is never replaced.
    NotRegularFile,
    // The new file is in place, but its folder could not be synced: it may not survive a power cut.
    NotDurable,
    // An input changed (or was cut short) after the run opened it; nothing was put in place.
    InputChanged,
};

// What keeps a writer from putting its output (a file, or a folder of files) at a path, found before it
// writes or met while it does. One set for both kinds of output, so that a front end words each kind once.
enum class OutputObstacle {
    None,
    // The folder the output goes into does not exist, or is not a folder.
    MissingFolder,
    // That folder may not be written by this user, or lies on a read-only mount.
    UnwritableFolder,
    // Something is there and ExistingOutput::Refuse was asked for: a file, or a folder that an earlier
    // writer of the same index left.
    Exists,
    // The file there may not be written by this user.
    UnwritableFile,
    // Not the kind of node the output is (a folder where a file goes, a file where a folder goes), or a
    // device, FIFO or socket: never replaced.
    Folder,
    File,
    CharacterDevice,
    BlockDevice,
    Fifo,
    Socket,
    // A folder with something in it that no earlier writer left, so never replaced: it holds no index,
    // its index cannot be read as one, or it holds something its index does not list as a file.
    WithoutIndex,
    IndexNotReadable,
    Unlisted,
    // A symlink to nothing where a folder goes: there is no folder to follow it to.
    DanglingLink,
    // The file system has less room free than the files need (bytes or files).
    NoRoom,
    // The path cannot be looked at: a symlink loop, a name too long, an I/O error, or the root folder
    // where a folder goes.
    Unreachable,
};

// What a writer found at its output's path.
struct OutputCheck {
    OutputObstacle obstacle = OutputObstacle::None;
    // The file or folder that would be written: the path with its symlinks followed.
    QString target;
    // What the obstacle names, where it names something: the entry an Unlisted folder holds, or where a
    // DanglingLink points.
    QString named;

    bool committable() const { return obstacle == OutputObstacle::None; }
};

// How a block action ended: the exact status text the user is shown, and for a failure its cause and,
// where there is more to say, a plain-English explanation with the files and numbers involved. The window
// shows the text alone; the command line adds the explanation.
struct Outcome {
    bool success = false;
    FailureCause cause = FailureCause::None;
    QString message;
    QString detail;
    OutputFault outputFault = OutputFault::None;
    // What the writer found at the output's path; its obstacle, when one stopped the writer.
    OutputCheck output;

    static Outcome succeeded(const QString& message)
    {
        return { true, FailureCause::None, message, {}, {}, {} };
    }
    static Outcome refused(const QString& message, const QString& detail = {})
    {
        return { false, FailureCause::Refused, message, detail, {}, {} };
    }
    static Outcome unreadableInput(const QString& message, const QString& detail = {})
    {
        return { false, FailureCause::UnreadableInput, message, detail, {}, {} };
    }
    static Outcome writeFailed(const QString& message, const QString& detail = {})
    {
        return { false, FailureCause::WriteFailed, message, detail, {}, {} };
    }
};

// What a step gives that either yields a value (a plan, a buffer) or is refused: the value, or the failed
// outcome that says why there is none.
template <typename Value> struct Refusable {
    std::optional<Value> value;
    Outcome refusal;

    bool accepted() const { return value.has_value(); }

    static Refusable of(Value value) { return { std::move(value), Outcome {} }; }
    static Refusable refused(Outcome refusal) { return { std::nullopt, std::move(refusal) }; }
};
