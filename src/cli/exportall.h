#pragma once

#include "commandresult.h"

#include <QString>

class FlashImage;

// export --all: every entry of every DMH as a file of its own, beside index.json (the `list --json`
// document with each block's file), in a folder that appears whole or not at all.
struct ExportAllRequest {
    QString imagePath;
    QString folderPath;
    bool force = false;
};

CommandResult exportAll(const FlashImage& image, const ExportAllRequest& request);
