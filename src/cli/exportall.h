#pragma once

#include "commandresult.h"

#include <QString>

class FlashImage;
class OutputTarget;

// export --all: every entry of every DMH of the image at `imagePath` as a file of its own, beside
// index.json (the `list --json` document with each block's file), in the folder `output` names, which
// appears whole or not at all. A change of the image meanwhile leaves the folder as it was.
CommandResult exportAll(const FlashImage& image, const QString& imagePath, OutputTarget& output);
