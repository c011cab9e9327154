#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/imageview.h"

#include "model/blockentry.h"
#include "model/dmhrecord.h"

#include <QVector>
#include <QtGlobal>

// What the image says about one entry's block: where its bytes lie, whether they lie inside the image,
// and what its block-info record holds. Read-only, bounds-checked against the image in memory.
struct BlockFacts {
    int dmhIndex = 0;
    int entryIndex = 0;
    quint32 dmhPosition = 0;
    BlockEntry entry;
    // Image position of the block's first byte (64-bit: position + offset can pass 4 GiB).
    qint64 start = 0;
    bool insideImage = false;
    bool hasRecord = false;
    qint64 recordPosition = 0;
    quint32 dataLength = 0;
    quint32 storedDataCrc = 0;

    // Every entry of every DMH of `catalogue`, in catalogue order (the block table's order).
    static QVector<BlockFacts> collect(const ImageView& image, const QVector<DmhRecord>& catalogue);

    // The entry as the block operations take it, whether or not a search by its ID would reach it.
    BlockLocation location() const;
};
