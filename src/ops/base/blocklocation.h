#pragma once

#include "ops/base/outcome.h"

#include "model/blockentry.h"
#include "model/dmhrecord.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

// Where a block lies: what findBlock yields for an ID text.
struct BlockLocation {
    // The entry `entryIndex` of the DMH at `dmhPosition`, the catalogue's DMH `dmhIndex`.
    static BlockLocation of(quint32 dmhPosition, int dmhIndex, int entryIndex, const BlockEntry& entry)
    {
        return { entry.size, entry.offset, dmhPosition, dmhIndex, entryIndex, entry };
    }

    quint32 size = 0;
    quint32 offset = 0;
    quint32 dmhPosition = 0;
    int dmhIndex = -1;
    int entryIndex = -1;
    BlockEntry entry;

    bool found() const { return dmhIndex >= 0; }
    // Image position of the block's first byte; 64-bit, since position + offset can pass 4 GiB.
    qint64 start() const { return qint64(dmhPosition) + offset; }
};

// The first entry, in catalogue order, whose ID written as lower-case hex equals `idText`. The search
// ends at the first DMH without entries. Not found: found() is false.
BlockLocation findBlock(const QVector<DmhRecord>& catalogue, const QString& idText);

// The first entry with that ID text in the DMH at `dmhIndex` alone: how a block behind an earlier entry
// with the same ID is reached. Not found (no such DMH or entry): found() is false.
BlockLocation findBlockInDmh(const QVector<DmhRecord>& catalogue, int dmhIndex, const QString& idText);

// The refusal of an action on a block that no DMH lists: export and replace say it alike.
Outcome blockNotFound();

// How many entries of `catalogue` (all of them, or those of one DMH) carry `id`.
int entriesWithId(const QVector<DmhRecord>& catalogue, quint8 id);
int entriesWithId(const DmhRecord& dmh, quint8 id);
