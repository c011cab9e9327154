#include "blockreplace.h"

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
    qint64 others = 0;
};

// The last entry of the DMH with the ID, and the total size of the entries with other IDs.
GrowTarget findGrowTarget(const DmhRecord& dmh, const QString& idText)
{
    GrowTarget target;
    for (int index = 0; index < dmh.entries.size(); ++index) {
        if (dmh.entries.at(index).idText() == idText)
            target.entryIndex = index;
        else
            target.others += dmh.entries.at(index).size;
    }
    return target;
}

qint64 entryPosition(const DmhRecord& dmh, int index)
{
    return qint64(dmh.position) + ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * index;
}

bool overlaps(qint64 start, qint64 length, qint64 otherStart, qint64 otherLength)
{
    return length > 0 && otherLength > 0 && start < otherStart + otherLength && otherStart < start + length;
}

// The DMH headers and entry tables, and every block that does not move, must stay as they are.
Outcome checkUntouched(
    const QVector<DmhRecord>& catalogue, int dmhIndex, int entryIndex, qint64 start, qint64 length)
{
    for (const DmhRecord& dmh : catalogue) {
        const qint64 entries = qMax<qint64>(dmh.entryCount, dmh.entries.size());
        const qint64 tableLength = ImageLayout::dmhHeaderSize + ImageLayout::entryStride * entries;
        if (overlaps(start, length, dmh.position, tableLength))
            return Outcome::failed(StatusText::wouldOverwriteDmh());
    }
    for (int index = 0; index < catalogue.size(); ++index) {
        const DmhRecord& dmh = catalogue.at(index);
        const int firstMoved = index == dmhIndex ? entryIndex : dmh.entries.size();
        for (int entry = 0; entry < firstMoved; ++entry) {
            const BlockEntry& other = dmh.entries.at(entry);
            if (overlaps(start, length, qint64(dmh.position) + other.offset, other.size))
                return Outcome::failed(StatusText::wouldOverwriteBlock());
        }
    }
    return Outcome::succeeded({});
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

Planned<ReplacePlan> planGrow(const ImageView& image, const QVector<DmhRecord>& catalogue, int dmhIndex,
    const QString& idText, const uchar* replacement, qint64 replacementLength)
{
    const Outcome capacity = checkGrowCapacity(catalogue, dmhIndex, idText, replacementLength);
    if (!capacity.success)
        return { std::nullopt, capacity };
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    const int k = findGrowTarget(dmh, idText).entryIndex;
    const BlockEntry& grown = dmh.entries.at(k);

    // The entries are written back with entrySize as their stride but were read with 48.
    if (dmh.entrySize != ImageLayout::entryStride)
        return Planned<ReplacePlan>::refused(StatusText::entrySizeNot48());
    // Only when the ID is listed twice can the last entry with it be no smaller than the replacement.
    const qint64 growth = replacementLength - grown.size;
    if (growth <= 0)
        return Planned<ReplacePlan>::refused(StatusText::blockIdNotUnique());
    // The tail is moved as one range, so the offsets shift with the bytes only when nothing lies between.
    qint64 expectedOffset = qint64(grown.offset) + grown.size;
    for (int index = k + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        if (entry.offset != expectedOffset)
            return Planned<ReplacePlan>::refused(StatusText::blocksNotBackToBack());
        expectedOffset += entry.size;
    }
    const qint64 tail = expectedOffset - grown.offset - grown.size;

    if (!flashSizeFits(image))
        return Planned<ReplacePlan>::refused(StatusText::flashSizeNotFit());
    // The grown block and the moved blocks must stay inside the output and within reach of a u32 offset.
    const qint64 blockStart = qint64(dmh.position) + grown.offset;
    const qint64 changedLength = replacementLength + tail;
    if (!rangeInside(blockStart, changedLength, image.flashSize)
        || qint64(grown.offset) + changedLength > (qint64(1) << 32))
        return Planned<ReplacePlan>::refused(StatusText::blockOutOfImage());
    const Outcome untouched = checkUntouched(catalogue, dmhIndex, k, blockStart, changedLength);
    if (!untouched.success)
        return { std::nullopt, untouched };

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
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream);
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
    ImageBuffer bytes;
    if (!bytes.allocate(replacement.length()))
        return refuse(Outcome::failed(StatusText::allocFailed()));
    if (!replacement.readWhole(bytes.data()))
        return refuse(Outcome::failed(StatusText::canNotOpen(replacement.fileName())));

    const ImageView view = ImageView::of(image);
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
