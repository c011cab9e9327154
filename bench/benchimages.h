#pragma once

#include "model/imagebuffer.h"

#include <QString>
#include <QtGlobal>

// The images the benchmarks run on, written once to a scratch folder and reused by later runs.
// A realistic image is mostly 0xFF with three DMHs and blocks of random data; a random image is random
// bytes throughout except one DMH at its start, so that it still loads.
class FlashImage;

namespace BenchImages {

enum class Kind { Realistic, Random };

constexpr qint64 mebibyte = qint64(1) << 20;
constexpr qint64 gibibyte = qint64(1) << 30;

// In a realistic image of size S: a block of S/16 that ends in a block-info record (replaced by the
// write figure) and a block of S/4 without one (exported whole).
constexpr quint8 recordBlockId = 0x10;
constexpr quint8 wholeBlockId = 0x20;

// An image of 256 MiB whose four DMHs list 24 blocks each, from 4 KiB to 8 MiB, a third of them ending
// in a block-info record: what export --all unpacks.
constexpr qint64 manyBlockImageSize = 256 * mebibyte;
constexpr int manyBlockDmhs = 4;
constexpr int manyBlockEntries = 24;

// The scratch folder: $TESSEL_BENCH_DIR, or /var/tmp/tessel-bench.
QString directory();
QString kindName(Kind kind);
QString sizeName(qint64 size);

// The path of the image, written first when it is not there yet.
QString ensureImage(Kind kind, qint64 size);
// The path of the image with many blocks, written first when it is not there yet.
QString ensureManyBlockImage();
// A file of `size` random bytes, for the replacement.
QString ensureRandomFile(qint64 size);
// The image read once into memory and kept for the rest of the run (scan and CRC figures).
const ImageBuffer& inMemory(Kind kind, qint64 size);
// How much of that image's memory came in huge pages, as PageMode::describe says it.
QString inMemoryPages(Kind kind, qint64 size);
// Reads the file so that every side of a figure reads it from the page cache; a file written before this
// run is first dropped from the cache, so that the cache holds it as it holds a file just read.
void warmPageCache(const QString& path);

// The image at `path`, loaded once for the whole run (the first call loads it; a failure ends the run).
const FlashImage& loadedImage(const QString& path);

// The length of the data a replacement of the record block carries in an image of `imageSize`.
qint64 replacementSize(qint64 imageSize);

} // namespace BenchImages
