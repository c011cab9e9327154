#pragma once

#include "commandresult.h"

class FlashImage;

// The read-only subcommands over a loaded image.
CommandResult runInfo(const FlashImage& image);
CommandResult runList(const FlashImage& image);
// Exit status 1 when any block's CRC or record does not hold or a block reaches outside the image.
CommandResult runVerify(const FlashImage& image);
