#include "ops/inspect/imagediff.h"

#include "model/flashimage.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

namespace {

struct Range {
    qint64 start = 0;
    qint64 end = 0;
};

// The bytes of [start, start + length) that an image of `imageSize` bytes holds, counted from start.
qint64 heldLength(qint64 start, qint64 length, qint64 imageSize)
{
    return qBound<qint64>(0, imageSize - start, length);
}

} // namespace

ImageSummary ImageSummary::of(const FlashImage& image)
{
    ImageSummary summary;
    summary.imageSize = image.imageSize();
    summary.flashSize = image.flashSize();
    summary.sdramSize = image.sdramSize();
    summary.blockNumber = image.blockCount();
    summary.softwareVersion = image.softwareVersion();
    summary.dmhCount = image.dmhRecords().size();
    return summary;
}

DmhSide DmhSide::of(const DmhRecord& record)
{
    return { record, int(record.entries.size()) };
}

namespace {

QVector<ImageField> imageChanges(const ImageSummary& a, const ImageSummary& b)
{
    QVector<ImageField> changes;
    if (a.imageSize != b.imageSize)
        changes.append(ImageField::ImageSize);
    if (a.flashSize != b.flashSize)
        changes.append(ImageField::FlashSize);
    if (a.sdramSize != b.sdramSize)
        changes.append(ImageField::SdramSize);
    if (a.blockNumber != b.blockNumber)
        changes.append(ImageField::BlockNumber);
    if (a.softwareVersion != b.softwareVersion)
        changes.append(ImageField::SoftwareVersion);
    return changes;
}

QVector<DmhField> dmhChanges(const DmhSide& a, const DmhSide& b)
{
    QVector<DmhField> changes;
    if (a.position != b.position)
        changes.append(DmhField::Position);
    if (a.dataCapacity != b.dataCapacity)
        changes.append(DmhField::DataCapacity);
    if (a.sdramSize != b.sdramSize)
        changes.append(DmhField::SdramSize);
    if (a.flashSize != b.flashSize)
        changes.append(DmhField::FlashSize);
    if (a.entryCount != b.entryCount)
        changes.append(DmhField::EntryCount);
    if (a.entrySize != b.entrySize)
        changes.append(DmhField::EntrySize);
    if (a.entriesRead != b.entriesRead)
        changes.append(DmhField::EntriesRead);
    return changes;
}

QVector<DmhDiff> diffDmhs(const QVector<DmhRecord>& a, const QVector<DmhRecord>& b)
{
    QVector<DmhDiff> dmhs;
    for (int index = 0; index < qMax(a.size(), b.size()); ++index) {
        DmhDiff dmh;
        dmh.index = index;
        if (index < a.size())
            dmh.a = DmhSide::of(a[index]);
        if (index < b.size())
            dmh.b = DmhSide::of(b[index]);
        if (!dmh.b) {
            dmh.status = DiffStatus::Removed;
        } else if (!dmh.a) {
            dmh.status = DiffStatus::Added;
        } else {
            dmh.changes = dmhChanges(*dmh.a, *dmh.b);
            dmh.status = dmh.changes.isEmpty() ? DiffStatus::Same : DiffStatus::Changed;
        }
        dmhs.append(dmh);
    }
    return dmhs;
}

DiffBlockSide blockSideOf(const DmhRecord& dmh, int entryIndex, qint64 imageSize)
{
    DiffBlockSide side;
    side.entryIndex = entryIndex;
    side.entry = dmh.entries[entryIndex];
    side.start = qint64(dmh.position) + side.entry.offset;
    side.held = heldLength(side.start, side.entry.size, imageSize);
    return side;
}

QVector<BlockField> entryChanges(const BlockEntry& a, const BlockEntry& b)
{
    QVector<BlockField> changes;
    if (a.size != b.size)
        changes.append(BlockField::Size);
    if (a.offset != b.offset)
        changes.append(BlockField::Offset);
    if (a.crc != b.crc)
        changes.append(BlockField::Crc);
    if (a.name != b.name)
        changes.append(BlockField::Name);
    if (a.version != b.version)
        changes.append(BlockField::Version);
    if (a.time != b.time)
        changes.append(BlockField::Time);
    if (a.flags != b.flags)
        changes.append(BlockField::Flags);
    if (a.reserved != b.reserved)
        changes.append(BlockField::Reserved);
    if (a.trailer != b.trailer)
        changes.append(BlockField::Trailer);
    return changes;
}

// Both images and whether their bytes are known to be equal.
struct Pair {
    const FlashImage& a;
    const FlashImage& b;
    bool identical = false;
    const ProgressCallback& progress;
};

// How much the byte comparisons cover between two progress reports.
constexpr qint64 progressStep = qint64(64) << 20;

// One memcmp of the whole images, in steps when someone watches how far it has come.
bool sameBytes(const uchar* a, const uchar* b, qint64 length, const ProgressCallback& progress)
{
    if (!progress)
        return std::memcmp(a, b, size_t(length)) == 0;
    for (qint64 done = 0; done < length; done += progressStep) {
        const qint64 step = qMin(progressStep, length - done);
        if (std::memcmp(a + done, b + done, size_t(step)) != 0)
            return false;
        progress(done + step, length);
    }
    return true;
}

// The entries of one DMH index: the n-th entry of A with an ID is matched with the n-th of B with it.
void diffBlocksOfDmh(const Pair& images, int dmhIndex, QVector<BlockDiff>& blocks)
{
    const QVector<DmhRecord>& catalogueA = images.a.dmhRecords();
    const QVector<DmhRecord>& catalogueB = images.b.dmhRecords();
    static const DmhRecord none;
    const DmhRecord& dmhA = dmhIndex < catalogueA.size() ? catalogueA[dmhIndex] : none;
    const DmhRecord& dmhB = dmhIndex < catalogueB.size() ? catalogueB[dmhIndex] : none;

    // B's entries of each ID in table order, and how many of them A's entries have taken so far.
    std::array<QVector<int>, 256> entriesOfId;
    for (int entryIndex = 0; entryIndex < dmhB.entries.size(); ++entryIndex)
        entriesOfId[dmhB.entries[entryIndex].id].append(entryIndex);
    std::array<int, 256> taken {};
    QVector<bool> matchedInB(dmhB.entries.size(), false);

    for (int entryIndex = 0; entryIndex < dmhA.entries.size(); ++entryIndex) {
        BlockDiff block;
        block.dmhIndex = dmhIndex;
        block.id = dmhA.entries[entryIndex].id;
        block.a = blockSideOf(dmhA, entryIndex, images.a.imageSize());
        const QVector<int>& candidates = entriesOfId[block.id];
        int& rank = taken[block.id];
        if (rank < candidates.size()) {
            const int matched = candidates[rank++];
            matchedInB[matched] = true;
            block.b = blockSideOf(dmhB, matched, images.b.imageSize());
            // Their bytes are compared once every block is matched, each range once.
            block.changes = entryChanges(block.a->entry, block.b->entry);
        } else {
            block.status = DiffStatus::Removed;
        }
        blocks.append(block);
    }
    for (int entryIndex = 0; entryIndex < dmhB.entries.size(); ++entryIndex) {
        if (matchedInB[entryIndex])
            continue;
        BlockDiff block;
        block.status = DiffStatus::Added;
        block.dmhIndex = dmhIndex;
        block.id = dmhB.entries[entryIndex].id;
        block.b = blockSideOf(dmhB, entryIndex, images.b.imageSize());
        blocks.append(block);
    }
}

// What comparing a matched block reads: its start in each image and the length both hold.
struct ComparedRange {
    qint64 startA = 0;
    qint64 startB = 0;
    qint64 length = 0;

    bool operator<(const ComparedRange& other) const
    {
        return std::tie(startA, startB, length) < std::tie(other.startA, other.startB, other.length);
    }
    bool operator==(const ComparedRange& other) const
    {
        return startA == other.startA && startB == other.startB && length == other.length;
    }
};

// The range a matched block's comparison must read; none when its bytes are known without reading.
std::optional<ComparedRange> rangeToRead(const Pair& images, const BlockDiff& block)
{
    // held never exceeds the block's size, so this is also the shorter block's length at most. A block
    // the images do not hold (length 0) may start anywhere past their ends: no pointer is formed there.
    const qint64 length = qMin(block.a->held, block.b->held);
    if (length <= 0 || (images.identical && block.a->start == block.b->start))
        return std::nullopt;
    return ComparedRange { block.a->start, block.b->start, length };
}

QString tooMuchToCompare(qint64 rangeCount, qint64 total, qint64 sizeA, qint64 sizeB)
{
    const QString images = sizeA == sizeB
        ? QStringLiteral("the %1 bytes of each image").arg(sizeA)
        : QStringLiteral("the %1 bytes of the shorter image").arg(qMin(sizeA, sizeB));
    return QStringLiteral("Too much to compare: the blocks span %1 distinct byte ranges, %2 bytes in all, "
                          "more than %3 times %4.")
        .arg(rangeCount)
        .arg(total)
        .arg(diffReadLimitFactor)
        .arg(images);
}

// Compares the bytes of every matched block and settles its status. Each distinct range is read once
// however many entries list it, and the reading is bounded by the images before any of it starts.
std::optional<Outcome> compareMatchedBlocks(const Pair& images, ImageDiff& diff)
{
    std::vector<ComparedRange> ranges;
    for (const BlockDiff& block : diff.blocks) {
        if (block.a && block.b) {
            if (const std::optional<ComparedRange> range = rangeToRead(images, block))
                ranges.push_back(*range);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    ranges.erase(std::unique(ranges.begin(), ranges.end()), ranges.end());
    // At most 65,535 ranges of under 4 GiB each: the sum cannot overflow.
    qint64 total = 0;
    for (const ComparedRange& range : ranges)
        total += range.length;
    const qint64 shorter = qMin(images.a.imageSize(), images.b.imageSize());
    if (total > diffReadLimitFactor * shorter)
        return Outcome::refused(
            tooMuchToCompare(qint64(ranges.size()), total, images.a.imageSize(), images.b.imageSize()));

    std::vector<ByteComparison> comparisons;
    comparisons.reserve(ranges.size());
    qint64 compared = 0;
    for (const ComparedRange& range : ranges) {
        comparisons.push_back(compareBytes(
            images.a.imageData() + range.startA, images.b.imageData() + range.startB, range.length));
        compared += range.length;
        if (images.progress)
            images.progress(compared, total);
    }
    diff.blockBytesRead = total;

    for (BlockDiff& block : diff.blocks) {
        if (!block.a || !block.b)
            continue;
        if (const std::optional<ComparedRange> range = rangeToRead(images, block)) {
            const auto found = std::lower_bound(ranges.cbegin(), ranges.cend(), *range);
            block.bytes = comparisons[size_t(found - ranges.cbegin())];
        } else {
            block.bytes = ByteComparison::equal(qMin(block.a->held, block.b->held));
        }
        if (block.bytes.differs())
            block.changes.append(BlockField::Bytes);
        // Bytes one image lacks cannot be shown equal: such a block is never the same.
        if (!block.heldWhole())
            block.changes.append(BlockField::Held);
        block.status = block.changes.isEmpty() ? DiffStatus::Same : DiffStatus::Changed;
    }
    return std::nullopt;
}

// Every listed block's bytes below `limit`, in position order.
void appendBlockRanges(const FlashImage& image, qint64 limit, QVector<Range>& ranges)
{
    for (const DmhRecord& dmh : image.dmhRecords()) {
        for (const BlockEntry& entry : dmh.entries) {
            const qint64 start = qint64(dmh.position) + entry.offset;
            const qint64 held = heldLength(start, entry.size, limit);
            if (held > 0)
                ranges.append({ start, start + held });
        }
    }
}

ByteComparison diffOutsideBlocks(const Pair& images)
{
    const qint64 common = qMin(images.a.imageSize(), images.b.imageSize());
    QVector<Range> blocks;
    appendBlockRanges(images.a, common, blocks);
    appendBlockRanges(images.b, common, blocks);
    std::sort(blocks.begin(), blocks.end(),
        [](const Range& left, const Range& right) { return left.start < right.start; });

    ByteComparison outside = ByteComparison::equal(0);
    qint64 position = 0;
    const auto compareUpTo = [&](qint64 end) {
        if (end <= position)
            return;
        const qint64 length = end - position;
        outside.append(images.identical
                ? ByteComparison::equal(length)
                : compareBytes(images.a.imageData() + position, images.b.imageData() + position, length),
            position);
    };
    for (const Range& block : blocks) {
        compareUpTo(block.start);
        position = qMax(position, block.end);
    }
    compareUpTo(common);
    return outside;
}

} // namespace

bool BlockDiff::heldWhole() const
{
    return (!a || a->held == a->entry.size) && (!b || b->held == b->entry.size);
}

int ImageDiff::blockCount(DiffStatus status) const
{
    return int(std::count_if(
        blocks.cbegin(), blocks.cend(), [status](const BlockDiff& block) { return block.status == status; }));
}

int ImageDiff::dmhsDiffering() const
{
    return int(std::count_if(
        dmhs.cbegin(), dmhs.cend(), [](const DmhDiff& dmh) { return dmh.status != DiffStatus::Same; }));
}

Refusable<ImageDiff> diffImages(const FlashImage& a, const FlashImage& b, const ProgressCallback& progress)
{
    ImageDiff diff;
    // One pass over equal images answers everything about their bytes: the comparisons below then only
    // match catalogues, which equal bytes make equal.
    diff.identical
        = a.imageSize() == b.imageSize() && sameBytes(a.imageData(), b.imageData(), a.imageSize(), progress);
    const Pair images { a, b, diff.identical, progress };

    diff.a = ImageSummary::of(a);
    diff.b = ImageSummary::of(b);
    diff.imageChanges = imageChanges(diff.a, diff.b);
    diff.dmhs = diffDmhs(a.dmhRecords(), b.dmhRecords());
    for (int dmhIndex = 0; dmhIndex < diff.dmhs.size(); ++dmhIndex)
        diffBlocksOfDmh(images, dmhIndex, diff.blocks);
    if (std::optional<Outcome> refusal = compareMatchedBlocks(images, diff))
        return Refusable<ImageDiff>::refused(*refusal);
    diff.outsideBlocks = diffOutsideBlocks(images);
    return Refusable<ImageDiff>::of(std::move(diff));
}
