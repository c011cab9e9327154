#pragma once

#include "ops/export/blockhashes.h"

#include <QByteArray>
#include <QtGlobal>

class FlashImage;
class ProgressMeter;

// The SHA-256 of the run's loaded images. When a command hashes whole images, the runner starts each
// image's digest as soon as its bytes are in memory, beside its scan; the command then asks here instead
// of hashing the image again. A command whose digest was not started gets one computed when it asks.
namespace ImageDigests {

// Starts the digest of `image`'s bytes at `data`; safe from the threads that load two images at once.
void start(const FlashImage& image, const uchar* data, qint64 size);
// Every block's hash and the image's, the image's from its digest when one was started.
BlockHashes blockHashes(const FlashImage& image);
// The image's SHA-256 in lowercase hex.
QByteArray imageSha256(const FlashImage& image);
// The run's progress line, which hears of the hashing under "Hashing IMAGE"; null for none.
void setProgressMeter(ProgressMeter* meter);
// Stops and forgets every digest, before the images go, and the progress line.
void clear();

} // namespace ImageDigests
