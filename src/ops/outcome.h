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

// How a block action ended: the exact status text the user is shown, and for a failure its cause and,
// where there is more to say, a plain-English explanation with the files and numbers involved. The window
// shows the text alone; the command line adds the explanation.
struct Outcome {
    bool success = false;
    FailureCause cause = FailureCause::None;
    QString message;
    QString detail;
    OutputFault outputFault = OutputFault::None;

    static Outcome succeeded(const QString& message) { return { true, FailureCause::None, message, {}, {} }; }
    static Outcome refused(const QString& message, const QString& detail = {})
    {
        return { false, FailureCause::Refused, message, detail, {} };
    }
    static Outcome unreadableInput(const QString& message, const QString& detail = {})
    {
        return { false, FailureCause::UnreadableInput, message, detail, {} };
    }
    static Outcome writeFailed(const QString& message, const QString& detail = {})
    {
        return { false, FailureCause::WriteFailed, message, detail, {} };
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
