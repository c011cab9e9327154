#pragma once

#include "arguments.h"
#include "commandresult.h"
#include "outputtarget.h"

#include "ops/write/inputwatch.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class FlashImage;

// What a command makes of its arguments before any file is looked at: bad usage, or the images to load
// and the work to do on them.
struct PreparedCommand {
    // Non-empty: the arguments are bad usage (exit 2, nothing is read or written).
    QString usageError;
    // Bad usage that only the loaded images reveal (two BLOCK texts that reach one entry): the error, or
    // empty. Optional; asked before `run`, and reported as any bad usage is.
    std::function<QString(const QVector<FlashImage*>& images)> usageOnImages;
    // Runs on the loaded images, in the order of the command's first positional arguments, writing what
    // it writes to `output`.
    std::function<CommandResult(const QVector<FlashImage*>& images, OutputTarget& output)> run;
    // The run takes the SHA-256 of its whole images (ImageDigests): the runner starts each as soon as the
    // image's bytes are in memory, beside its scan.
    bool hashesImages = false;
    // The files the run reads besides its images (replacements).
    QStringList otherInputs;
    // The images and otherInputs, watched from before they are opened. The output target hands it to the
    // writer, which puts nothing in place when one of them changed; for a command that writes nothing, the
    // runner gives no answer when one did.
    std::shared_ptr<InputWatch> inputs = std::make_shared<InputWatch>();

    static PreparedCommand badUsage(const QString& error)
    {
        PreparedCommand prepared;
        prepared.usageError = error;
        return prepared;
    }
};

// An argument as the command's help names and describes it.
struct ArgumentHelp {
    QString name;
    QString description;
};

// One command of tessel-cli: everything about it lives in its own file and one row of the command table.
struct Command {
    QString name;
    QString summary;
    // The usage after "tessel-cli NAME ".
    QString synopsis;
    QVector<ArgumentHelp> arguments;
    // The command's own options; --json and --help belong to every command.
    QVector<OptionSpec> options;
    // How many images it loads: its first positional arguments, checked by `prepare`.
    int imageCount = 1;
    // What it writes at -o (nothing when empty); the runner applies the output rules from it.
    QVector<OutputRule> outputs;
    // Closing lines of the command's help.
    QString helpNotes;
    // The least exit status of a run whose output did not reach standard output. diff keeps 1 for "the
    // images differ", as cmp does, so a report that was lost is trouble (2) there.
    int writeFailureStatus = exitRefused;
    std::function<PreparedCommand(const ParsedArguments& arguments)> prepare;

    static Command named(const QString& name, const QString& summary, const QString& synopsis)
    {
        Command command;
        command.name = name;
        command.summary = summary;
        command.synopsis = synopsis;
        return command;
    }
};
