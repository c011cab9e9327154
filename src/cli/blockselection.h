#pragma once

#include "commandresult.h"
#include "ops/blocklocation.h"

#include <QString>

class FlashImage;
struct CliOptions;

// The block a command acts on, named by its ID text or by --name, found the way the window finds a row's
// block. `idText` is what the block operations are given.
struct BlockSelection {
    QString idText;
    BlockLocation location;
    // Set when the block cannot be named: the refusal to report instead of acting.
    bool refused = false;
    CommandResult refusal;

    static BlockSelection select(const FlashImage& image, const CliOptions& options);
};
