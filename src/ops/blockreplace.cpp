#include "blockreplace.h"

#include "blockinfo.h"
#include "crc32.h"
#include "planwriter.h"
#include "replacementfile.h"
#include "replacesupport.h"
#include "statustexts.h"

#include "model/imagelayout.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

using namespace ReplaceSupport;
using ImageLayout::rangeInside;

namespace {

constexpr quint32 copyAlignment = 65536;

bool blockInsideOutput(const ImageView& image, const BlockLocation& location)
{
    return rangeInside(location.start(), location.size, image.flashSize);
}

// Image position of the entry findBlock found. With a unique ID this is where the loader recorded it.
qint64 entryPosition(const BlockLocation& location)
{
    return qint64(location.dmhPosition) + ImageLayout::dmhHeaderSize
        + qint64(ImageLayout::entryStride) * location.entryIndex;
}

// The block buffer must be the one the caller prepared for this block.
bool blockBufferFits(const std::shared_ptr<ImageBuffer>& block, const BlockLocation& location)
{
    return block && !block->isNull() && block->size() == qint64(location.size);
}

// Lays `bytes` over the output at `position`: the part that falls on the new block goes into the block
// buffer (written later, it wins, as when the block is copied first and the field written after it);
// the rest becomes patches of its own.
void layOver(QVector<OutputPatch>& patches, ImageBuffer& block, qint64 blockStart, qint64 position,
    const QByteArray& bytes)
{
    const qint64 blockEnd = blockStart + block.size();
    QByteArray run;
    qint64 runStart = 0;
    for (int index = 0; index < bytes.size(); ++index) {
        const qint64 at = position + index;
        if (at >= blockStart && at < blockEnd) {
            block.data()[at - blockStart] = uchar(bytes[index]);
            continue;
        }
        if (!run.isEmpty() && runStart + run.size() != at) {
            patches.append({ runStart, run, nullptr });
            run.clear();
        }
        if (run.isEmpty())
            runStart = at;
        run.append(bytes[index]);
    }
    if (!run.isEmpty())
        patches.append({ runStart, run, nullptr });
}

void sortPatches(QVector<OutputPatch>& patches)
{
    std::sort(patches.begin(), patches.end(),
        [](const OutputPatch& left, const OutputPatch& right) { return left.position < right.position; });
}

Outcome refuse(PlanWriter& writer, const Outcome& refusal)
{
    writer.discard();
    return refusal;
}

// Opens the replacement and the output in that order, or says which could not be opened.
Outcome openBoth(ReplacementFile& replacement, PlanWriter& writer, bool dryRun)
{
    if (!replacement.open())
        return Outcome::failed(StatusText::canNotOpen(replacement.fileName()));
    if (!dryRun && !writer.open())
        return writer.failure(StatusText::canNotOpen(writer.fileName()));
    return Outcome::succeeded({});
}

// The block buffer: `size` bytes of 0xFF with the whole replacement read into its start.
Planned<std::shared_ptr<ImageBuffer>> readIntoBlock(ReplacementFile& replacement, quint32 size)
{
    auto block = std::make_shared<ImageBuffer>();
    if (!block->allocate(size))
        return Planned<std::shared_ptr<ImageBuffer>>::refused(StatusText::allocFailed());
    std::memset(block->data(), 0xFF, size);
    if (!replacement.readWhole(block->data()))
        return Planned<std::shared_ptr<ImageBuffer>>::refused(StatusText::canNotOpen(replacement.fileName()));
    return Planned<std::shared_ptr<ImageBuffer>>::of(std::move(block));
}

Outcome finish(PlanWriter& writer, const ImageView& image, const ReplacePlan& plan,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    if (planOut)
        *planOut = plan;
    if (request.dryRun)
        return Outcome::succeeded({});
    if (!writer.writeAndCommit(image.data, image.size, plan.output))
        return writer.failure(StatusText::replaceFailed());
    return Outcome::succeeded(StatusText::replaceSucceeded());
}

} // namespace

QString fieldName(ChangedField field)
{
    switch (field) {
    case ChangedField::EntryOffset:
        return QStringLiteral("entry offset");
    case ChangedField::EntrySize:
        return QStringLiteral("entry size");
    case ChangedField::EntryCrc:
        return QStringLiteral("entry crc");
    case ChangedField::CopySize:
        return QStringLiteral("entry copy size");
    case ChangedField::CopyCrc:
        return QStringLiteral("entry copy crc");
    case ChangedField::RecordDataLength:
        return QStringLiteral("record data length");
    case ChangedField::RecordDataCrc:
        return QStringLiteral("record data crc");
    case ChangedField::RecordTime:
        return QStringLiteral("record time");
    }
    return {};
}

QString variantName(ReplaceVariant variant)
{
    switch (variant) {
    case ReplaceVariant::Padded:
        return QStringLiteral("padded");
    case ReplaceVariant::WithInfo:
        return QStringLiteral("with block info");
    case ReplaceVariant::Grow:
        return QStringLiteral("grow");
    }
    return {};
}

ReplaceVariant chooseVariant(const ImageView& image, const BlockLocation& location, qint64 replacementLength)
{
    if (BlockInfo::hasBlockInfo(image.data, image.size, location.dmhPosition, location.entry))
        return ReplaceVariant::WithInfo;
    return replacementLength <= qint64(location.size) ? ReplaceVariant::Padded : ReplaceVariant::Grow;
}

Outcome checkPadded(const ImageView& image, const BlockLocation& location, qint64 replacementLength)
{
    if (!location.found())
        return Outcome::failed(StatusText::canNotFindDmh());
    if (replacementLength > qint64(location.size))
        return Outcome::failed(StatusText::overMaxSize());
    // A block of size 0 always asks for the entry copy, whose place would lie before the block.
    if (location.size == 0)
        return Outcome::failed(StatusText::blockSizeZero());
    if (!flashSizeFits(image))
        return Outcome::failed(StatusText::flashSizeNotFit());
    if (!blockInsideOutput(image, location))
        return Outcome::failed(StatusText::blockOutOfImage());
    return Outcome::succeeded({});
}

Planned<ReplacePlan> planPadded(const ImageView& image, const BlockLocation& location,
    std::shared_ptr<ImageBuffer> block, qint64 replacementLength)
{
    const Outcome check = checkPadded(image, location, replacementLength);
    if (!check.success)
        return { std::nullopt, check };
    if (!blockBufferFits(block, location))
        return Planned<ReplacePlan>::refused(StatusText::allocFailed());

    ReplacePlan plan;
    plan.variant = ReplaceVariant::Padded;
    plan.replacementLength = replacementLength;
    plan.changedStart = location.start();
    plan.changedLength = location.size;

    const quint32 size = location.size;
    const bool aligned = size % copyAlignment == 0 && replacementLength % copyAlignment == 0;
    // A replacement that fills the block leaves no room for the copy: its own bytes win.
    if (aligned && replacementLength != size) {
        BlockEntry copy = location.entry;
        copy.size = quint32(replacementLength);
        copy.crc = Crc32::compute64(block->data(), replacementLength);
        const qint64 copyOffset = qint64(size) - BlockInfo::recordSize;
        copy.toBytes(block->data() + copyOffset);
        const qint64 copyPosition = location.start() + copyOffset;
        plan.fields.append(fieldChange(image, ChangedField::CopySize, location.dmhIndex, location.entryIndex,
            copyPosition + BlockEntry::sizeOffset, 4, copy.size));
        plan.fields.append(fieldChange(image, ChangedField::CopyCrc, location.dmhIndex, location.entryIndex,
            copyPosition + BlockEntry::crcOffset, 4, copy.crc));
    }

    plan.output.length = image.flashSize;
    plan.output.patches.append({ location.start(), {}, std::move(block) });
    return Planned<ReplacePlan>::of(std::move(plan));
}

Outcome checkWithInfo(const ImageView& image, const BlockLocation& location, qint64 replacementLength)
{
    if (!location.found())
        return Outcome::failed(StatusText::canNotFindDmh());
    // The replacement must leave room for the record.
    if (replacementLength > qint64(location.size) - BlockInfo::recordSize)
        return Outcome::failed(StatusText::overMaxSize());
    if (!flashSizeFits(image))
        return Outcome::failed(StatusText::flashSizeNotFit());
    if (!blockInsideOutput(image, location))
        return Outcome::failed(StatusText::blockOutOfImage());
    const qint64 recordStart = location.start() + location.size - BlockInfo::recordSize;
    if (std::memcmp(image.data + recordStart, BlockInfo::signature, BlockInfo::signatureLength) != 0)
        return Outcome::failed(StatusText::blockInfoNotLegitimate());
    if (location.entryIndex < 0
        || !rangeInside(entryPosition(location), BlockEntry::byteSize, image.flashSize))
        return Outcome::failed(StatusText::dmhOutOfImage());
    return Outcome::succeeded({});
}

Planned<ReplacePlan> planWithInfo(const ImageView& image, const BlockLocation& location,
    std::shared_ptr<ImageBuffer> block, qint64 replacementLength, const StampTime& stampTime)
{
    const Outcome check = checkWithInfo(image, location, replacementLength);
    if (!check.success)
        return { std::nullopt, check };
    if (!blockBufferFits(block, location))
        return Planned<ReplacePlan>::refused(StatusText::allocFailed());

    const quint32 size = location.size;
    const qint64 recordOffset = qint64(size) - BlockInfo::recordSize;
    const qint64 recordStart = location.start() + recordOffset;
    uchar* const buffer = block->data();
    std::memcpy(buffer + recordOffset, image.data + recordStart, BlockInfo::recordSize);
    const quint32 dataCrc = Crc32::compute64(buffer, replacementLength);
    BlockInfo::stampBlockInfo(buffer, size, quint32(replacementLength), dataCrc, stampTime);

    BlockEntry copy = location.entry;
    if (!copy.hasNoCrcMarker())
        copy.crc = Crc32::compute64(buffer, size);

    ReplacePlan plan;
    plan.variant = ReplaceVariant::WithInfo;
    plan.replacementLength = replacementLength;
    plan.changedStart = location.start();
    plan.changedLength = size;
    const int dmhIndex = location.dmhIndex;
    const int entryIndex = location.entryIndex;
    plan.fields.append(fieldChange(image, ChangedField::RecordDataLength, dmhIndex, entryIndex,
        recordStart + BlockInfo::dataLengthOffset, 4, quint32(replacementLength)));
    plan.fields.append(fieldChange(image, ChangedField::RecordDataCrc, dmhIndex, entryIndex,
        recordStart + BlockInfo::dataCrcOffset, 4, dataCrc));
    plan.fields.append(fieldChange(image, ChangedField::RecordTime, dmhIndex, entryIndex,
        recordStart + BlockInfo::timeOffset, 7,
        fieldValue(buffer + recordOffset + BlockInfo::timeOffset, 7)));

    // "NCRC" is written back as it was; every other CRC becomes the CRC of the whole new block.
    const qint64 crcPosition = entryPosition(location) + BlockEntry::crcOffset;
    plan.fields.append(
        fieldChange(image, ChangedField::EntryCrc, dmhIndex, entryIndex, crcPosition, 4, copy.crc));
    coverRange(plan.changedStart, plan.changedLength, crcPosition, 4);

    QByteArray crcBytes(4, '\0');
    ImageLayout::writeU32(reinterpret_cast<uchar*>(crcBytes.data()), copy.crc);
    plan.output.length = image.flashSize;
    layOver(plan.output.patches, *block, location.start(), crcPosition, crcBytes);
    plan.output.patches.append({ location.start(), {}, std::move(block) });
    sortPatches(plan.output.patches);
    return Planned<ReplacePlan>::of(std::move(plan));
}

Outcome replaceBlockPadded(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    ReplacementFile replacement(request.replacementPath);
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream);
    const Outcome opened = openBoth(replacement, writer, request.dryRun);
    if (!opened.success)
        return opened;
    const ImageView view = ImageView::of(image);
    const Outcome check = checkPadded(view, location, replacement.length());
    if (!check.success)
        return refuse(writer, check);
    Planned<std::shared_ptr<ImageBuffer>> block = readIntoBlock(replacement, location.size);
    if (!block.accepted())
        return refuse(writer, block.refusal);
    const Planned<ReplacePlan> planned
        = planPadded(view, location, std::move(*block.plan), replacement.length());
    if (!planned.accepted())
        return refuse(writer, planned.refusal);
    return finish(writer, view, *planned.plan, request, planOut);
}

Outcome replaceBlockWithInfo(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    ReplacementFile replacement(request.replacementPath);
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream);
    const Outcome opened = openBoth(replacement, writer, request.dryRun);
    if (!opened.success)
        return opened;
    const ImageView view = ImageView::of(image);
    const Outcome check = checkWithInfo(view, location, replacement.length());
    if (!check.success)
        return refuse(writer, check);
    Planned<std::shared_ptr<ImageBuffer>> block = readIntoBlock(replacement, location.size);
    if (!block.accepted())
        return refuse(writer, block.refusal);
    const Planned<ReplacePlan> planned
        = planWithInfo(view, location, std::move(*block.plan), replacement.length(), request.stampTime);
    if (!planned.accepted())
        return refuse(writer, planned.refusal);
    return finish(writer, view, *planned.plan, request, planOut);
}

Outcome replaceBlock(
    FlashImage& image, QVector<DmhRecord>& catalogue, const ReplaceRequest& request, ReplacePlan* plan)
{
    if (request.idText.isEmpty())
        return Outcome::failed(StatusText::noBlockSelected());
    return replaceBlockAt(image, catalogue, findBlock(catalogue, request.idText), request, plan);
}

Outcome replaceBlockAt(FlashImage& image, QVector<DmhRecord>& catalogue, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* plan)
{
    if (!location.found())
        return Outcome::failed(StatusText::canNotFindDmh());
    const qint64 replacementLength = QFileInfo(request.replacementPath).size();
    switch (chooseVariant(ImageView::of(image), location, replacementLength)) {
    case ReplaceVariant::Padded:
        return replaceBlockPadded(image, location, request, plan);
    case ReplaceVariant::WithInfo:
        return replaceBlockWithInfo(image, location, request, plan);
    case ReplaceVariant::Grow:
        return replaceBlockGrow(image, catalogue, location, request, plan);
    }
    return Outcome::failed(StatusText::canNotFindDmh());
}
