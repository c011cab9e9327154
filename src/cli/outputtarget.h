#pragma once

#include "arguments.h"
#include "commandresult.h"
#include "progressmeter.h"

#include "ops/write/folderwriter.h"
#include "ops/base/outcome.h"
#include "ops/write/planwriter.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class InputWatch;

// What a command writes at -o, as its row declares it.
enum class OutputKind {
    Nothing,
    File,
    // A folder of files, put in place whole or not at all.
    Folder,
};

// One thing a command may write. A command that writes different things names the switch that selects
// each but its usual one (export --all writes a folder instead of a file).
struct OutputRule {
    OutputKind kind = OutputKind::Nothing;
    // Whether -o - may stand for standard output.
    bool standardOutput = false;
    // The switch that selects this output; empty for the command's usual one.
    QString selectedBy;

    // The output among `outputs` that `arguments` select: the one whose switch is given, else the usual
    // one, else Nothing.
    static OutputRule select(const QVector<OutputRule>& outputs, const ParsedArguments& arguments);
};

// Where a command's data goes (-o), and the rules for it. "-" is standard output, which no rule for a path
// concerns. A file: an existing one only with --force, and never an input (whatever path, symlink or hard
// link names it); never a folder, device, FIFO or socket, with --force or not; and for a dry run, a path
// where the file could be created. A folder of files (export --all -o DIR): one that does not exist yet or
// is empty, or with --force one that an earlier run wrote; never the current folder, one above it or one
// that holds an input.
// The runner makes the target from the command's row and options and applies the rules for "-" before
// anything is read; the command asks refused() where it would write, after its own refusals, and words
// its writer's failure through explainFault().
class OutputTarget {
public:
    OutputTarget() = default;
    OutputTarget(
        const QString& path, bool force, bool dryRun, const QStringList& inputPaths, InputWatch* inputs);

    // The path as given; empty when none is (a dry run without -o).
    const QString& path() const { return outputPath; }
    // "-o -": the data goes to standard output. A file named "-" is still reached as "./-".
    bool isStandardOutput() const { return outputPath == QLatin1String("-"); }
    // The output as a sentence names it: the path, or "standard output".
    QString describe() const;
    // How the writer treats a file at the path: only --force replaces one.
    ExistingOutput existingOutput() const { return force ? ExistingOutput::Replace : ExistingOutput::Refuse; }
    // The stream the writer writes into instead of a file: standard output for "-o -", else none.
    OutputStream* stream() { return isStandardOutput() ? &standardOutput : nullptr; }
    // errno of a failed write of the data to standard output; 0 when none failed.
    int standardOutputError() const { return standardOutput.error; }
    // The run's inputs, watched from before they were opened; the writer looks at them last.
    InputWatch* inputs() const { return watchedInputs; }
    // The run's progress line, for the long work of writing or comparing (under `label`); empty when the
    // run shows none.
    ProgressCallback progress(const QString& label) const
    {
        return progressMeter ? progressMeter->callback(label) : ProgressCallback();
    }
    void setProgressMeter(ProgressMeter* meter) { progressMeter = meter; }

    // Whether the rules refuse the file: then the refusal's status, message and detail are in `result`.
    // A real run leaves a missing or unwritable folder (or file) to the writer, whose status text is the
    // window's; a dry run refuses it with that status text and the explanation the real run gives.
    [[nodiscard]] bool refused(CommandResult& result) const;
    // The same for a folder of files whose earlier runs `index` tells.
    [[nodiscard]] bool refusedFolder(const FolderIndex& index, CommandResult& result) const;

    // What the file writer met, beyond the status text in `result`: a name taken (or a device put there)
    // while the output was written reads as the refusal it now is; an output that could not be opened
    // names the missing or unwritable folder (or file); a file written but not synced into its folder says
    // so.
    void explainFault(const Outcome& outcome, CommandResult& result) const;
    // Why the folder writer stopped, as the message (and detail) of `result`.
    void explainFolderFault(const FolderWriter& writer, CommandResult& result) const;

private:
    // -o - with standard output on one of the run's inputs; refused in `result`.
    bool standardOutputIsAnInput(CommandResult& result) const;

    QString outputPath;
    bool force = false;
    bool dryRun = false;
    QStringList inputPaths;
    InputWatch* watchedInputs = nullptr;
    OutputStream standardOutput;
    ProgressMeter* progressMeter = nullptr;
};
