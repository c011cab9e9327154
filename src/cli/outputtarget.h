#pragma once

#include "commandresult.h"

#include <QString>

#include <optional>

// The rules for -o: an existing file only with --force, and never the input image (nor the replacement),
// whatever path, symlink or hard link names it; never a folder, device, FIFO or socket, with --force or
// not; and for a dry run, a path where the file could be created.
class OutputTarget {
public:
    // The refusal to report, or nothing when `outputPath` may be written. A real run leaves a missing or
    // unwritable folder (or file) to the writer, whose status text is the window's.
    static std::optional<CommandResult> check(
        const QString& outputPath, bool force, const QStringList& inputPaths, bool dryRun);
};
