#include "replacesupport.h"

#include "model/imagelayout.h"

namespace ReplaceSupport {

quint64 fieldValue(const uchar* bytes, int width)
{
    quint64 value = 0;
    for (int index = width - 1; index >= 0; --index)
        value = (value << 8) | bytes[index];
    return value;
}

bool flashSizeFits(const ImageView& image)
{
    return image.flashSize > 0 && image.flashSize <= image.size;
}

FieldChange fieldChange(const ImageView& image, ChangedField field, int dmhIndex, int entryIndex,
    qint64 position, int width, quint64 newValue)
{
    FieldChange change;
    change.field = field;
    change.dmhIndex = dmhIndex;
    change.entryIndex = entryIndex;
    change.position = position;
    change.width = width;
    change.oldValue = fieldValue(image.data + position, width);
    change.newValue = newValue;
    return change;
}

void coverRange(qint64& start, qint64& length, qint64 position, qint64 width)
{
    if (length == 0) {
        start = position;
        length = width;
        return;
    }
    const qint64 end = qMax(start + length, position + width);
    start = qMin(start, position);
    length = end - start;
}

bool overlaps(qint64 start, qint64 length, qint64 otherStart, qint64 otherLength)
{
    return length > 0 && otherLength > 0 && start < otherStart + otherLength && otherStart < start + length;
}

qint64 tableLength(const DmhRecord& dmh)
{
    return ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * dmh.entryCount;
}

bool touchesDmh(const QVector<DmhRecord>& catalogue, qint64 start, qint64 length, int skippedDmh)
{
    for (int index = 0; index < catalogue.size(); ++index) {
        const DmhRecord& dmh = catalogue.at(index);
        if (index != skippedDmh && overlaps(start, length, dmh.position, tableLength(dmh)))
            return true;
    }
    return false;
}

namespace {

// What the image holds of [start, start + length) is its bytes up to the image end, or, for an empty
// range, its place. The output cuts it off when it keeps less of that than the image does. A range
// wholly beyond the image end is held by neither, so nothing is lost.
bool cutOff(const ImageView& image, qint64 start, qint64 length)
{
    if (length == 0)
        return start <= image.size && start > image.flashSize;
    return start < image.size && qMin(start + length, image.size) > image.flashSize;
}

} // namespace

bool outputCutsOff(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    for (const DmhRecord& dmh : catalogue) {
        if (cutOff(image, dmh.position, tableLength(dmh)))
            return true;
        for (const BlockEntry& entry : dmh.entries) {
            if (cutOff(image, qint64(dmh.position) + entry.offset, entry.size))
                return true;
        }
    }
    return false;
}

} // namespace ReplaceSupport
