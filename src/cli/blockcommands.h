#pragma once

#include "commandresult.h"

class FlashImage;
struct CliOptions;

// The block actions, carried out by the same operations as the window's "Save as..." and "Replace with...".
CommandResult runExport(const FlashImage& image, const CliOptions& options);
// Takes the image by reference to non-const: the growing variant works on the loaded image in place.
CommandResult runReplace(FlashImage& image, const CliOptions& options);
