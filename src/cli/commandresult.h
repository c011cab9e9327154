#pragma once

#include "commandline.h"

#include <QJsonObject>
#include <QString>

// What one subcommand produced, before it is printed as text or as JSON.
struct CommandResult {
    int exitStatus = exitSuccess;
    // Human output (tables), printed to stdout.
    QString text;
    // The status text: stdout on success, stderr otherwise.
    QString message;
    // A line of plain English printed on stderr after a failure's status text (JSON "detail").
    QString detail;
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
