#pragma once

#include "commandresult.h"

#include "ops/folderwriter.h"
#include "ops/outcome.h"
#include "ops/planwriter.h"

#include <QString>

#include <optional>

// The rules for -o: an existing file only with --force, and never the input image (nor the replacement),
// whatever path, symlink or hard link names it; never a folder, device, FIFO or socket, with --force or
// not; and for a dry run, a path where the file could be created.
class OutputTarget {
public:
    // How the writer treats a file at the path: only --force replaces one.
    static ExistingOutput existingOutput(bool force)
    {
        return force ? ExistingOutput::Replace : ExistingOutput::Refuse;
    }
    // What the writer found beyond the status text: a name taken (or a device put there) while the output
    // was written reads as the -o refusal it now is; an output that could not be opened names the missing
    // or unwritable folder (or file); a file written but not synced into its folder says so.
    static void explainFault(const Outcome& outcome, const QString& outputPath, bool force,
        const QStringList& inputPaths, CommandResult& result);

    // The refusal to report, or nothing when `outputPath` may be written. A real run leaves a missing or
    // unwritable folder (or file) to the writer, whose status text is the window's; a dry run refuses it
    // with that status text and the explanation the real run gives.
    static std::optional<CommandResult> check(
        const QString& outputPath, bool force, const QStringList& inputPaths, bool dryRun);

    // "-o -": the data goes to standard output, where none of the rules for a path apply. A file named
    // "-" is still reached as "./-".
    static bool isStandardOutput(const QString& outputPath) { return outputPath == QLatin1String("-"); }
    // The output as a sentence names it: the path, or "standard output".
    static QString describe(const QString& outputPath)
    {
        return isStandardOutput(outputPath) ? QStringLiteral("standard output") : outputPath;
    }

    // The rules for a folder of outputs (export --all -o DIR): a folder that does not exist yet or is
    // empty, or with --force one that an earlier run wrote (`index` and only the files it lists); never
    // another folder, a file, device, FIFO, socket or symlink to nothing, and never the current folder,
    // one above it or one that holds an input. The refusal, or nothing when it may be written.
    static std::optional<CommandResult> checkFolder(
        const QString& folderPath, bool force, const QStringList& inputPaths, const FolderIndex& index);
    // Why the folder writer stopped, as the message (and detail) of `result`.
    static void explainFolderFault(const FolderWriter& writer, const QString& folderPath, bool force,
        const QStringList& inputPaths, CommandResult& result);
};
