#include "blockreplace.h"

#include "blockinfo.h"
#include "crc32.h"
#include "planwriter.h"
#include "replacementfile.h"
#include "replacesupport.h"
#include "statustexts.h"

#include "model/imagelayout.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

using namespace ReplaceSupport;
using ImageLayout::rangeInside;

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

qint64 entryPosition(const DmhRecord& dmh, int index)
{
    return qint64(dmh.position) + ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * index;
}

// The total size of the entries after `grownIndex`, when they lie back to back behind it in table order;
// -1 otherwise. The tail is moved as one range, so the offsets shift with the bytes only when nothing
// lies between.
qint64 backToBackTail(const DmhRecord& dmh, int grownIndex)
{
    const BlockEntry& grown = dmh.entries.at(grownIndex);
    qint64 expectedOffset = qint64(grown.offset) + grown.size;
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        if (entry.offset != expectedOffset)
            return -1;
        expectedOffset += entry.size;
    }
    return expectedOffset - grown.offset - grown.size;
}

// The DMH headers and entry tables, and every block that does not move, must stay as they are. The
// DMH's own table is rewritten whole, so no other DMH may lie in it.
Outcome checkUntouched(
    const QVector<DmhRecord>& catalogue, int dmhIndex, int entryIndex, qint64 start, qint64 length)
{
    if (touchesDmh(catalogue, start, length))
        return Outcome::failed(StatusText::wouldOverwriteDmh());
    for (int index = 0; index < catalogue.size(); ++index) {
        const DmhRecord& dmh = catalogue.at(index);
        const int firstMoved = index == dmhIndex ? entryIndex : dmh.entries.size();
        for (int entry = 0; entry < firstMoved; ++entry) {
            const BlockEntry& other = dmh.entries.at(entry);
            if (overlaps(start, length, qint64(dmh.position) + other.offset, other.size))
                return Outcome::failed(StatusText::wouldOverwriteBlock());
        }
    }
    const DmhRecord& grownDmh = catalogue.at(dmhIndex);
    const qint64 rewritten = qint64(ImageLayout::entryStride) * grownDmh.entries.size();
    if (touchesDmh(catalogue, entryPosition(grownDmh, 0), rewritten, dmhIndex))
        return Outcome::failed(StatusText::wouldOverwriteDmh());
    return Outcome::succeeded({});
}

// A record is only seen on a block whose offset is a multiple of 64 KiB: a moved block that carries
// one must move by whole 64 KiB steps, or the image exports and verifies it as raw data afterwards.
bool movesRecordOffAlignment(const ImageView& image, const DmhRecord& dmh, int grownIndex, qint64 growth)
{
    if (growth % BlockInfo::alignment == 0)
        return false;
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        if (BlockInfo::hasBlockInfo(image.data, image.size, dmh.position, dmh.entries.at(index)))
            return true;
    }
    return false;
}

} // namespace

Outcome checkGrowCapacity(
    const QVector<DmhRecord>& catalogue, int dmhIndex, const QString& idText, qint64 replacementLength)
{
    if (dmhIndex < 0 || dmhIndex >= catalogue.size())
        return Outcome::failed(StatusText::canNotFindDmh());
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const GrowTarget target = findGrowTarget(dmh, idText);
    if (target.entryIndex < 0)
        return Outcome::failed(StatusText::canNotFindDmh());
    if (replacementLength + target.others > qint64(dmh.dataCapacity))
        return Outcome::failed(StatusText::overMaxSize());
    return Outcome::succeeded({});
}

Outcome checkGrow(const ImageView& image, const QVector<DmhRecord>& catalogue, int dmhIndex,
    const QString& idText, qint64 replacementLength)
{
    const Outcome capacity = checkGrowCapacity(catalogue, dmhIndex, idText, replacementLength);
    if (!capacity.success)
        return capacity;
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const GrowTarget target = findGrowTarget(dmh, idText);
    const int k = target.entryIndex;
    const BlockEntry& grown = dmh.entries.at(k);

    // The entries are written back with entrySize as their stride but were read with 48.
    if (dmh.entrySize != ImageLayout::entryStride)
        return Outcome::failed(StatusText::entrySizeNot48());
    // The variant was chosen by the first entry with the ID; the growth would act on the last.
    if (target.matches > 1)
        return Outcome::failed(StatusText::blockIdNotUnique());
    // Only a longer replacement grows a block: a shorter one means the file is not the one measured.
    const qint64 growth = replacementLength - grown.size;
    if (growth <= 0)
        return Outcome::failed(StatusText::canNotFindDmh());
    const qint64 tail = backToBackTail(dmh, k);
    if (tail < 0)
        return Outcome::failed(StatusText::blocksNotBackToBack());

    if (!flashSizeFits(image))
        return Outcome::failed(StatusText::flashSizeNotFit());
    // The grown block and the moved blocks must stay inside the output and within reach of a u32 offset.
    const qint64 blockStart = qint64(dmh.position) + grown.offset;
    const qint64 changedLength = replacementLength + tail;
    if (!rangeInside(blockStart, changedLength, image.flashSize)
        || qint64(grown.offset) + changedLength > (qint64(1) << 32))
        return Outcome::failed(StatusText::blockOutOfImage());
    const Outcome untouched = checkUntouched(catalogue, dmhIndex, k, blockStart, changedLength);
    if (!untouched.success)
        return untouched;
    if (outputCutsOff(image, catalogue))
        return Outcome::failed(StatusText::flashSizeNotFit());
    if (movesRecordOffAlignment(image, dmh, k, growth))
        return Outcome::failed(StatusText::blockInfoOffAlignment());
    return Outcome::succeeded({});
}

Planned<ReplacePlan> planGrow(const ImageView& image, const QVector<DmhRecord>& catalogue, int dmhIndex,
    const QString& idText, const uchar* replacement, qint64 replacementLength)
{
    const Outcome check = checkGrow(image, catalogue, dmhIndex, idText, replacementLength);
    if (!check.success)
        return { std::nullopt, check };
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const int k = findGrowTarget(dmh, idText).entryIndex;
    const BlockEntry& grown = dmh.entries.at(k);
    const qint64 growth = replacementLength - grown.size;
    const qint64 tail = backToBackTail(dmh, k);
    const qint64 blockStart = qint64(dmh.position) + grown.offset;
    const qint64 changedLength = replacementLength + tail;

    ReplacePlan plan;
    plan.variant = ReplaceVariant::Grow;
    plan.replacementLength = replacementLength;
    plan.dmhIndex = dmhIndex;
    plan.entryIndex = k;
    plan.blockStart = blockStart;
    plan.oldSize = grown.size;
    plan.tailLength = tail;
    plan.changedStart = entryPosition(dmh, k);
    plan.changedLength = blockStart + changedLength - plan.changedStart;

    const qint64 grownEntry = entryPosition(dmh, k);
    plan.fields.append(fieldChange(image, ChangedField::EntrySize, dmhIndex, k,
        grownEntry + BlockEntry::sizeOffset, 4, quint64(replacementLength)));
    plan.fields.append(fieldChange(image, ChangedField::EntryCrc, dmhIndex, k,
        grownEntry + BlockEntry::crcOffset, 4, Crc32::compute64(replacement, replacementLength)));
    for (int index = k + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        plan.fields.append(fieldChange(image, ChangedField::EntryOffset, dmhIndex, index,
            entryPosition(dmh, index) + BlockEntry::offsetOffset, 4, quint64(entry.offset + growth)));
        const qint64 from = qint64(dmh.position) + entry.offset;
        plan.moves.append({ entry.id, index, from, from + growth, entry.size });
    }
    plan.output.length = image.flashSize;
    return Planned<ReplacePlan>::of(std::move(plan));
}

void applyGrow(
    uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan, const uchar* replacement)
{
    const qint64 length = plan.replacementLength;
    const qint64 growth = length - plan.oldSize;
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
        dmh.entries.at(index).toBytes(imageData + entryPosition(dmh, index));
}

Outcome replaceBlockGrow(FlashImage& image, QVector<DmhRecord>& catalogue, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* planOut)
{
    PlanWriter writer(request.outputPath, request.existingOutput);
    if (!request.dryRun && !writer.open())
        return writer.failure(StatusText::canNotOpen(writer.fileName()));
    const auto refuse = [&writer](const Outcome& refusal) {
        writer.discard();
        return refusal;
    };
    if (request.idText.isEmpty())
        return refuse(Outcome::failed(StatusText::notSelectingSavingBlock()));
    const Outcome capacity = checkGrowCapacity(
        catalogue, location.dmhIndex, request.idText, QFileInfo(request.replacementPath).size());
    if (!capacity.success)
        return refuse(capacity);

    ReplacementFile replacement(request.replacementPath);
    if (!replacement.open())
        return refuse(Outcome::failed(StatusText::canNotOpen(replacement.fileName())));
    // Every refusal that needs only the length comes before a byte of the replacement is read.
    const ImageView view = ImageView::of(image);
    const Outcome check = checkGrow(view, catalogue, location.dmhIndex, request.idText, replacement.length());
    if (!check.success)
        return refuse(check);
    ImageBuffer bytes;
    if (!bytes.allocate(replacement.length()))
        return refuse(Outcome::failed(StatusText::allocFailed()));
    if (!replacement.readWhole(bytes.data()))
        return refuse(Outcome::failed(StatusText::canNotOpen(replacement.fileName())));

    const Planned<ReplacePlan> planned
        = planGrow(view, catalogue, location.dmhIndex, request.idText, bytes.data(), bytes.size());
    if (!planned.accepted())
        return refuse(planned.refusal);
    if (planOut)
        *planOut = *planned.plan;

    QFile loadedImage(request.loadedImagePath);
    if (request.dryRun) {
        if (!loadedImage.open(QIODevice::ReadOnly))
            return Outcome::failed(StatusText::canNotOpen(loadedImage.fileName()));
        return Outcome::succeeded({});
    }

    // From here on the image in memory and the catalogue hold the grown block, whatever follows.
    applyGrow(image.imageData(), catalogue, *planned.plan, bytes.data());
    // The loaded file is only opened, as a last sign that the image still comes from a file that exists.
    if (!loadedImage.open(QIODevice::ReadOnly))
        return refuse(Outcome::failed(StatusText::canNotOpen(loadedImage.fileName())));
    if (!writer.writeAndCommit(image.imageData(), image.imageSize(), planned.plan->output))
        return writer.failure(StatusText::growFailed());
    return Outcome::succeeded(StatusText::growSucceeded());
}
