#include "ops/replace/blockgrow.h"

#include "ops/base/detailtexts.h"
#include "ops/base/statustexts.h"
#include "ops/record/blockinfo.h"
#include "ops/record/crc32.h"
#include "ops/replace/replacementfile.h"
#include "ops/replace/replacesupport.h"
#include "ops/write/planwriter.h"

#include "model/imagelayout.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <optional>

using namespace DetailText;
using namespace ReplaceSupport;
using ImageLayout::entryPosition;
using ImageLayout::rangeInside;
using ImageLayout::rangesOverlap;

namespace {

// The entry that grows, found once: its DMH, and what the capacity test takes from the DMH's table.
struct GrowTarget {
    const DmhRecord* dmh = nullptr;
    int dmhIndex = -1;
    int entryIndex = -1;
    // How many entries of the DMH carry the block's ID, and the total size of the entries with other IDs.
    int matches = 0;
    qint64 others = 0;

    bool found() const { return dmh != nullptr; }
    const BlockEntry& grown() const { return dmh->entries.at(entryIndex); }
};

// The entry at `location` in `catalogue`, with the counts of its DMH; not found when the catalogue does
// not list the block's ID there.
GrowTarget findGrowTarget(const QVector<DmhRecord>& catalogue, const BlockLocation& location)
{
    GrowTarget target;
    if (location.dmhIndex < 0 || location.dmhIndex >= catalogue.size())
        return target;
    const DmhRecord& dmh = catalogue.at(location.dmhIndex);
    if (location.entryIndex < 0 || location.entryIndex >= dmh.entries.size()
        || dmh.entries.at(location.entryIndex).id != location.entry.id)
        return target;
    target.dmh = &dmh;
    target.dmhIndex = location.dmhIndex;
    target.entryIndex = location.entryIndex;
    for (const BlockEntry& entry : dmh.entries) {
        if (entry.id == location.entry.id)
            ++target.matches;
        else
            target.others += entry.size;
    }
    return target;
}

// What the checks found, and the plan is made of.
struct Growth {
    GrowTarget target;
    qint64 replacementLength = 0;
    // How far the blocks behind the grown one move, and their total size.
    qint64 growth = 0;
    qint64 tail = 0;
    // Image position of the grown block.
    qint64 blockStart = 0;

    // The grown block and the moved blocks, from blockStart.
    qint64 changedLength() const { return replacementLength + tail; }
};

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

Outcome checkGrowCapacity(const GrowTarget& target, qint64 replacementLength)
{
    if (!target.found())
        return blockNotInItsDmh();
    const qint64 total = replacementLength + target.others;
    const quint32 capacity = target.dmh->dataCapacity;
    if (total > qint64(capacity))
        return Outcome::refused(StatusText::overMaxSize(),
            QStringLiteral("DMH %1 may hold %2 bytes of blocks: the other blocks take %3 bytes and the "
                           "replacement %4, together %5, %6 over.")
                .arg(QString::number(target.dmhIndex), QString::number(capacity),
                    QString::number(target.others), QString::number(replacementLength),
                    QString::number(total), QString::number(total - capacity)));
    return Outcome::succeeded({});
}

// The entry itself: a table the growth can rewrite, an ID listed once, a longer replacement, and the
// blocks behind it back to back.
Outcome checkGrownEntry(const GrowTarget& target, qint64 replacementLength)
{
    const DmhRecord& dmh = *target.dmh;
    const BlockEntry& grown = target.grown();
    // The entries are written back with entrySize as their stride but were read with 48.
    if (dmh.entrySize != ImageLayout::entryStride)
        return Outcome::refused(StatusText::entrySizeNot48(), entrySizeDetail(target.dmhIndex, dmh));
    // The variant was chosen by the first entry with the ID; the literal growth would act on the last.
    if (target.matches > 1)
        return Outcome::refused(StatusText::blockIdNotUnique(),
            QStringLiteral(
                "ID %1 is listed %2 times in DMH %3: the variant was chosen by its first entry, and the "
                "growth would act on its last.")
                .arg(grown.idText(), QString::number(target.matches), QString::number(target.dmhIndex)));
    // Only a longer replacement grows a block.
    if (replacementLength <= qint64(grown.size))
        return Outcome::refused(StatusText::canNotFindDmh(),
            QStringLiteral(
                "The replacement (%1 bytes) is not longer than %2 (%3 bytes): there is nothing to grow.")
                .arg(QString::number(replacementLength), blockTitle(grown), QString::number(grown.size)));
    const int gap = firstGapAfter(dmh, target.entryIndex);
    if (gap < 0)
        return Outcome::succeeded({});
    const BlockEntry& behind = dmh.entries.at(gap - 1);
    return Outcome::refused(StatusText::blocksNotBackToBack(),
        QStringLiteral(
            "The blocks behind %1 in DMH %2 do not follow it without a gap: %3 starts at offset %4, "
            "where %5 was expected.")
            .arg(blockTitle(grown), QString::number(target.dmhIndex), blockTitle(dmh.entries.at(gap)),
                hexPosition(dmh.entries.at(gap).offset), hexPosition(qint64(behind.offset) + behind.size)));
}

// The grown block and the moved blocks must stay inside the output and within reach of a u32 offset.
Outcome checkGrownRange(const ImageView& image, const Growth& growth)
{
    const Outcome flash = checkFlashSizeFits(image);
    if (!flash.success)
        return flash;
    const BlockEntry& grown = growth.target.grown();
    const QString length = QString::number(growth.replacementLength);
    if (!rangeInside(growth.blockStart, growth.changedLength(), image.flashSize))
        return Outcome::refused(StatusText::blockOutOfImage(),
            QStringLiteral(
                "Grown to %1 bytes, %2 and the %3 bytes of blocks behind it would end at %4, beyond the "
                "first %5 bytes that make the output.")
                .arg(length, blockTitle(grown), QString::number(growth.tail),
                    hexPosition(growth.blockStart + growth.changedLength() - 1),
                    QString::number(image.flashSize)));
    const qint64 reach = qint64(grown.offset) + growth.changedLength();
    if (reach > (qint64(1) << 32))
        return Outcome::refused(StatusText::blockOutOfImage(),
            QStringLiteral(
                "Grown to %1 bytes, %2 and the blocks behind it would reach offset %3 from their DMH, "
                "beyond what a 32-bit offset holds.")
                .arg(length, blockTitle(grown), hexPosition(reach)));
    return Outcome::succeeded({});
}

// Every check, the capacity test first: all of them need only the length.
Refusable<Growth> checkGrowth(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const GrowTarget& target, qint64 replacementLength)
{
    Growth growth;
    growth.target = target;
    growth.replacementLength = replacementLength;
    Outcome outcome = checkGrowCapacity(growth.target, replacementLength);
    if (outcome.success)
        outcome = checkGrownEntry(growth.target, replacementLength);
    if (!outcome.success)
        return Refusable<Growth>::refused(outcome);

    const DmhRecord& dmh = *growth.target.dmh;
    const int grownIndex = growth.target.entryIndex;
    const BlockEntry& grown = growth.target.grown();
    growth.growth = replacementLength - grown.size;
    growth.tail = tailLength(dmh, grownIndex);
    growth.blockStart = qint64(dmh.position) + grown.offset;
    outcome = checkGrownRange(image, growth);
    if (outcome.success)
        outcome = checkUntouched(
            catalogue, growth.target.dmhIndex, grownIndex, growth.blockStart, growth.changedLength());
    if (outcome.success)
        outcome = checkOutputKeepsImage(image, catalogue);
    if (outcome.success)
        outcome = checkRecordStatusKept(image, dmh, grownIndex, growth.growth);
    if (!outcome.success)
        return Refusable<Growth>::refused(outcome);
    return Refusable<Growth>::of(growth);
}

// The plan of a growth that passed every check; it keeps `replacement` as its new bytes.
ReplacePlan growPlan(const ImageView& image, const Growth& growth, std::shared_ptr<ImageBuffer> replacement)
{
    const DmhRecord& dmh = *growth.target.dmh;
    const int dmhIndex = growth.target.dmhIndex;
    const int grownIndex = growth.target.entryIndex;
    const qint64 length = growth.replacementLength;

    ReplacePlan plan;
    plan.variant = ReplaceVariant::Grow;
    plan.replacementLength = length;
    plan.dmhIndex = dmhIndex;
    plan.entryIndex = grownIndex;
    plan.blockStart = growth.blockStart;
    plan.oldSize = growth.target.grown().size;
    plan.tailLength = growth.tail;
    plan.changedStart = entryPosition(dmh.position, grownIndex);
    plan.changedLength = growth.blockStart + growth.changedLength() - plan.changedStart;

    const qint64 grownEntry = entryPosition(dmh.position, grownIndex);
    plan.fields.append(fieldChange(image, ChangedField::EntrySize, dmhIndex, grownIndex,
        grownEntry + BlockEntry::sizeOffset, 4, quint64(length)));
    plan.fields.append(fieldChange(image, ChangedField::EntryCrc, dmhIndex, grownIndex,
        grownEntry + BlockEntry::crcOffset, 4, Crc32::compute64(replacement->data(), length)));
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        plan.fields.append(fieldChange(image, ChangedField::EntryOffset, dmhIndex, index,
            entryPosition(dmh.position, index) + BlockEntry::offsetOffset, 4,
            quint64(entry.offset + growth.growth)));
        const qint64 from = qint64(dmh.position) + entry.offset;
        plan.moves.append({ entry.id, index, from, from + growth.growth, entry.size });
    }
    plan.output.length = image.flashSize;
    plan.newBytes = std::move(replacement);
    return plan;
}

// Opens the replacement once the output is open: an ID given, a capacity that holds the length on disk,
// and a file that is still longer than the block.
Outcome openReplacement(const GrowTarget& target, const BlockLocation& location,
    const ReplaceRequest& request, ReplacementFile& replacement)
{
    if (request.idText.isEmpty())
        return Outcome::refused(StatusText::notSelectingSavingBlock());
    const Outcome capacity = checkGrowCapacity(target, QFileInfo(request.replacementPath).size());
    if (!capacity.success)
        return capacity;
    if (!replacement.open())
        return replacement.failure();
    // The variant was chosen by the length on disk; a file no longer than the block by now is not the one
    // that was measured.
    if (replacement.length() > qint64(location.size))
        return Outcome::succeeded({});
    return Outcome::unreadableInput(StatusText::canNotOpen(replacement.fileName()),
        QStringLiteral("%1 changed while it was read: it is now %2 bytes, no longer than %3 (%4 bytes).")
            .arg(replacement.fileName(), QString::number(replacement.length()), blockTitle(location.entry),
                QString::number(location.size)));
}

// The replacement's bytes, in the spare buffer when it has room.
Refusable<std::shared_ptr<ImageBuffer>> readReplacement(
    ReplacementFile& replacement, const std::shared_ptr<ImageBuffer>& spare)
{
    using Bytes = Refusable<std::shared_ptr<ImageBuffer>>;
    std::shared_ptr<ImageBuffer> bytes = bufferFor(replacement.length(), spare);
    if (!bytes)
        return Bytes::refused(Outcome::refused(StatusText::allocFailed(),
            QStringLiteral("%1 bytes of memory for %2 could not be had.")
                .arg(QString::number(replacement.length()), replacement.fileName())));
    if (!replacement.readWhole(bytes->data()))
        return Bytes::refused(replacement.failure());
    return Bytes::of(std::move(bytes));
}

// What a growth overwrites in memory, kept so that a growth whose output fails can be taken back: the
// DMH's entries, the grown block's old bytes and the bytes the moved tail lands on behind its old end.
// The moved tail itself is moved back.
class GrowUndo {
public:
    // False when there is not memory to keep them.
    bool keep(const uchar* imageData, const QVector<DmhRecord>& catalogue, const ReplacePlan& plan)
    {
        dmh = catalogue.at(plan.dmhIndex);
        tableStart = entryPosition(dmh.position, 0);
        table = QByteArray(reinterpret_cast<const char*>(imageData + tableStart),
            int(ImageLayout::entryStride) * dmh.entries.size());
        const qint64 growth = plan.replacementLength - plan.oldSize;
        if (!overwritten.allocate(plan.oldSize + growth))
            return false;
        std::memcpy(overwritten.data(), imageData + plan.blockStart, size_t(plan.oldSize));
        std::memcpy(overwritten.data() + plan.oldSize, imageData + oldTailEnd(plan), size_t(growth));
        return true;
    }

    void restore(uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan) const
    {
        std::memmove(imageData + plan.blockStart + plan.oldSize,
            imageData + plan.blockStart + plan.replacementLength, size_t(plan.tailLength));
        std::memcpy(imageData + plan.blockStart, overwritten.data(), size_t(plan.oldSize));
        std::memcpy(imageData + oldTailEnd(plan), overwritten.data() + plan.oldSize,
            size_t(overwritten.size() - plan.oldSize));
        std::memcpy(imageData + tableStart, table.constData(), size_t(table.size()));
        catalogue[plan.dmhIndex] = dmh;
    }

private:
    static qint64 oldTailEnd(const ReplacePlan& plan)
    {
        return plan.blockStart + plan.oldSize + plan.tailLength;
    }

    DmhRecord dmh;
    qint64 tableStart = 0;
    QByteArray table;
    ImageBuffer overwritten;
};

// Grows the image in memory and writes it; a dry run only looks for the loaded file. Whatever stops the
// output leaves the image and the catalogue as they were: a later action must not carry a change the
// user was told had failed.
Outcome carryOut(FlashImage& image, QVector<DmhRecord>& catalogue, const ReplacePlan& plan,
    const ReplaceRequest& request, PlanWriter& writer)
{
    // The loaded file is only opened, as a last sign that the image still comes from a file that exists.
    QFile loadedImage(request.loadedImagePath);
    if (!loadedImage.open(QIODevice::ReadOnly))
        return refuse(writer,
            Outcome::unreadableInput(StatusText::canNotOpen(loadedImage.fileName()),
                QStringLiteral("The image was loaded from %1, which cannot be opened any more: %2.")
                    .arg(loadedImage.fileName(), loadedImage.errorString())));
    if (request.dryRun)
        return Outcome::succeeded({});

    GrowUndo undo;
    if (!undo.keep(image.imageData(), catalogue, plan))
        return refuse(writer,
            Outcome::refused(StatusText::allocFailed(),
                QStringLiteral("%1 bytes of memory to keep what the growth overwrites could not be had.")
                    .arg(QString::number(plan.replacementLength))));
    const std::shared_ptr<ImageOrigin> origin = ImageOrigin::of(image);
    applyGrow(image.bytesToChange(), catalogue, plan);
    OutputPlan output = plan.output;
    if (origin) {
        noteApplied(*origin, plan);
        output.origin = origin;
    }
    if (!writer.writeAndCommit(image.imageData(), image.imageSize(), output)) {
        undo.restore(image.bytesToChange(), catalogue, plan);
        return writer.failure(StatusText::growFailed());
    }
    return Outcome::succeeded(StatusText::growSucceeded());
}

} // namespace

Outcome checkGrow(const ImageView& image, const QVector<DmhRecord>& catalogue, const BlockLocation& location,
    qint64 replacementLength)
{
    const Refusable<Growth> growth
        = checkGrowth(image, catalogue, findGrowTarget(catalogue, location), replacementLength);
    return growth.accepted() ? Outcome::succeeded({}) : growth.refusal;
}

Refusable<ReplacePlan> planGrow(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> replacement)
{
    const qint64 replacementLength = replacement ? replacement->size() : 0;
    const Refusable<Growth> growth
        = checkGrowth(image, catalogue, findGrowTarget(catalogue, location), replacementLength);
    if (!growth.accepted())
        return Refusable<ReplacePlan>::refused(growth.refusal);
    return Refusable<ReplacePlan>::of(growPlan(image, *growth.value, std::move(replacement)));
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
    writer.setProgress(request.progress);
    if (!request.dryRun && !writer.open())
        return writer.failure(StatusText::canNotOpen(writer.fileName()));
    // One pass over the DMH's table serves every check.
    const GrowTarget target = findGrowTarget(catalogue, location);
    ReplacementFile replacement(request.replacementPath);
    const Outcome opened = openReplacement(target, location, request, replacement);
    if (!opened.success)
        return refuse(writer, opened);
    // Every refusal that needs only the length comes before a byte of the replacement is read.
    const ImageView view = ImageView::of(image);
    const Refusable<Growth> growth = checkGrowth(view, catalogue, target, replacement.length());
    if (!growth.accepted())
        return refuse(writer, growth.refusal);
    Refusable<std::shared_ptr<ImageBuffer>> bytes = readReplacement(replacement, request.spareBuffer);
    if (!bytes.accepted())
        return refuse(writer, bytes.refusal);
    const ReplacePlan plan = growPlan(view, *growth.value, std::move(*bytes.value));
    if (planOut)
        *planOut = plan;
    return carryOut(image, catalogue, plan, request, writer);
}
