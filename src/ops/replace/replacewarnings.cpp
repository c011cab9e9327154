#include "ops/replace/replacewarnings.h"

#include "ops/base/detailtexts.h"

#include "model/dmhscan.h"
#include "model/imagelayout.h"

#include <algorithm>

using DetailText::blockTitle;
using DetailText::hexPosition;
using DetailText::rangeText;

namespace {

using Range = QPair<qint64, qint64>;

// The ranges the output writes, in the order a warning names them: the block (and, for a growth, the
// blocks it moves), then the entry fields. A growth's fields are ascending and disjoint (one per moved
// entry), so a block is looked up among them by a binary search: with a table of 65,535 entries, trying
// each field for each block took seconds.
struct WrittenRanges {
    QVector<Range> ranges;
    // The ranges from here on are ascending and disjoint.
    int sortedFrom = 0;

    static WrittenRanges of(const ReplacePlan& plan)
    {
        WrittenRanges written;
        if (plan.variant == ReplaceVariant::Grow)
            written.ranges.append({ plan.blockStart, plan.replacementLength + plan.tailLength });
        for (const OutputPatch& patch : plan.output.patches)
            written.ranges.append({ plan.output.sourceStart + patch.position, patch.length() });
        for (const FieldChange& change : plan.fields)
            written.ranges.append({ change.position, change.width });
        // A growth writes no patch: its fields follow the block, in table order.
        written.sortedFrom = plan.variant == ReplaceVariant::Grow ? 1 : written.ranges.size();
        return written;
    }

    // The first range, in the order above, that shares a byte with [start, start + length).
    const Range* firstOverlap(qint64 start, qint64 length) const
    {
        const auto overlaps = [start, length](const Range& range) {
            return ImageLayout::rangesOverlap(range.first, range.second, start, length);
        };
        const auto sorted = ranges.cbegin() + sortedFrom;
        const auto linear = std::find_if(ranges.cbegin(), sorted, overlaps);
        if (linear != sorted)
            return &*linear;
        // The first range that ends after `start` is the only one of the sorted ranges that can overlap
        // first: every later one starts after it ends.
        const auto candidate = std::partition_point(sorted, ranges.cend(),
            [start](const Range& range) { return range.first + range.second <= start; });
        return candidate != ranges.cend() && overlaps(*candidate) ? &*candidate : nullptr;
    }
};

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
    const WrittenRanges written = WrittenRanges::of(plan);
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
            if (const Range* hit = written.firstOverlap(start, other.size))
                warnings << QStringLiteral(
                    "The bytes written at %1 lie inside %2 of DMH %3 (%4): that block's "
                    "CRCs will no longer hold.")
                                .arg(rangeText(hit->first, hit->second), blockTitle(other),
                                    QString::number(dmhIndex), rangeText(start, other.size));
        }
    }

    if (plan.variant == ReplaceVariant::Grow && location.entry.hasNoCrcMarker())
        warnings << QStringLiteral(
            "The entry of %1 held the \"NCRC\" marker; the growth writes the CRC of the new "
            "bytes in its place.")
                        .arg(blockTitle(location.entry));
    return warnings;
}
