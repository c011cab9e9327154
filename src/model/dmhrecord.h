#pragma once

#include "blockentry.h"

#include <QVector>
#include <QtGlobal>

// One DMH found in an image: its header fields and its entries in table order. A value type.
struct DmhRecord {
    quint32 position = 0;
    quint32 dataCapacity = 0;
    quint32 sdramSize = 0;
    quint32 flashSize = 0;
    quint16 entryCount = 0;
    quint16 entrySize = 0;
    // The entries that lie whole inside the image: entryCount of them unless the file is cut short.
    QVector<BlockEntry> entries;
};
