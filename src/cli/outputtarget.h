#pragma once

#include "commandresult.h"

#include <QString>

#include <optional>

// The rules for -o: an existing file only with --force, and never the input image (nor the replacement),
// whatever path, symlink or hard link names it.
class OutputTarget {
public:
    // The refusal to report, or nothing when `outputPath` may be written.
    static std::optional<CommandResult> check(
        const QString& outputPath, bool force, const QStringList& inputPaths);
};
