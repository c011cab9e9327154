#include "ops/replace/blockgrow.h"

#include "ops/record/blockinfo.h"
#include "ops/record/crc32.h"
#include "ops/write/planwriter.h"
#include "ops/replace/replacementfile.h"
#include "ops/replace/replacesupport.h"
#include "ops/base/statustexts.h"

#include "model/imagelayout.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <optional>

using namespace ReplaceSupport;
using ImageLayout::entryPosition;
using ImageLayout::rangeInside;
using ImageLayout::rangesOverlap;

namespace {

// The entry that grows and the sizes around it, as the capacity test sees them.
struct GrowTarget {
    int entryIndex = -1;
    int matches = 0;
    qint64 others = 0;
};

// The last entry of the DMH with the ID, how many entries carry it, and the total size of the entries
// with other IDs.
GrowTarget findGrowTarget(const DmhRecord& dmh, const QString& idText)
{
    GrowTarget target;
    for (int index = 0; index < dmh.entries.size(); ++index) {
        if (dmh.entries.at(index).idText() == idText) {
            target.entryIndex = index;
            ++target.matches;
        } else {
            target.others += dmh.entries.at(index).size;
        }
    }
    return target;
}

Outcome blockNotInItsDmh()
{
    return Outcome::refused(
        StatusText::canNotFindDmh(), QStringLiteral("The block is not listed by the DMH it was found in."));
}

// The index of the first entry after `grownIndex` that does not lie right behind the one before it, in
// table order; -1 when they all do. The tail is moved as one range, so the offsets shift with the bytes
// only when nothing lies between.
int firstGapAfter(const DmhRecord& dmh, int grownIndex)
{
    const BlockEntry& grown = dmh.entries.at(grownIndex);
    qint64 expectedOffset = qint64(grown.offset) + grown.size;
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        if (entry.offset != expectedOffset)
            return index;
        expectedOffset += entry.size;
    }
    return -1;
}

// The total size of the entries after `grownIndex`, which lie back to back behind it.
qint64 tailLength(const DmhRecord& dmh, int grownIndex)
{
    qint64 total = 0;
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index)
        total += dmh.entries.at(index).size;
    return total;
}

// The DMH headers and entry tables, and every block that does not move, must stay as they are. The
// DMH's own table is rewritten whole, so no other DMH may lie in it.
Outcome checkUntouched(
    const QVector<DmhRecord>& catalogue, int dmhIndex, int grownIndex, qint64 start, qint64 length)
{
    const int touched = dmhTouchedBy(catalogue, start, length);
    if (touched >= 0)
        return Outcome::refused(StatusText::wouldOverwriteDmh(),
            QStringLiteral("The growth rewrites %1, which holds the header or entry table of DMH %2 at %3.")
                .arg(rangeText(start, length), QString::number(touched),
                    hexPosition(catalogue.at(touched).position)));
    for (int index = 0; index < catalogue.size(); ++index) {
        const DmhRecord& dmh = catalogue.at(index);
        const int firstMoved = index == dmhIndex ? grownIndex : dmh.entries.size();
        for (int entryIndex = 0; entryIndex < firstMoved; ++entryIndex) {
            const BlockEntry& other = dmh.entries.at(entryIndex);
            const qint64 otherStart = qint64(dmh.position) + other.offset;
            if (rangesOverlap(start, length, otherStart, other.size))
                return Outcome::refused(StatusText::wouldOverwriteBlock(),
                    QStringLiteral("The growth rewrites %1, which holds %2 of DMH %3 (%4), a block that does "
                                   "not move.")
                        .arg(rangeText(start, length), blockTitle(other), QString::number(index),
                            rangeText(otherStart, other.size)));
        }
    }
    const DmhRecord& grownDmh = catalogue.at(dmhIndex);
    const qint64 tableStart = entryPosition(grownDmh.position, 0);
    const qint64 rewritten = qint64(ImageLayout::entryStride) * grownDmh.entries.size();
    const int nested = dmhTouchedBy(catalogue, tableStart, rewritten, dmhIndex);
    if (nested >= 0)
        return Outcome::refused(StatusText::wouldOverwriteDmh(),
            QStringLiteral(
                "The entry table of DMH %1 (%2), which the growth rewrites, holds the header or table "
                "of DMH %3 at %4.")
                .arg(QString::number(dmhIndex), rangeText(tableStart, rewritten), QString::number(nested),
                    hexPosition(catalogue.at(nested).position)));
    return Outcome::succeeded({});
}

// Whether the block carries a record once the growth has moved it: its bytes, the signature included,
// move with it, but a record is only seen at an offset that is a multiple of 64 KiB.
bool hasBlockInfoAfterMove(const ImageView& image, quint32 dmhPosition, BlockEntry moved, qint64 growth)
{
    moved.offset += quint32(growth);
    const std::optional<qint64> recordAfter = BlockInfo::recordPosition(image.size, dmhPosition, moved);
    if (!recordAfter)
        return false;
    const qint64 signatureNow = *recordAfter - growth;
    return rangeInside(signatureNow, BlockInfo::signatureLength, image.size)
        && std::memcmp(image.data + signatureNow, BlockInfo::signature, BlockInfo::signatureLength) == 0;
}

// A moved block must read afterwards as it reads now: one that carries a record would lose it and be
// exported and verified as raw data, and raw data that happens to end in the signature would be exported
// cut to the data length those bytes claim.
Outcome checkRecordStatusKept(const ImageView& image, const DmhRecord& dmh, int grownIndex, qint64 growth)
{
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& moved = dmh.entries.at(index);
        const bool before = BlockInfo::hasBlockInfo(image.data, image.size, dmh.position, moved);
        const bool after = hasBlockInfoAfterMove(image, dmh.position, moved, growth);
        if (before == after)
            continue;
        const QString newOffset = hexPosition(qint64(moved.offset) + growth);
        if (before)
            return Outcome::refused(StatusText::blockInfoOffAlignment(),
                QStringLiteral(
                    "Growing by %1 bytes, not a whole number of 64 KiB (65536 bytes), would move %2, "
                    "which ends in a block-info record, to offset %3, where its record is no longer "
                    "seen.")
                    .arg(QString::number(growth), blockTitle(moved), newOffset));
        return Outcome::refused(StatusText::blockInfoGained(),
            QStringLiteral("Growing by %1 bytes would move %2, which has no block-info record but ends in "
                           "its signature, from offset %3 to %4, a multiple of 64 KiB (65536 bytes), "
                           "where those bytes would read as a record.")
                .arg(QString::number(growth), blockTitle(moved), hexPosition(moved.offset), newOffset));
    }
    return Outcome::succeeded({});
}

Outcome checkGrowCapacity(
    const QVector<DmhRecord>& catalogue, int dmhIndex, const QString& idText, qint64 replacementLength)
{
    if (dmhIndex < 0 || dmhIndex >= catalogue.size())
        return blockNotInItsDmh();
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const GrowTarget target = findGrowTarget(dmh, idText);
    if (target.entryIndex < 0)
        return blockNotInItsDmh();
    const qint64 total = replacementLength + target.others;
    if (total > qint64(dmh.dataCapacity))
        return Outcome::refused(StatusText::overMaxSize(),
            QStringLiteral("DMH %1 may hold %2 bytes of blocks: the other blocks take %3 bytes and the "
                           "replacement %4, together %5, %6 over.")
                .arg(QString::number(dmhIndex), QString::number(dmh.dataCapacity),
                    QString::number(target.others), QString::number(replacementLength),
                    QString::number(total), QString::number(total - dmh.dataCapacity)));
    return Outcome::succeeded({});
}

} // namespace

Outcome checkGrow(const ImageView& image, const QVector<DmhRecord>& catalogue, int dmhIndex,
    const QString& idText, qint64 replacementLength)
{
    const Outcome capacity = checkGrowCapacity(catalogue, dmhIndex, idText, replacementLength);
    if (!capacity.success)
        return capacity;
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const GrowTarget target = findGrowTarget(dmh, idText);
    const int grownIndex = target.entryIndex;
    const BlockEntry& grown = dmh.entries.at(grownIndex);

    // The entries are written back with entrySize as their stride but were read with 48.
    if (dmh.entrySize != ImageLayout::entryStride)
        return Outcome::refused(StatusText::entrySizeNot48(), entrySizeDetail(dmhIndex, dmh));
    // The variant was chosen by the first entry with the ID; the growth would act on the last.
    if (target.matches > 1)
        return Outcome::refused(StatusText::blockIdNotUnique(),
            QStringLiteral(
                "ID %1 is listed %2 times in DMH %3: the variant was chosen by its first entry, and the "
                "growth would act on its last.")
                .arg(grown.idText(), QString::number(target.matches), QString::number(dmhIndex)));
    // Only a longer replacement grows a block.
    const qint64 growth = replacementLength - grown.size;
    if (growth <= 0)
        return Outcome::refused(StatusText::canNotFindDmh(),
            QStringLiteral(
                "The replacement (%1 bytes) is not longer than %2 (%3 bytes): there is nothing to grow.")
                .arg(QString::number(replacementLength), blockTitle(grown), QString::number(grown.size)));
    const int gap = firstGapAfter(dmh, grownIndex);
    if (gap >= 0) {
        const BlockEntry& behind = dmh.entries.at(gap - 1);
        return Outcome::refused(StatusText::blocksNotBackToBack(),
            QStringLiteral(
                "The blocks behind %1 in DMH %2 do not follow it without a gap: %3 starts at offset %4, "
                "where %5 was expected.")
                .arg(blockTitle(grown), QString::number(dmhIndex), blockTitle(dmh.entries.at(gap)),
                    hexPosition(dmh.entries.at(gap).offset),
                    hexPosition(qint64(behind.offset) + behind.size)));
    }
    const qint64 tail = tailLength(dmh, grownIndex);

    const Outcome flash = checkFlashSizeFits(image);
    if (!flash.success)
        return flash;
    // The grown block and the moved blocks must stay inside the output and within reach of a u32 offset.
    const qint64 blockStart = qint64(dmh.position) + grown.offset;
    const qint64 changedLength = replacementLength + tail;
    if (!rangeInside(blockStart, changedLength, image.flashSize))
        return Outcome::refused(StatusText::blockOutOfImage(),
            QStringLiteral(
                "Grown to %1 bytes, %2 and the %3 bytes of blocks behind it would end at %4, beyond the "
                "first %5 bytes that make the output.")
                .arg(QString::number(replacementLength), blockTitle(grown), QString::number(tail),
                    hexPosition(blockStart + changedLength - 1), QString::number(image.flashSize)));
    if (qint64(grown.offset) + changedLength > (qint64(1) << 32))
        return Outcome::refused(StatusText::blockOutOfImage(),
            QStringLiteral(
                "Grown to %1 bytes, %2 and the blocks behind it would reach offset %3 from their DMH, "
                "beyond what a 32-bit offset holds.")
                .arg(QString::number(replacementLength), blockTitle(grown),
                    hexPosition(qint64(grown.offset) + changedLength)));
    const Outcome untouched = checkUntouched(catalogue, dmhIndex, grownIndex, blockStart, changedLength);
    if (!untouched.success)
        return untouched;
    const Outcome keeps = checkOutputKeepsImage(image, catalogue);
    if (!keeps.success)
        return keeps;
    return checkRecordStatusKept(image, dmh, grownIndex, growth);
}

Refusable<ReplacePlan> planGrow(const ImageView& image, const QVector<DmhRecord>& catalogue, int dmhIndex,
    const QString& idText, std::shared_ptr<ImageBuffer> replacement)
{
    const qint64 replacementLength = replacement ? replacement->size() : 0;
    const Outcome check = checkGrow(image, catalogue, dmhIndex, idText, replacementLength);
    if (!check.success)
        return Refusable<ReplacePlan>::refused(check);
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const int grownIndex = findGrowTarget(dmh, idText).entryIndex;
    const BlockEntry& grown = dmh.entries.at(grownIndex);
    const qint64 growth = replacementLength - grown.size;
    const qint64 tail = tailLength(dmh, grownIndex);
    const qint64 blockStart = qint64(dmh.position) + grown.offset;

    ReplacePlan plan;
    plan.variant = ReplaceVariant::Grow;
    plan.replacementLength = replacementLength;
    plan.dmhIndex = dmhIndex;
    plan.entryIndex = grownIndex;
    plan.blockStart = blockStart;
    plan.oldSize = grown.size;
    plan.tailLength = tail;
    plan.changedStart = entryPosition(dmh.position, grownIndex);
    plan.changedLength = blockStart + replacementLength + tail - plan.changedStart;

    const qint64 grownEntry = entryPosition(dmh.position, grownIndex);
    plan.fields.append(fieldChange(image, ChangedField::EntrySize, dmhIndex, grownIndex,
        grownEntry + BlockEntry::sizeOffset, 4, quint64(replacementLength)));
    plan.fields.append(fieldChange(image, ChangedField::EntryCrc, dmhIndex, grownIndex,
        grownEntry + BlockEntry::crcOffset, 4, Crc32::compute64(replacement->data(), replacementLength)));
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        plan.fields.append(fieldChange(image, ChangedField::EntryOffset, dmhIndex, index,
            entryPosition(dmh.position, index) + BlockEntry::offsetOffset, 4,
            quint64(entry.offset + growth)));
        const qint64 from = qint64(dmh.position) + entry.offset;
        plan.moves.append({ entry.id, index, from, from + growth, entry.size });
    }
    plan.output.length = image.flashSize;
    plan.newBytes = std::move(replacement);
    return Refusable<ReplacePlan>::of(std::move(plan));
}

void applyGrow(uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan)
{
    const qint64 length = plan.replacementLength;
    const qint64 growth = length - plan.oldSize;
    const uchar* const replacement = plan.newBytes->data();
    std::memmove(imageData + plan.blockStart + length, imageData + plan.blockStart + plan.oldSize,
        size_t(plan.tailLength));
    std::memcpy(imageData + plan.blockStart, replacement, size_t(length));

    DmhRecord& dmh = catalogue[plan.dmhIndex];
    for (int index = plan.entryIndex + 1; index < dmh.entries.size(); ++index)
        dmh.entries[index].offset += quint32(growth);
    BlockEntry& grown = dmh.entries[plan.entryIndex];
    grown.size = quint32(length);
    // Whatever the entry held before, "NCRC" included: the grown block carries no record to vouch for it.
    grown.crc = Crc32::compute64(replacement, length);
    for (int index = 0; index < dmh.entries.size(); ++index)
        dmh.entries.at(index).toBytes(imageData + entryPosition(dmh.position, index));
}

Outcome replaceBlockGrow(FlashImage& image, QVector<DmhRecord>& catalogue, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream, request.inputs);
    if (!request.dryRun && !writer.open())
        return writer.failure(StatusText::canNotOpen(writer.fileName()));
    if (request.idText.isEmpty())
        return refuse(writer, Outcome::refused(StatusText::notSelectingSavingBlock()));
    const Outcome capacity = checkGrowCapacity(
        catalogue, location.dmhIndex, request.idText, QFileInfo(request.replacementPath).size());
    if (!capacity.success)
        return refuse(writer, capacity);

    ReplacementFile replacement(request.replacementPath);
    if (!replacement.open())
        return refuse(writer, replacement.failure());
    // The variant was chosen by the length on disk; a file no longer than the block by now is not the one
    // that was measured.
    if (replacement.length() <= qint64(location.size))
        return refuse(writer,
            Outcome::unreadableInput(StatusText::canNotOpen(replacement.fileName()),
                QStringLiteral(
                    "%1 changed while it was read: it is now %2 bytes, no longer than %3 (%4 bytes).")
                    .arg(replacement.fileName(), QString::number(replacement.length()),
                        blockTitle(location.entry), QString::number(location.size))));
    // Every refusal that needs only the length comes before a byte of the replacement is read.
    const ImageView view = ImageView::of(image);
    const Outcome check = checkGrow(view, catalogue, location.dmhIndex, request.idText, replacement.length());
    if (!check.success)
        return refuse(writer, check);
    const std::shared_ptr<ImageBuffer> bytes = bufferFor(replacement.length(), request.spareBuffer);
    if (!bytes)
        return refuse(writer,
            Outcome::refused(StatusText::allocFailed(),
                QStringLiteral("%1 bytes of memory for %2 could not be had.")
                    .arg(QString::number(replacement.length()), replacement.fileName())));
    if (!replacement.readWhole(bytes->data()))
        return refuse(writer, replacement.failure());

    const Refusable<ReplacePlan> planned
        = planGrow(view, catalogue, location.dmhIndex, request.idText, bytes);
    if (!planned.accepted())
        return refuse(writer, planned.refusal);
    if (planOut)
        *planOut = *planned.value;

    QFile loadedImage(request.loadedImagePath);
    const auto loadedImageGone = [&loadedImage] {
        return Outcome::unreadableInput(StatusText::canNotOpen(loadedImage.fileName()),
            QStringLiteral("The image was loaded from %1, which cannot be opened any more: %2.")
                .arg(loadedImage.fileName(), loadedImage.errorString()));
    };
    if (request.dryRun) {
        if (!loadedImage.open(QIODevice::ReadOnly))
            return loadedImageGone();
        return Outcome::succeeded({});
    }

    // From here on the image in memory and the catalogue hold the grown block, whatever follows.
    const std::shared_ptr<ImageOrigin> origin = ImageOrigin::of(image);
    applyGrow(image.bytesToChange(), catalogue, *planned.value);
    OutputPlan output = planned.value->output;
    if (origin) {
        noteApplied(*origin, *planned.value);
        output.origin = origin;
    }
    // The loaded file is only opened, as a last sign that the image still comes from a file that exists.
    if (!loadedImage.open(QIODevice::ReadOnly))
        return refuse(writer, loadedImageGone());
    if (!writer.writeAndCommit(image.imageData(), image.imageSize(), output))
        return writer.failure(StatusText::growFailed());
    return Outcome::succeeded(StatusText::growSucceeded());
}
