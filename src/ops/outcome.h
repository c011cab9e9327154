#pragma once

#include <QString>

#include <optional>
#include <utility>

// How a block action ended: success or failure, and the exact status text the user is shown.
// Front ends choose the colour (or stream) from `success`; the text is never rewritten.
struct Outcome {
    bool success = false;
    QString message;

    static Outcome succeeded(const QString& message) { return { true, message }; }
    static Outcome failed(const QString& message) { return { false, message }; }
};

// What a planning step gives: either a plan or the refusal that explains why there is none.
template <typename Plan> struct Planned {
    std::optional<Plan> plan;
    Outcome refusal;

    bool accepted() const { return plan.has_value(); }

    static Planned refused(const QString& message) { return { std::nullopt, Outcome::failed(message) }; }
    static Planned of(Plan plan) { return { std::move(plan), Outcome {} }; }
};
