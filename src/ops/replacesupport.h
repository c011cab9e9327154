#pragma once

#include "blockreplace.h"
#include "outcome.h"

#include "model/dmhrecord.h"

#include <QVector>
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

// Whether [start, start + length) and [otherStart, otherStart + otherLength) share a byte.
bool overlaps(qint64 start, qint64 length, qint64 otherStart, qint64 otherLength);

// The DMH's header and its entry table as the header claims it, from the DMH position.
qint64 tableLength(const DmhRecord& dmh);

// True when [start, start + length) shares a byte with a DMH header or entry table of `catalogue`,
// the DMH at index `skippedDmh` left out.
bool touchesDmh(const QVector<DmhRecord>& catalogue, qint64 start, qint64 length, int skippedDmh = -1);

// True when the output, the first flashSize bytes of the image, would lose part of what the image
// holds of a DMH header, an entry table or a listed block. flashSizeFits must hold.
bool outputCutsOff(const ImageView& image, const QVector<DmhRecord>& catalogue);

} // namespace ReplaceSupport
