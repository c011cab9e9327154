#pragma once

#include "blockreplace.h"
#include "outcome.h"

#include <QtGlobal>

// Pieces the three replacement variants share.
namespace ReplaceSupport {

// The `width` bytes at `bytes` as a little-endian number (width at most 8).
quint64 fieldValue(const uchar* bytes, int width);

// An output takes flashSize bytes from the image: more than the image holds, or none, is refused.
bool flashSizeFits(const ImageView& image);

// A field change whose old value is read from the image at `position`.
FieldChange fieldChange(const ImageView& image, ChangedField field, int dmhIndex, int entryIndex,
    qint64 position, int width, quint64 newValue);

// Extends [start, start + length) to cover [position, position + width).
void coverRange(qint64& start, qint64& length, qint64 position, qint64 width);

} // namespace ReplaceSupport
