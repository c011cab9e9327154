#pragma once

#include "imagebuilder.h"

#include <QByteArray>

// Layouts that flood a load with DMH headers, for the hostile-image tests and the load probe alike.
namespace HostileLayouts {

// A DMH header that claims `entryCount` entries and lists none.
inline QByteArray headerClaiming(int entryCount)
{
    TestDmh dmh;
    dmh.entryCount = entryCount;
    return ImageBuilder::dmhHeader(dmh);
}

// `size` bytes holding `unit` every `stride` bytes, the last one cut by the end.
inline QByteArray repeated(int size, int stride, const QByteArray& unit)
{
    QByteArray bytes(size, '\0');
    for (int position = 0; position < size; position += stride)
        bytes.replace(position, qMin(unit.size(), size - position), unit.left(size - position));
    return bytes;
}

// Two empty headers in every 39 bytes: the second one's magic lies over the first one's size fields.
inline QByteArray emptyHeaderPairs(int size)
{
    QByteArray unit(39, '\0');
    unit.replace(0, 28, headerClaiming(0));
    unit.replace(12, 27, headerClaiming(0).left(27));
    return repeated(size, 39, unit);
}

} // namespace HostileLayouts
