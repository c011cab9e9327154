#pragma once

#include "exitstatus.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// What one command produced, before it is printed as text or as JSON.
struct CommandResult {
    int exitStatus = exitSuccess;
    // Human output (tables), printed to stdout.
    QString text;
    // The status text: stdout on success, stderr otherwise.
    QString message;
    // Plain English after the status text, on the same stream (JSON "detail"): why a failure failed, or
    // what a success wrote.
    QString detail;
    // Legal but surprising facts, printed to stderr and listed in JSON `warnings`.
    QStringList warnings;
    // The command's own fields of the JSON document.
    QJsonObject details;

    bool succeeded() const { return exitStatus == exitSuccess; }

    static CommandResult failure(int exitStatus, const QString& message)
    {
        CommandResult result;
        result.exitStatus = exitStatus;
        result.message = message;
        return result;
    }
};
