#pragma once

#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/write/planwriter.h"
#include "ops/replace/replaceplan.h"

#include "model/dmhrecord.h"
#include "model/imagebuffer.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

// Pieces the three replacement variants share.
namespace ReplaceSupport {

// The `width` bytes at `bytes` as a little-endian number (width at most 8).
quint64 fieldValue(const uchar* bytes, int width);

// A field change whose old value is read from the image at `position`.
FieldChange fieldChange(const ImageView& image, ChangedField field, int dmhIndex, int entryIndex,
    qint64 position, int width, quint64 newValue);

// Extends [start, start + length) to cover [position, position + width).
void coverRange(qint64& start, qint64& length, qint64 position, qint64 width);

// The index of the first DMH of `catalogue` (the one at `skippedDmh` left out) whose header or entry
// table shares a byte with [start, start + length); -1 when none does.
int dmhTouchedBy(const QVector<DmhRecord>& catalogue, qint64 start, qint64 length, int skippedDmh = -1);

// An output takes flashSize bytes from the image: more than the image holds, or none, is refused.
Outcome checkFlashSizeFits(const ImageView& image);
// No output may cut off part of a DMH or a block of the image (a look-alike inside block data can state
// a smaller flash size, and it is parsed last).
Outcome checkOutputKeepsImage(const ImageView& image, const QVector<DmhRecord>& catalogue);

// `size` bytes for a replacement's new bytes: the spare buffer when it has room (fresh memory is slow to
// touch at first), else fresh memory; null when none could be had.
std::shared_ptr<ImageBuffer> bufferFor(qint64 size, const std::shared_ptr<ImageBuffer>& spare);
// A refusal after the output was opened: the writer drops what it started.
Outcome refuse(PlanWriter& writer, const Outcome& refusal);

// Why a DMH whose entrySize is not 48 is never rewritten.
QString entrySizeDetail(int dmhIndex, const DmhRecord& dmh);

} // namespace ReplaceSupport
