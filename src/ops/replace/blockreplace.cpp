#include "ops/replace/blockreplace.h"

#include "ops/base/detailtexts.h"
#include "ops/base/statustexts.h"
#include "ops/record/blockinfo.h"
#include "ops/record/crc32.h"
#include "ops/replace/replacementfile.h"
#include "ops/replace/replacesupport.h"
#include "ops/write/planwriter.h"

#include "model/imagelayout.h"

#include <algorithm>
#include <cstring>

using namespace DetailText;
using namespace ReplaceSupport;
using ImageLayout::rangeInside;

namespace {

constexpr quint32 copyAlignment = 65536;

// Image position of the entry findBlock found. With a unique ID this is where the loader recorded it.
qint64 entryPosition(const BlockLocation& location)
{
    return ImageLayout::entryPosition(location.dmhPosition, location.entryIndex);
}

// The block buffer must be the one the caller prepared for this block.
bool blockBufferFits(const std::shared_ptr<ImageBuffer>& block, const BlockLocation& location)
{
    return block && !block->isNull() && block->size() == qint64(location.size);
}

Outcome bufferMissing(const BlockLocation& location)
{
    return Outcome::refused(StatusText::allocFailed(),
        QStringLiteral("%1 bytes of memory for the new %2 could not be had.")
            .arg(QString::number(location.size), blockTitle(location.entry)));
}

// The output takes the first flashSize bytes of the image, and the block's bytes must lie inside them.
Outcome checkBlockInOutput(const ImageView& image, const BlockLocation& location)
{
    const Outcome flash = checkFlashSizeFits(image);
    if (!flash.success)
        return flash;
    if (rangeInside(location.start(), location.size, image.flashSize))
        return Outcome::succeeded({});
    return Outcome::refused(StatusText::blockOutOfImage(),
        QStringLiteral("%1 lies at %2, beyond the first %3 bytes that make the output.")
            .arg(blockTitleFirst(location.entry), rangeText(location.start(), location.size),
                QString::number(image.flashSize)));
}

// The DMH that lists the block, when `catalogue` is the one the block was found in.
const DmhRecord* dmhOf(const QVector<DmhRecord>& catalogue, const BlockLocation& location)
{
    if (location.dmhIndex < 0 || location.dmhIndex >= catalogue.size())
        return nullptr;
    const DmhRecord& dmh = catalogue.at(location.dmhIndex);
    return dmh.position == location.dmhPosition ? &dmh : nullptr;
}

// What the padded and record variants ask of the catalogue once the block itself fits the output: a
// DMH whose entries lie where they were read, an output that keeps every DMH and block of the image,
// and a block range that holds no DMH header or entry table.
Outcome checkCatalogue(
    const ImageView& image, const QVector<DmhRecord>& catalogue, const BlockLocation& location)
{
    const DmhRecord* dmh = dmhOf(catalogue, location);
    if (!dmh)
        return blockNotFound();
    if (dmh->entrySize != ImageLayout::entryStride)
        return Outcome::refused(StatusText::entrySizeNot48(), entrySizeDetail(location.dmhIndex, *dmh));
    const Outcome keeps = checkOutputKeepsImage(image, catalogue);
    if (!keeps.success)
        return keeps;
    const int touched = dmhTouchedBy(catalogue, location.start(), location.size);
    if (touched >= 0)
        return Outcome::refused(StatusText::wouldOverwriteDmh(),
            QStringLiteral(
                "%1 (%2) holds the header or entry table of DMH %3 at %4; replacing its bytes would "
                "destroy that DMH.")
                .arg(blockTitleFirst(location.entry), rangeText(location.start(), location.size),
                    QString::number(touched), hexPosition(catalogue.at(touched).position)));
    return Outcome::succeeded({});
}

// The entry whose CRC a replacement rewrites must lie in the output.
Outcome checkEntryInOutput(const ImageView& image, const BlockLocation& location)
{
    if (location.entryIndex >= 0
        && rangeInside(entryPosition(location), BlockEntry::byteSize, image.flashSize))
        return Outcome::succeeded({});
    return Outcome::refused(StatusText::dmhOutOfImage(),
        QStringLiteral("The entry of %1 at %2 lies beyond the first %3 bytes that make the output; its CRC "
                       "could not be rewritten.")
            .arg(blockTitle(location.entry), hexPosition(entryPosition(location)),
                QString::number(image.flashSize)));
}

// The entry's own CRC is the one table field a refreshed CRC writes; it must not be part of another DMH.
Outcome checkEntryCrcOwn(const QVector<DmhRecord>& catalogue, const BlockLocation& location)
{
    const qint64 crcPosition = entryPosition(location) + BlockEntry::crcOffset;
    const int touched = dmhTouchedBy(catalogue, crcPosition, 4, location.dmhIndex);
    if (touched < 0)
        return Outcome::succeeded({});
    return Outcome::refused(StatusText::wouldOverwriteDmh(),
        QStringLiteral("The CRC of the entry of %1, at %2, lies in the header or entry table of DMH %3 at "
                       "%4; rewriting it would change that DMH.")
            .arg(blockTitle(location.entry), hexPosition(crcPosition), QString::number(touched),
                hexPosition(catalogue.at(touched).position)));
}

// Rewrites the entry's CRC to `crc`: a field change and a 4-byte patch beside the block (the block holds
// no entry table, checked before).
void planEntryCrc(ReplacePlan& plan, const ImageView& image, const BlockLocation& location, quint32 crc)
{
    const qint64 crcPosition = entryPosition(location) + BlockEntry::crcOffset;
    plan.fields.append(fieldChange(
        image, ChangedField::EntryCrc, location.dmhIndex, location.entryIndex, crcPosition, 4, crc));
    coverRange(plan.changedStart, plan.changedLength, crcPosition, 4);
    QByteArray crcBytes(4, '\0');
    ImageLayout::writeU32(reinterpret_cast<uchar*>(crcBytes.data()), crc);
    plan.output.patches.append({ crcPosition, crcBytes, nullptr, nullptr });
}

void sortPatches(QVector<OutputPatch>& patches)
{
    std::sort(patches.begin(), patches.end(),
        [](const OutputPatch& left, const OutputPatch& right) { return left.position < right.position; });
}

// Opens the replacement and the output in that order, or says which could not be opened.
Outcome openBoth(ReplacementFile& replacement, PlanWriter& writer, bool dryRun)
{
    if (!replacement.open())
        return replacement.failure();
    if (!dryRun && !writer.open())
        return writer.failure(StatusText::canNotOpen(writer.fileName()));
    return Outcome::succeeded({});
}

// The block buffer: `size` bytes of 0xFF with the whole replacement read into its start.
Refusable<std::shared_ptr<ImageBuffer>> readIntoBlock(
    ReplacementFile& replacement, const BlockLocation& location, const std::shared_ptr<ImageBuffer>& spare)
{
    std::shared_ptr<ImageBuffer> block = bufferFor(location.size, spare);
    if (!block)
        return Refusable<std::shared_ptr<ImageBuffer>>::refused(bufferMissing(location));
    std::memset(block->data(), 0xFF, location.size);
    if (!replacement.readWhole(block->data()))
        return Refusable<std::shared_ptr<ImageBuffer>>::refused(replacement.failure());
    return Refusable<std::shared_ptr<ImageBuffer>>::of(std::move(block));
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

// The padded plan of a replacement that passed checkPadded.
Refusable<ReplacePlan> paddedPlan(const ImageView& image, const BlockLocation& location,
    std::shared_ptr<ImageBuffer> block, qint64 replacementLength, PaddedEntryCrc entryCrc)
{
    if (!blockBufferFits(block, location))
        return Refusable<ReplacePlan>::refused(bufferMissing(location));

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

    // The entry's CRC holds only when it is rewritten with the CRC of all `size` new bytes (the record
    // variant's rule, "NCRC" kept), or when it happens to match them.
    plan.output.length = image.flashSize;
    const quint32 newCrc = Crc32::compute64(block->data(), size);
    plan.newBlockCrc = newCrc;
    if (!location.entry.hasNoCrcMarker()) {
        if (entryCrc == PaddedEntryCrc::Update)
            planEntryCrc(plan, image, location, newCrc);
        else
            plan.entryCrcLeftStale = location.entry.crc != newCrc;
    }
    plan.output.patches.append({ location.start(), {}, block, nullptr });
    plan.newBytes = std::move(block);
    sortPatches(plan.output.patches);
    return Refusable<ReplacePlan>::of(std::move(plan));
}

// The record plan of a replacement that passed checkWithInfo.
Refusable<ReplacePlan> recordPlan(const ImageView& image, const BlockLocation& location,
    std::shared_ptr<ImageBuffer> block, qint64 replacementLength, const StampTime& stampTime)
{
    if (!blockBufferFits(block, location))
        return Refusable<ReplacePlan>::refused(bufferMissing(location));

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
    planEntryCrc(plan, image, location, copy.crc);
    plan.output.length = image.flashSize;
    plan.output.patches.append({ location.start(), {}, block, nullptr });
    plan.newBytes = std::move(block);
    sortPatches(plan.output.patches);
    return Refusable<ReplacePlan>::of(std::move(plan));
}

// The padded and record variants take the same steps: open the replacement, then the output; the checks
// that need only the replacement's length; read it into the block; plan; write.
Outcome replaceWithinBlock(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplaceVariant variant, ReplacePlan* planOut)
{
    const bool padded = variant == ReplaceVariant::Padded;
    ReplacementFile replacement(request.replacementPath);
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream, request.inputs);
    writer.setProgress(request.progress);
    const Outcome opened = openBoth(replacement, writer, request.dryRun);
    if (!opened.success)
        return opened;
    const ImageView view = ImageView::of(image);
    // The loader's list: DMH positions and tables never move, and a growth keeps every block inside
    // the output, so it answers these checks as the window's catalogue would.
    const QVector<DmhRecord>& catalogue = image.dmhRecords();
    const Outcome checked = padded
        ? checkPadded(view, catalogue, location, replacement.length(), request.paddedEntryCrc)
        : checkWithInfo(view, catalogue, location, replacement.length());
    if (!checked.success)
        return refuse(writer, checked);
    Refusable<std::shared_ptr<ImageBuffer>> block = readIntoBlock(replacement, location, request.spareBuffer);
    if (!block.accepted())
        return refuse(writer, block.refusal);
    const Refusable<ReplacePlan> planned = padded
        ? paddedPlan(view, location, std::move(*block.value), replacement.length(), request.paddedEntryCrc)
        : recordPlan(view, location, std::move(*block.value), replacement.length(), request.stampTime);
    if (!planned.accepted())
        return refuse(writer, planned.refusal);
    ReplacePlan plan = *planned.value;
    plan.output.origin = ImageOrigin::of(image);
    return finish(writer, view, plan, request, planOut);
}

} // namespace

Outcome checkPadded(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, qint64 replacementLength, PaddedEntryCrc entryCrc)
{
    if (!location.found())
        return blockNotFound();
    if (replacementLength > qint64(location.size))
        return Outcome::refused(StatusText::overMaxSize(),
            QStringLiteral("The replacement is %1 bytes, %2 over the %3 bytes %4 holds.")
                .arg(QString::number(replacementLength), QString::number(replacementLength - location.size),
                    QString::number(location.size), blockTitle(location.entry)));
    // A block of size 0 always asks for the entry copy, whose place would lie before the block.
    if (location.size == 0)
        return Outcome::refused(StatusText::blockSizeZero(),
            QStringLiteral("%1 has size 0: no replacement fits into it.")
                .arg(blockTitleFirst(location.entry)));
    const Outcome inOutput = checkBlockInOutput(image, location);
    if (!inOutput.success)
        return inOutput;
    if (entryCrc == PaddedEntryCrc::Update) {
        const Outcome entryInOutput = checkEntryInOutput(image, location);
        if (!entryInOutput.success)
            return entryInOutput;
    }
    const Outcome catalogueCheck = checkCatalogue(image, catalogue, location);
    if (!catalogueCheck.success || entryCrc == PaddedEntryCrc::Keep)
        return catalogueCheck;
    return checkEntryCrcOwn(catalogue, location);
}

Outcome checkWithInfo(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, qint64 replacementLength)
{
    if (!location.found())
        return blockNotFound();
    // The replacement must leave room for the record.
    const qint64 room = qint64(location.size) - BlockInfo::recordSize;
    if (replacementLength > room)
        return Outcome::refused(StatusText::overMaxSize(),
            QStringLiteral(
                "The replacement is %1 bytes, %2 over the %3 bytes of data %4 holds (its %5 bytes less "
                "the 64-byte block-info record).")
                .arg(QString::number(replacementLength),
                    QString::number(replacementLength - qMax<qint64>(room, 0)),
                    QString::number(qMax<qint64>(room, 0)), blockTitle(location.entry),
                    QString::number(location.size)));
    const Outcome inOutput = checkBlockInOutput(image, location);
    if (!inOutput.success)
        return inOutput;
    // The block lies inside the output, so its last 64 bytes do, unless it is shorter than a record; the
    // read is bounded against the image itself all the same.
    const qint64 recordStart = location.start() + location.size - BlockInfo::recordSize;
    if (!rangeInside(recordStart, BlockInfo::recordSize, image.size)
        || std::memcmp(image.data + recordStart, BlockInfo::signature, BlockInfo::signatureLength) != 0)
        return Outcome::refused(StatusText::blockInfoNotLegitimate(),
            QStringLiteral("The block-info record of %1 at %2 does not start with its signature.")
                .arg(blockTitle(location.entry), hexPosition(recordStart)));
    const Outcome entryInOutput = checkEntryInOutput(image, location);
    if (!entryInOutput.success)
        return entryInOutput;
    const Outcome catalogueCheck = checkCatalogue(image, catalogue, location);
    if (!catalogueCheck.success)
        return catalogueCheck;
    return checkEntryCrcOwn(catalogue, location);
}

Refusable<ReplacePlan> planPadded(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> block, qint64 replacementLength,
    PaddedEntryCrc entryCrc)
{
    const Outcome check = checkPadded(image, catalogue, location, replacementLength, entryCrc);
    if (!check.success)
        return Refusable<ReplacePlan>::refused(check);
    return paddedPlan(image, location, std::move(block), replacementLength, entryCrc);
}

Refusable<ReplacePlan> planWithInfo(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> block, qint64 replacementLength,
    const StampTime& stampTime)
{
    const Outcome check = checkWithInfo(image, catalogue, location, replacementLength);
    if (!check.success)
        return Refusable<ReplacePlan>::refused(check);
    return recordPlan(image, location, std::move(block), replacementLength, stampTime);
}

Outcome replaceBlockPadded(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    return replaceWithinBlock(image, location, request, ReplaceVariant::Padded, planOut);
}

Outcome replaceBlockWithInfo(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    return replaceWithinBlock(image, location, request, ReplaceVariant::WithInfo, planOut);
}
