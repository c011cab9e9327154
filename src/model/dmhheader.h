#pragma once

#include <QtGlobal>

// Where a DMH lies and what its 28-byte header says.
struct DmhHeader {
    quint32 position = 0;
    quint32 dataCapacity = 0;
    quint32 sdramSize = 0;
    quint32 flashSize = 0;
    quint16 entryCount = 0;
    quint16 entrySize = 0;
};
