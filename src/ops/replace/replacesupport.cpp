#include "ops/replace/replacesupport.h"

#include "ops/base/detailtexts.h"
#include "ops/inspect/layoutcheck.h"
#include "ops/base/statustexts.h"

#include "model/imagelayout.h"

namespace ReplaceSupport {

using DetailText::hexPosition;

quint64 fieldValue(const uchar* bytes, int width)
{
    quint64 value = 0;
    for (int index = width - 1; index >= 0; --index)
        value = (value << 8) | bytes[index];
    return value;
}

FieldChange fieldChange(const ImageView& image, ChangedField field, int dmhIndex, int entryIndex,
    qint64 position, int width, quint64 newValue)
{
    return { field, dmhIndex, entryIndex, position, width, fieldValue(image.data + position, width),
        newValue };
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

int dmhTouchedBy(const QVector<DmhRecord>& catalogue, qint64 start, qint64 length, int skippedDmh)
{
    for (int index = 0; index < catalogue.size(); ++index) {
        const DmhRecord& dmh = catalogue.at(index);
        if (index != skippedDmh
            && ImageLayout::rangesOverlap(
                start, length, dmh.position, ImageLayout::tableLength(dmh.entryCount)))
            return index;
    }
    return -1;
}

Outcome checkFlashSizeFits(const ImageView& image)
{
    if (image.flashSize == 0)
        return Outcome::refused(StatusText::flashSizeNotFit(),
            QStringLiteral("The flash size is 0 bytes: an output, the first flash-size bytes of the image, "
                           "would be empty."));
    if (image.flashSize > image.size)
        return Outcome::refused(StatusText::flashSizeNotFit(),
            QStringLiteral(
                "The flash size is %1 bytes, but the image holds only %2: it was cut short, and an "
                "output of the flash size cannot be made from it.")
                .arg(image.flashSize)
                .arg(image.size));
    return Outcome::succeeded({});
}

Outcome checkOutputKeepsImage(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    if (const std::optional<LayoutProblem> cut = firstOutputCut(image, catalogue))
        return Outcome::refused(StatusText::flashSizeNotFit(), describeLayoutProblem(*cut, image, catalogue));
    return Outcome::succeeded({});
}

std::shared_ptr<ImageBuffer> bufferFor(qint64 size, const std::shared_ptr<ImageBuffer>& spare)
{
    std::shared_ptr<ImageBuffer> buffer = spare;
    if (!buffer || !buffer->reuse(size))
        buffer = std::make_shared<ImageBuffer>();
    if (buffer->size() != size && !buffer->allocate(size))
        return nullptr;
    return buffer;
}

Outcome refuse(PlanWriter& writer, const Outcome& refusal)
{
    writer.discard();
    return refusal;
}

QString entrySizeDetail(int dmhIndex, const DmhRecord& dmh)
{
    return QStringLiteral("DMH %1 at %2 states an entry size of %3, but its entries are read 48 bytes apart: "
                          "none of them can be rewritten safely.")
        .arg(QString::number(dmhIndex), hexPosition(dmh.position), QString::number(dmh.entrySize));
}

} // namespace ReplaceSupport
