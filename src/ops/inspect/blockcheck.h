#pragma once

#include "ops/inspect/blockfacts.h"
#include "ops/base/imageview.h"
#include "ops/base/outcome.h"

#include "model/dmhrecord.h"

#include <QVector>
#include <QtGlobal>

// How an entry's stored CRC compares with the CRC of its block's bytes.
enum class CrcCheck {
    Ok,
    Mismatch,
    NotChecked, // the entry holds the "NCRC" marker: the block deliberately has no CRC
    NotRead, // the block reaches outside the image, so its bytes are not read
};

// How a block-info record's data CRC compares with the CRC of the data it describes.
enum class RecordCheck {
    Ok,
    Mismatch,
    LengthExceedsBlock, // the data length reaches into the record or past the block: not read
};

// The verification of one entry: its facts, and the CRCs computed over the image in memory.
struct BlockCheck {
    BlockFacts facts;
    CrcCheck crc = CrcCheck::NotRead;
    // Valid when crc is Ok or Mismatch.
    quint32 computedCrc = 0;
    // Only for a block with a record.
    RecordCheck record = RecordCheck::Ok;
    // Valid when the block has a record and record is Ok or Mismatch.
    quint32 computedDataCrc = 0;

    bool crcComputed() const { return crc == CrcCheck::Ok || crc == CrcCheck::Mismatch; }
    bool dataCrcComputed() const
    {
        return facts.hasRecord && (record == RecordCheck::Ok || record == RecordCheck::Mismatch);
    }
    // True when nothing about the block fails: "NCRC" counts as holding.
    bool holds() const;
};

// What verifying reads is bounded by the image, not by its tables: a byte range is read once however
// many entries list it, and a catalogue whose distinct ranges add up to more than this many times the
// image's size is refused before any is read. An ordinary image reads each block once, and the data part
// of a block with a record once more; a table that lists thousands of distinct ranges over the same bytes
// is no firmware layout, and would cost minutes.
inline constexpr qint64 verifyReadsPerImageByte = 8;

// The checks, and how many bytes they read (each distinct range once).
struct BlockChecks {
    QVector<BlockCheck> checks;
    qint64 bytesRead = 0;
};

// Every entry of every DMH in catalogue order, checked against the bytes of `image`; refused, with the
// figures, when that would read more than verifyReadsPerImageByte times the image.
[[nodiscard]] Refusable<BlockChecks> checkBlocks(const ImageView& image, const QVector<DmhRecord>& catalogue);
