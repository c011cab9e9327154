#pragma once

#include "model/blockentry.h"
#include "model/dmhrecord.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

// Where a block lies: what findBlock yields for an ID text.
struct BlockLocation {
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
