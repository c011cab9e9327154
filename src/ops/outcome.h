#pragma once

#include <QString>

#include <optional>
#include <utility>

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
};

// How a block action ended: success or failure, and the exact status text the user is shown.
// Front ends choose the colour (or stream) from `success`; the text is never rewritten.
struct Outcome {
    bool success = false;
    QString message;
    OutputFault outputFault = OutputFault::None;

    static Outcome succeeded(const QString& message) { return { true, message, OutputFault::None }; }
    static Outcome failed(const QString& message) { return { false, message, OutputFault::None }; }
};

// What a planning step gives: either a plan or the refusal that explains why there is none.
template <typename Plan> struct Planned {
    std::optional<Plan> plan;
    Outcome refusal;

    bool accepted() const { return plan.has_value(); }

    static Planned refused(const QString& message) { return { std::nullopt, Outcome::failed(message) }; }
    static Planned of(Plan plan) { return { std::move(plan), Outcome {} }; }
};
