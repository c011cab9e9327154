#include "replacewarnings.h"

#include "replacesupport.h"

#include "model/dmhscan.h"
#include "model/imagelayout.h"

using ReplaceSupport::blockTitle;
using ReplaceSupport::hexPosition;
using ReplaceSupport::rangeText;

namespace {

// The ranges the output writes: the block (and, for a growth, the blocks it moves) and the entry fields.
QVector<QPair<qint64, qint64>> writtenRanges(const ReplacePlan& plan)
{
    QVector<QPair<qint64, qint64>> ranges;
    if (plan.variant == ReplaceVariant::Grow)
        ranges.append({ plan.blockStart, plan.replacementLength + plan.tailLength });
    for (const OutputPatch& patch : plan.output.patches)
        ranges.append({ plan.output.sourceStart + patch.position, patch.length() });
    for (const FieldChange& change : plan.fields)
        ranges.append({ change.position, change.width });
    return ranges;
}

} // namespace

QStringList replacementWarnings(
    const QVector<DmhRecord>& catalogue, const BlockLocation& location, const ReplacePlan& plan)
{
    QStringList warnings;
    if (const ImageBuffer* bytes = plan.newBytes.get();
        bytes && bytes->size() >= ImageLayout::dmhHeaderSize) {
        const qint64 found = DmhScan::findNext(bytes->data(), 0, bytes->size() - ImageLayout::dmhHeaderSize);
        if (found >= 0)
            warnings << QStringLiteral(
                "The new bytes of %1 hold a DMH at %2 into the block: the new image will list "
                "another DMH there.")
                            .arg(blockTitle(location.entry), hexPosition(found));
    }

    // Blocks that hold what is written, other than the block itself and the blocks a growth moves.
    const QVector<QPair<qint64, qint64>> written = writtenRanges(plan);
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue[dmhIndex];
        for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
            const bool replacedOrMoved = dmhIndex == location.dmhIndex
                && (entryIndex == location.entryIndex
                    || (plan.variant == ReplaceVariant::Grow && entryIndex >= plan.entryIndex));
            if (replacedOrMoved)
                continue;
            const BlockEntry& other = dmh.entries[entryIndex];
            const qint64 start = qint64(dmh.position) + other.offset;
            for (const auto& [writtenStart, writtenLength] : written) {
                if (!ImageLayout::rangesOverlap(writtenStart, writtenLength, start, other.size))
                    continue;
                warnings << QStringLiteral(
                    "The bytes written at %1 lie inside %2 of DMH %3 (%4): that block's "
                    "CRCs will no longer hold.")
                                .arg(rangeText(writtenStart, writtenLength), blockTitle(other),
                                    QString::number(dmhIndex), rangeText(start, other.size));
                break;
            }
        }
    }

    if (plan.variant == ReplaceVariant::Grow && location.entry.hasNoCrcMarker())
        warnings << QStringLiteral(
            "The entry of %1 held the \"NCRC\" marker; the growth writes the CRC of the new "
            "bytes in its place.")
                        .arg(blockTitle(location.entry));
    return warnings;
}
