#pragma once

#include "ops/write/imageorigin.h"
#include "ops/write/outputplan.h"

#include "model/imagebuffer.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>
#include <optional>

// "Replace with...": a new image with one block replaced, written to a new file of exactly flashSize
// bytes. Three variants, chosen by whether the block ends in a block-info record and whether the
// replacement fits.
enum class ReplaceVariant {
    Padded, // no record, fits: replacement, then 0xFF
    WithInfo, // record: replacement, 0xFF, refreshed record, new entry CRC
    Grow, // no record, longer than the block: the block grows and the blocks after it move
};

enum class ChangedField {
    EntryOffset, // DMH entry `offset`
    EntrySize, // DMH entry `size`
    EntryCrc, // DMH entry `crc`
    CopySize, // `size` of the entry copy the padded variant writes at block size - 64
    CopyCrc, // `crc` of that copy
    RecordDataLength, // block-info record, data length
    RecordDataCrc, // block-info record, data CRC
    RecordTime, // block-info record, year to second (7 bytes)
};

// One field rewritten in the output. Values are the field's `width` bytes read as a little-endian
// number; the record time packs year, month, day, hour, minute and second as they lie in the image.
struct FieldChange {
    ChangedField field = ChangedField::EntryCrc;
    int dmhIndex = -1;
    int entryIndex = -1;
    qint64 position = 0; // output (and image) position of the field's first byte
    int width = 0;
    quint64 oldValue = 0;
    quint64 newValue = 0;
};

// A block the growing variant moves, with image positions.
struct BlockMove {
    quint8 id = 0;
    int entryIndex = -1;
    qint64 from = 0;
    qint64 to = 0;
    quint32 size = 0;
};

// Everything a replacement does, computed before anything is written or changed: what --dry-run shows,
// and what the action carries out.
struct ReplacePlan {
    ReplaceVariant variant = ReplaceVariant::Padded;
    qint64 replacementLength = 0;
    // The output bytes from changedStart to changedStart + changedLength may differ from the loaded image.
    qint64 changedStart = 0;
    qint64 changedLength = 0;
    QVector<FieldChange> fields;
    QVector<BlockMove> moves;
    // The output file. For Grow it is the first flashSize bytes of the image after the change in memory.
    OutputPlan output;

    // The new bytes the plan lays down: the whole new block (padded, record), whose bytes the output's
    // patch shows, or the replacement a growth copies in.
    std::shared_ptr<ImageBuffer> newBytes;

    // Padded only: the CRC of all `size` bytes of the new block, and whether the entry's CRC, left as it
    // was, no longer matches it (so that `verify` flags the block).
    std::optional<quint32> newBlockCrc;
    bool entryCrcLeftStale = false;

    // Grow only: where the change happens.
    int dmhIndex = -1;
    int entryIndex = -1;
    qint64 blockStart = 0;
    quint32 oldSize = 0;
    qint64 tailLength = 0;
};

QString fieldName(ChangedField field);
QString variantName(ReplaceVariant variant);

// What laying `plan` over the image in memory does to the image's claim on its file's bytes (`origin`):
// what it writes is no longer the file's, and the blocks a growth moves are the file's from where they
// were.
void noteApplied(ImageOrigin& origin, const ReplacePlan& plan);
