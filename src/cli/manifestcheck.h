#pragma once

#include "commandresult.h"

#include <QString>

class FlashImage;

// verify --expect: the image against the manifest at `manifestPath`, block by block (matched by DMH index
// and ID, a repeated ID in table order) and as a whole. Exit 0 when all matches, 1 with each block that
// differs, is missing or is extra, 2 when the manifest cannot be read or is not one.
CommandResult verifyAgainstManifest(const FlashImage& image, const QString& manifestPath);
