#pragma once

#include <QString>

// How a block action ended: success or failure, and the exact status text the user is shown.
// Front ends choose the colour (or stream) from `success`; the text is never rewritten.
struct Outcome {
    bool success = false;
    QString message;

    static Outcome succeeded(const QString& message) { return { true, message }; }
    static Outcome failed(const QString& message) { return { false, message }; }
};
