#pragma once

#include "blockfacts.h"
#include "imageview.h"

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

// Every entry of every DMH in catalogue order, checked against the bytes of `image`.
QVector<BlockCheck> checkBlocks(const ImageView& image, const QVector<DmhRecord>& catalogue);
