#pragma once

#include "commandresult.h"

#include <QString>

class FlashImage;
class InputWatch;

// export --all: every entry of every DMH as a file of its own, beside index.json (the `list --json`
// document with each block's file), in a folder that appears whole or not at all.
struct ExportAllRequest {
    QString imagePath;
    QString folderPath;
    bool force = false;
    // The image, watched from before it was opened: a change of it leaves DIR as it was.
    InputWatch* inputs = nullptr;
};

CommandResult exportAll(const FlashImage& image, const ExportAllRequest& request);
