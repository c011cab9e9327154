#pragma once

#include "blockentry.h"
#include "dmhheader.h"

#include <QVector>

// One DMH found in an image: its header fields and its entries in table order. A value type.
struct DmhRecord : DmhHeader {
    // The entries that lie whole inside the image: entryCount of them unless the file is cut short.
    QVector<BlockEntry> entries;
};
