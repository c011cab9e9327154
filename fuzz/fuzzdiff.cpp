// The comparison of two images on an arbitrary image and a copy of it: with itself it is identical with
// every block the same that the image holds whole; with one bit flipped it reports exactly the blocks
// holding that byte, or one byte outside every block; cut short or lengthened, only its size and the
// blocks it no longer holds. A block one side does not hold whole is never the same. Every count, first
// position and changed field it gives equals a straightforward reference, comparing B with A mirrors
// comparing A with B, and a refusal to compare comes exactly when the distinct ranges would read more
// than the images allow.

#include "fuzzimage.h"

#include "model/imagelayout.h"
#include "ops/inspect/imagediff.h"

#include <set>
#include <tuple>
#include <vector>

namespace {

// How B is made from A, from the selector: flip one bit, cut B short, lengthen it with 0xFF, or flip the
// bit in two bytes 4 apart (two neighbouring fields of an entry, such as its offset and size).
enum class Change { FlipBit, Cut, Lengthen, FlipTwo };

struct Mutation {
    Change change = Change::FlipBit;
    qint64 position = 0;
    uchar bit = 1;
    qint64 sizeB = 0;
};

Mutation mutationOf(const FuzzSelector& selector, qint64 sizeA)
{
    Mutation mutation;
    const int mode = (selector.lengthMode >> 4) & 3;
    const Change changes[] = { Change::FlipBit, Change::Cut, Change::Lengthen, Change::FlipTwo };
    mutation.change = changes[mode];
    mutation.position
        = sizeA > 0 ? (qint64(selector.amount) | (qint64(selector.entryIndex & 1) << 16)) % sizeA : 0;
    mutation.bit = uchar(1u << (selector.lengthMode & 7));
    mutation.sizeB = sizeA;
    if (mutation.change == Change::Cut)
        mutation.sizeB = mutation.position;
    if (mutation.change == Change::Lengthen)
        mutation.sizeB = sizeA + 1 + (selector.amount & 0xFFF);
    return mutation;
}

bool loadMutated(const FlashImage& a, const Mutation& mutation, FlashImage& b)
{
    ImageBuffer bytes;
    FUZZ_CHECK(bytes.allocate(mutation.sizeB));
    std::memcpy(bytes.data(), a.imageData(), size_t(qMin(a.imageSize(), mutation.sizeB)));
    if (mutation.sizeB > a.imageSize())
        std::memset(bytes.data() + a.imageSize(), 0xFF, size_t(mutation.sizeB - a.imageSize()));
    if (mutation.change == Change::FlipBit || mutation.change == Change::FlipTwo)
        bytes.data()[mutation.position] ^= mutation.bit;
    if (mutation.change == Change::FlipTwo && mutation.position + 4 < mutation.sizeB)
        bytes.data()[mutation.position + 4] ^= mutation.bit;
    return b.loadBytes(std::move(bytes));
}

// Position by position; positions marked in `skipped` (when given) are left out.
ByteComparison compareSlowly(const uchar* a, const uchar* b, qint64 length, const char* skipped = nullptr)
{
    ByteComparison comparison = ByteComparison::equal(0);
    for (qint64 index = 0; index < length; ++index) {
        if (skipped && skipped[index])
            continue;
        ++comparison.compared;
        if (a[index] == b[index])
            continue;
        ++comparison.differing;
        if (comparison.firstDifference < 0)
            comparison.firstDifference = index;
    }
    return comparison;
}

bool sameComparison(const ByteComparison& left, const ByteComparison& right)
{
    return left.compared == right.compared && left.differing == right.differing
        && left.firstDifference == right.firstDifference;
}

int entriesOf(const FlashImage& image)
{
    int entries = 0;
    for (const DmhRecord& dmh : image.dmhRecords())
        entries += dmh.entries.size();
    return entries;
}

// The entry fields that differ, field by field, in the order the comparison reports them.
QVector<BlockField> fieldsThatDiffer(const BlockEntry& a, const BlockEntry& b)
{
    const QPair<BlockField, bool> fields[] = { { BlockField::Size, a.size != b.size },
        { BlockField::Offset, a.offset != b.offset }, { BlockField::Crc, a.crc != b.crc },
        { BlockField::Name, a.name != b.name }, { BlockField::Version, a.version != b.version },
        { BlockField::Time, a.time != b.time }, { BlockField::Flags, a.flags != b.flags },
        { BlockField::Reserved, a.reserved != b.reserved }, { BlockField::Trailer, a.trailer != b.trailer } };
    QVector<BlockField> differing;
    for (const auto& [field, differs] : fields) {
        if (differs)
            differing.append(field);
    }
    return differing;
}

// How many entries before `entryIndex` in its DMH carry its ID, and how many carry it in all.
QPair<int, int> rankOf(const FlashImage& image, int dmhIndex, int entryIndex, quint8 id)
{
    if (dmhIndex >= image.dmhRecords().size())
        return { 0, 0 };
    const QVector<BlockEntry>& entries = image.dmhRecords().at(dmhIndex).entries;
    int before = 0;
    int total = 0;
    for (int index = 0; index < entries.size(); ++index) {
        if (entries[index].id != id)
            continue;
        before += index < entryIndex ? 1 : 0;
        ++total;
    }
    return { before, total };
}

void checkSide(const std::optional<DiffBlockSide>& side, const FlashImage& image, int dmhIndex)
{
    if (!side)
        return;
    const DmhRecord& dmh = image.dmhRecords().at(dmhIndex);
    FUZZ_CHECK(side->entryIndex >= 0 && side->entryIndex < dmh.entries.size());
    FUZZ_CHECK(side->entry == dmh.entries.at(side->entryIndex));
    FUZZ_CHECK(side->start == qint64(dmh.position) + side->entry.offset);
    FUZZ_CHECK(side->held == qBound<qint64>(0, image.imageSize() - side->start, side->entry.size));
}

// Whether each image holds the whole block as its own entry sizes it, straight from the images. A block
// of no bytes is held whole wherever it starts: there is nothing of it to lack.
bool heldWholeByBoth(const BlockDiff& block, const FlashImage& a, const FlashImage& b)
{
    const auto holds = [](const std::optional<DiffBlockSide>& side, const FlashImage& image) {
        return !side || side->entry.size == 0 || side->start + side->entry.size <= image.imageSize();
    };
    return holds(block.a, a) && holds(block.b, b);
}

// The bytes the matched blocks' comparisons must read, each distinct (start in A, start in B, length)
// once, with the entries matched here by their rank within their ID; none for equal files, whose blocks
// are known equal where both list them at one place.
qint64 distinctBytesToRead(const FlashImage& a, const FlashImage& b)
{
    const bool identical = a.imageSize() == b.imageSize()
        && std::memcmp(a.imageData(), b.imageData(), size_t(a.imageSize())) == 0;
    std::set<std::tuple<qint64, qint64, qint64>> ranges;
    const int dmhs = qMin(a.dmhRecords().size(), b.dmhRecords().size());
    for (int dmhIndex = 0; dmhIndex < dmhs; ++dmhIndex) {
        const DmhRecord& dmhA = a.dmhRecords().at(dmhIndex);
        const DmhRecord& dmhB = b.dmhRecords().at(dmhIndex);
        for (int entryIndex = 0; entryIndex < dmhA.entries.size(); ++entryIndex) {
            const BlockEntry& entryA = dmhA.entries.at(entryIndex);
            int rank = rankOf(a, dmhIndex, entryIndex, entryA.id).first;
            for (const BlockEntry& entryB : dmhB.entries) {
                if (entryB.id != entryA.id || rank-- > 0)
                    continue;
                const qint64 startA = qint64(dmhA.position) + entryA.offset;
                const qint64 startB = qint64(dmhB.position) + entryB.offset;
                const qint64 length = qMin(qBound<qint64>(0, a.imageSize() - startA, entryA.size),
                    qBound<qint64>(0, b.imageSize() - startB, entryB.size));
                if (length > 0 && !(identical && startA == startB))
                    ranges.insert({ startA, startB, length });
                break;
            }
        }
    }
    qint64 total = 0;
    for (const auto& range : ranges)
        total += std::get<2>(range);
    return total;
}

// A refusal comes exactly when the distinct ranges would read more than the limit; an accepted diff read
// each of them once.
const ImageDiff* acceptedWithinLimit(
    const FlashImage& a, const FlashImage& b, const Refusable<ImageDiff>& compared)
{
    const qint64 toRead = distinctBytesToRead(a, b);
    FUZZ_CHECK(compared.accepted() == (toRead <= diffReadLimitFactor * qMin(a.imageSize(), b.imageSize())));
    if (!compared.accepted()) {
        FUZZ_CHECK(compared.refusal.cause == FailureCause::Refused);
        FUZZ_CHECK(compared.refusal.message.startsWith(QStringLiteral("Too much to compare: ")));
        return nullptr;
    }
    FUZZ_CHECK(compared.value->blockBytesRead == toRead);
    return &*compared.value;
}

// What holds for any two images: every entry of each appears once, in table order, statuses agree with
// the changes, and every range compared has the right length; with `slowly`, every byte count equals the
// reference too.
void checkAgainstReference(const FlashImage& a, const FlashImage& b, const ImageDiff& diff, bool slowly)
{
    const qint64 common = qMin(a.imageSize(), b.imageSize());
    FUZZ_CHECK(diff.identical
        == (a.imageSize() == b.imageSize()
            && std::memcmp(a.imageData(), b.imageData(), size_t(common)) == 0));
    FUZZ_CHECK(diff.dmhs.size() == qMax(a.dmhRecords().size(), b.dmhRecords().size()));
    FUZZ_CHECK(diff.blockCount(DiffStatus::Same) + diff.blockCount(DiffStatus::Changed)
            + diff.blockCount(DiffStatus::Removed)
        == entriesOf(a));
    FUZZ_CHECK(diff.blockCount(DiffStatus::Same) + diff.blockCount(DiffStatus::Changed)
            + diff.blockCount(DiffStatus::Added)
        == entriesOf(b));

    std::vector<char> inBlock(slowly ? size_t(common) : 0, 0);
    const auto mark = [&inBlock, common, slowly](const DiffBlockSide& side) {
        const qint64 end = qMin(side.start + side.held, common);
        if (slowly && end > side.start)
            std::memset(inBlock.data() + side.start, 1, size_t(end - side.start));
    };
    // Each entry of B appears once: with the counts above, every entry of each image is reported once.
    std::vector<std::vector<bool>> reportedInB;
    for (const DmhRecord& dmh : b.dmhRecords())
        reportedInB.emplace_back(size_t(dmh.entries.size()), false);
    int previousDmh = 0;
    int nextInA = 0;
    bool addedSeen = false;
    for (const BlockDiff& block : diff.blocks) {
        FUZZ_CHECK(block.dmhIndex >= previousDmh);
        if (block.dmhIndex != previousDmh) {
            nextInA = 0;
            addedSeen = false;
        }
        previousDmh = block.dmhIndex;
        checkSide(block.a, a, block.dmhIndex);
        checkSide(block.b, b, block.dmhIndex);
        FUZZ_CHECK((block.status == DiffStatus::Added) == !block.a);
        FUZZ_CHECK((block.status == DiffStatus::Removed) == !block.b);
        FUZZ_CHECK(block.status != DiffStatus::Same || block.changes.isEmpty());
        FUZZ_CHECK(block.status != DiffStatus::Changed || !block.changes.isEmpty());
        // A block one side does not hold whole is never the same.
        FUZZ_CHECK(block.status != DiffStatus::Same || heldWholeByBoth(block, a, b));
        // The n-th entry of an ID in A's DMH goes with the n-th in B's; what one side lacks is added or
        // removed.
        const QPair<int, int> rankA = block.a ? rankOf(a, block.dmhIndex, block.a->entryIndex, block.id)
                                              : rankOf(a, block.dmhIndex, 0, block.id);
        const QPair<int, int> rankB = block.b ? rankOf(b, block.dmhIndex, block.b->entryIndex, block.id)
                                              : rankOf(b, block.dmhIndex, 0, block.id);
        if (block.a) {
            // A's entries come first in their table order; B's own ones follow.
            FUZZ_CHECK(!addedSeen && block.a->entryIndex == nextInA++);
            FUZZ_CHECK(block.a->entry.id == block.id);
            mark(*block.a);
        }
        if (block.b) {
            FUZZ_CHECK(block.b->entry.id == block.id);
            std::vector<bool>::reference reported
                = reportedInB.at(size_t(block.dmhIndex)).at(size_t(block.b->entryIndex));
            FUZZ_CHECK(!reported);
            reported = true;
            mark(*block.b);
        }
        if (!block.a) {
            addedSeen = true;
            FUZZ_CHECK(rankB.first >= rankA.second);
            continue;
        }
        if (!block.b) {
            FUZZ_CHECK(rankA.first >= rankB.second);
            continue;
        }
        FUZZ_CHECK(rankA.first == rankB.first);
        const qint64 length = qMin(block.a->held, block.b->held);
        FUZZ_CHECK(block.bytes.compared == length);
        QVector<BlockField> expected = fieldsThatDiffer(block.a->entry, block.b->entry);
        if (block.bytes.differs())
            expected.append(BlockField::Bytes);
        if (!heldWholeByBoth(block, a, b))
            expected.append(BlockField::Held);
        FUZZ_CHECK(block.changes == expected);
        if (slowly)
            FUZZ_CHECK(sameComparison(block.bytes,
                compareSlowly(a.imageData() + block.a->start, b.imageData() + block.b->start, length)));
    }
    if (slowly)
        FUZZ_CHECK(sameComparison(
            diff.outsideBlocks, compareSlowly(a.imageData(), b.imageData(), common, inBlock.data())));
}

// Comparing B with A gives the same facts as comparing A with B, seen from the other side.
void checkMirrored(const ImageDiff& forward, const ImageDiff& backward)
{
    FUZZ_CHECK(backward.identical == forward.identical);
    FUZZ_CHECK(backward.blockCount(DiffStatus::Same) == forward.blockCount(DiffStatus::Same));
    FUZZ_CHECK(backward.blockCount(DiffStatus::Changed) == forward.blockCount(DiffStatus::Changed));
    FUZZ_CHECK(backward.blockCount(DiffStatus::Added) == forward.blockCount(DiffStatus::Removed));
    FUZZ_CHECK(backward.blockCount(DiffStatus::Removed) == forward.blockCount(DiffStatus::Added));
    FUZZ_CHECK(sameComparison(backward.outsideBlocks, forward.outsideBlocks));
    FUZZ_CHECK(backward.imageChanges == forward.imageChanges);
    for (int index = 0; index < forward.dmhs.size(); ++index)
        FUZZ_CHECK(backward.dmhs[index].changes == forward.dmhs[index].changes);
}

bool sameCatalogue(const FlashImage& a, const FlashImage& b)
{
    if (a.dmhRecords().size() != b.dmhRecords().size())
        return false;
    for (int index = 0; index < a.dmhRecords().size(); ++index) {
        const DmhRecord& left = a.dmhRecords()[index];
        const DmhRecord& right = b.dmhRecords()[index];
        if (left.position != right.position || left.dataCapacity != right.dataCapacity
            || left.sdramSize != right.sdramSize || left.flashSize != right.flashSize
            || left.entryCount != right.entryCount || left.entrySize != right.entrySize
            || left.entries != right.entries)
            return false;
    }
    return true;
}

// The changes of a block whose bytes are as `bytesDiffer` says, besides the images' not holding it whole.
QVector<BlockField> bytesAndHeld(const BlockDiff& block, bool bytesDiffer)
{
    QVector<BlockField> changes;
    if (bytesDiffer)
        changes.append(BlockField::Bytes);
    if (!block.heldWhole())
        changes.append(BlockField::Held);
    return changes;
}

// One flipped bit under an unchanged catalogue: exactly the blocks that hold the byte changed, by that one
// byte, or else one byte outside every block; a block the images do not hold whole is changed either way.
void checkFlip(const ImageDiff& diff, qint64 position)
{
    bool held = false;
    for (const BlockDiff& block : diff.blocks) {
        FUZZ_CHECK(block.a && block.b);
        const bool holds = position >= block.a->start && position < block.a->start + block.a->held;
        held = held || holds;
        FUZZ_CHECK(block.changes == bytesAndHeld(block, holds));
        if (!holds)
            continue;
        FUZZ_CHECK(block.bytes.differing == 1 && block.bytes.firstDifference == position - block.a->start);
    }
    FUZZ_CHECK(diff.outsideBlocks.differing == (held ? 0 : 1));
    FUZZ_CHECK(diff.outsideBlocks.firstDifference == (held ? -1 : position));
    for (const DmhDiff& dmh : diff.dmhs)
        FUZZ_CHECK(dmh.status == DiffStatus::Same);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const FuzzSelector selector = FuzzSelector::fromTail(data, size);
    const FuzzImage fuzzed(data, size, selector.extendsImage());
    if (!fuzzed.loaded)
        return 0;
    const FlashImage& a = fuzzed.image;

    // With itself: identical, every entry the same block but those the image does not hold whole, nothing
    // read and nothing outside the blocks differs.
    const Refusable<ImageDiff> selfCompared = diffImages(a, a);
    FUZZ_CHECK(selfCompared.accepted());
    const ImageDiff& self = *selfCompared.value;
    FUZZ_CHECK(self.identical && self.imageChanges.isEmpty() && self.blockBytesRead == 0);
    FUZZ_CHECK(self.blocks.size() == entriesOf(a));
    for (const BlockDiff& block : self.blocks) {
        FUZZ_CHECK(block.bytes.compared == block.a->held && block.b->start == block.a->start);
        FUZZ_CHECK(block.changes == bytesAndHeld(block, false));
    }
    FUZZ_CHECK(!self.outsideBlocks.differs());
    checkAgainstReference(a, a, self, false);

    const Mutation mutation = mutationOf(selector, a.imageSize());
    FlashImage b;
    if (!loadMutated(a, mutation, b))
        return 0;
    const Refusable<ImageDiff> forwardCompared = diffImages(a, b);
    const Refusable<ImageDiff> backwardCompared = diffImages(b, a);
    const ImageDiff* forwardDiff = acceptedWithinLimit(a, b, forwardCompared);
    const ImageDiff* backwardDiff = acceptedWithinLimit(b, a, backwardCompared);
    // The same ranges, seen from the other side: refused both ways or neither.
    FUZZ_CHECK(!forwardDiff == !backwardDiff);
    if (!forwardDiff)
        return 0;
    const ImageDiff& forward = *forwardDiff;
    FUZZ_CHECK(!forward.identical);
    checkAgainstReference(a, b, forward, true);
    const ImageDiff& backward = *backwardDiff;
    checkAgainstReference(b, a, backward, false);
    checkMirrored(forward, backward);

    if (!sameCatalogue(a, b))
        return 0;
    switch (mutation.change) {
    case Change::FlipBit:
        FUZZ_CHECK(forward.imageChanges.isEmpty()
            || forward.imageChanges == QVector<ImageField> { ImageField::SoftwareVersion });
        checkFlip(forward, mutation.position);
        break;
    case Change::Cut:
    case Change::Lengthen:
        // The sizes differ, and no byte that both hold: a block changed only where B lacks some of it.
        FUZZ_CHECK(forward.imageChanges.contains(ImageField::ImageSize));
        FUZZ_CHECK(forward.outsideBlocks.differing == 0);
        for (const BlockDiff& block : forward.blocks)
            FUZZ_CHECK(block.changes == bytesAndHeld(block, false));
        break;
    case Change::FlipTwo:
        // Two bytes: at most two blocks' or outside bytes differ, each by what the reference counted.
        FUZZ_CHECK(forward.outsideBlocks.differing <= 2);
        break;
    }
    return 0;
}
