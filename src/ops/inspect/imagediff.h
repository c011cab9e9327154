#pragma once

#include "ops/inspect/bytecomparison.h"
#include "ops/base/outcome.h"

#include "model/blockentry.h"
#include "model/dmhrecord.h"
#include "model/progress.h"

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <optional>

class FlashImage;

// How something that either of two images holds compares: A is the first image, B the second.
enum class DiffStatus {
    Same,
    Changed,
    Added, // only in B
    Removed, // only in A
};

// What can differ between two entries matched to each other, in the order they are reported. Every byte
// of an entry but the ID (the key they are matched by) belongs to one field; Bytes is the block's bytes,
// and Held says that an image does not hold the whole block, so its bytes cannot all be compared.
enum class BlockField { Size, Offset, Crc, Name, Version, Time, Flags, Reserved, Trailer, Bytes, Held };

// The header fields of a DMH, and the number of its entries the image holds whole.
enum class DmhField { Position, DataCapacity, SdramSize, FlashSize, EntryCount, EntrySize, EntriesRead };

// What the window's summary and the file itself say about an image as a whole.
enum class ImageField { ImageSize, FlashSize, SdramSize, BlockNumber, SoftwareVersion };

// One block as one of the images lists it.
struct DiffBlockSide {
    int entryIndex = 0;
    BlockEntry entry;
    // Image position of the block's first byte, and how many of its bytes the image holds from there.
    qint64 start = 0;
    qint64 held = 0;
};

// One entry of A matched with one of B (same DMH index, same ID, same rank among the entries of that
// DMH with that ID), or an entry only one of them lists.
struct BlockDiff {
    DiffStatus status = DiffStatus::Same;
    int dmhIndex = 0;
    quint8 id = 0;
    std::optional<DiffBlockSide> a;
    std::optional<DiffBlockSide> b;
    QVector<BlockField> changes;
    // Matched blocks: each read at its own image position, over the bytes both blocks have and both
    // images hold; positions count from the block's start.
    ByteComparison bytes;

    // Every image that lists the block holds all of its bytes, as its own entry sizes it.
    bool heldWhole() const;
};

// A DMH's header as read, and the number of its entries the image holds whole.
struct DmhSide : DmhHeader {
    static DmhSide of(const DmhRecord& record);

    int entriesRead = 0;
};

// The DMHs of A and B with the same index.
struct DmhDiff {
    DiffStatus status = DiffStatus::Same;
    int index = 0;
    std::optional<DmhSide> a;
    std::optional<DmhSide> b;
    QVector<DmhField> changes;
};

// What the window's summary says of an image, and how many DMHs it has.
struct ImageSummary {
    static ImageSummary of(const FlashImage& image);

    qint64 imageSize = 0;
    quint32 flashSize = 0;
    quint32 sdramSize = 0;
    qint32 blockNumber = 0;
    QByteArray softwareVersion;
    int dmhCount = 0;
};

// The comparison of two loaded images.
struct ImageDiff {
    // The two files hold the same bytes.
    bool identical = false;
    ImageSummary a;
    ImageSummary b;
    QVector<ImageField> imageChanges;
    QVector<DmhDiff> dmhs;
    // Per DMH index: A's entries in table order, then the entries only B lists, in B's table order.
    QVector<BlockDiff> blocks;
    // The positions both images hold that lie in no listed block of either image (DMH headers and entry
    // tables among them), compared in place; positions are image positions.
    ByteComparison outsideBlocks;
    // The bytes read to compare the matched blocks: a range that several entries list is read once.
    qint64 blockBytesRead = 0;

    int blockCount(DiffStatus status) const;
    int dmhsDiffering() const;
};

// The matched blocks' comparisons may read at most this many times the bytes of the shorter image. An
// ordinary table lists each byte in one block or a few; one whose distinct ranges need more is refused
// before a byte is read, so a hostile table costs no more than its image.
constexpr qint64 diffReadLimitFactor = 8;

// Compares B with A: reads each image's bytes in place, never copies or checksums them. Refused when the
// blocks would take more reading than diffReadLimitFactor allows.
// `progress`, when given, hears how far the comparison of the whole images, then of the blocks' bytes, has
// come.
Refusable<ImageDiff> diffImages(
    const FlashImage& a, const FlashImage& b, const ProgressCallback& progress = {});
