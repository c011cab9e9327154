#include "replacesupport.h"

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

} // namespace ReplaceSupport
