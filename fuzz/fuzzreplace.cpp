// The three replacements, planned in memory on an arbitrary image, entry and replacement length: a plan
// is made only when every byte it reads or writes lies inside the image, and the bytes it makes are
// those of a straightforward rebuild of the variant.

#include "fuzzimage.h"
#include "fuzzscratch.h"

#include "model/imagelayout.h"
#include "ops/blockinfo.h"
#include "ops/blockreplace.h"
#include "ops/crc32.h"

#include <QString>

#include <memory>

using ImageLayout::rangeInside;

namespace {

// Replacements larger than this are never read: no plan may accept them for a 64 KiB image.
constexpr qint64 largestReadReplacement = qint64(256) << 10;

StampTime fixedStamp()
{
    return StampTime::of(2026, 3, 5, 7, 8, 9);
}

// The whole-image buffers of a run, kept for the next one (see copyInto).
struct RunBuffers {
    QByteArray output;
    QByteArray expected;
    QByteArray grown;
};

RunBuffers& runBuffers()
{
    static RunBuffers buffers;
    return buffers;
}

qint64 replacementLength(const FuzzSelector& selector, quint32 blockSize)
{
    const qint64 size = blockSize;
    switch (selector.lengthMode % 8) {
    case 0:
        return size;
    case 1:
        return qMax<qint64>(0, size - selector.amount);
    case 2:
        return size + selector.amount;
    case 3:
        return selector.amount;
    case 4:
        return qMax<qint64>(0, size - BlockInfo::recordSize);
    case 5:
        return qMax<qint64>(0, size - BlockInfo::recordSize + 1);
    case 6:
        return 0;
    default:
        return size + 1;
    }
}

// The replacement's bytes: the input itself, over and over, so that they vary with it.
QByteArray replacementBytes(const std::uint8_t* data, std::size_t size, qint64 length)
{
    QByteArray bytes(int(length), '\xA5');
    for (qint64 position = 0; size > 0 && position < length; position += qint64(size))
        std::memcpy(bytes.data() + position, data, size_t(qMin<qint64>(qint64(size), length - position)));
    return bytes;
}

std::shared_ptr<ImageBuffer> blockBuffer(quint32 size, const QByteArray& replacement)
{
    auto block = std::make_shared<ImageBuffer>();
    FUZZ_CHECK(block->allocate(size));
    std::memset(block->data(), 0xFF, size);
    std::memcpy(block->data(), replacement.constData(), size_t(replacement.size()));
    return block;
}

bool flashSizeFits(const ImageView& view)
{
    return view.flashSize > 0 && qint64(view.flashSize) <= view.size;
}

qint64 entryPosition(quint32 dmhPosition, int entryIndex)
{
    return qint64(dmhPosition) + ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * entryIndex;
}

void writeU32At(QByteArray& bytes, qint64 position, quint32 value)
{
    ImageLayout::writeU32(reinterpret_cast<uchar*>(bytes.data()) + position, value);
}

// Every byte where the output differs from the image lies in the range the plan says it changes.
void checkChangedRange(const QByteArray& output, const FuzzImage& fuzzed, const ReplacePlan& plan)
{
    const char* image = reinterpret_cast<const char*>(fuzzed.image.imageData());
    const qint64 length = output.size();
    const qint64 changedStart = qBound<qint64>(0, plan.changedStart, length);
    const qint64 changedEnd = qBound<qint64>(changedStart, plan.changedStart + plan.changedLength, length);
    FUZZ_CHECK(std::memcmp(output.constData(), image, size_t(changedStart)) == 0);
    FUZZ_CHECK(
        std::memcmp(output.constData() + changedEnd, image + changedEnd, size_t(length - changedEnd)) == 0);
}

std::optional<QByteArray> checkPadded(const FuzzImage& fuzzed, const BlockLocation& location, qint64 length,
    const std::uint8_t* data, std::size_t size)
{
    const ImageView view = ImageView::of(fuzzed.image);
    const Outcome check = ::checkPadded(view, location, length);
    const bool safe = length <= location.size && location.size > 0 && flashSizeFits(view)
        && rangeInside(location.start(), location.size, view.flashSize);
    FUZZ_CHECK(check.success == safe);
    if (!safe)
        return std::nullopt;
    const QByteArray replacement = replacementBytes(data, size, length);
    const Planned<ReplacePlan> planned
        = planPadded(view, location, blockBuffer(location.size, replacement), length);
    FUZZ_CHECK(planned.accepted());
    const ReplacePlan& plan = *planned.plan;
    FUZZ_CHECK(plan.variant == ReplaceVariant::Padded);
    QByteArray& output = runBuffers().output;
    writeInto(output, view.data, view.size, plan.output);

    // The rebuild: the image's first flashSize bytes, the block replaced, the entry copy when both sizes
    // are multiples of 64 KiB and the replacement leaves room for it.
    QByteArray& expected = runBuffers().expected;
    copyInto(expected, view.data, view.flashSize);
    QByteArray block = replacement + QByteArray(int(location.size - length), '\xFF');
    if (BlockInfo::isAligned(location.size) && length % BlockInfo::alignment == 0 && length < location.size) {
        BlockEntry copy = location.entry;
        copy.size = quint32(length);
        copy.crc = Crc32::compute64(reinterpret_cast<const uchar*>(replacement.constData()), length);
        block.replace(int(location.size) - BlockInfo::recordSize, BlockEntry::byteSize, copy.toByteArray());
    }
    expected.replace(int(location.start()), block.size(), block);
    FUZZ_CHECK(output == expected);
    checkChangedRange(output, fuzzed, plan);
    return output;
}

std::optional<QByteArray> checkWithInfo(const FuzzImage& fuzzed, const BlockLocation& location, qint64 length,
    const std::uint8_t* data, std::size_t size)
{
    const ImageView view = ImageView::of(fuzzed.image);
    const Outcome check = ::checkWithInfo(view, location, length);
    const qint64 recordStart = location.start() + location.size - BlockInfo::recordSize;
    const qint64 crcPosition
        = entryPosition(location.dmhPosition, location.entryIndex) + BlockEntry::crcOffset;
    const bool safe = length <= qint64(location.size) - BlockInfo::recordSize && flashSizeFits(view)
        && rangeInside(location.start(), location.size, view.flashSize)
        && std::memcmp(view.data + recordStart, BlockInfo::signature, BlockInfo::signatureLength) == 0
        && rangeInside(crcPosition, 4, view.flashSize);
    FUZZ_CHECK(check.success == safe);
    if (!safe)
        return std::nullopt;
    const QByteArray replacement = replacementBytes(data, size, length);
    const Planned<ReplacePlan> planned
        = planWithInfo(view, location, blockBuffer(location.size, replacement), length, fixedStamp());
    FUZZ_CHECK(planned.accepted());
    const ReplacePlan& plan = *planned.plan;
    FUZZ_CHECK(plan.variant == ReplaceVariant::WithInfo);
    QByteArray& output = runBuffers().output;
    writeInto(output, view.data, view.size, plan.output);

    // The rebuild: replacement, 0xFF, the old record with new length, CRC and time; then the entry CRC.
    QByteArray block = replacement + QByteArray(int(location.size - BlockInfo::recordSize - length), '\xFF')
        + fuzzed.bytes(recordStart, BlockInfo::recordSize);
    const quint32 dataCrc = Crc32::compute64(reinterpret_cast<const uchar*>(replacement.constData()), length);
    BlockInfo::stampBlockInfo(
        reinterpret_cast<uchar*>(block.data()), location.size, quint32(length), dataCrc, fixedStamp());
    QByteArray& expected = runBuffers().expected;
    copyInto(expected, view.data, view.flashSize);
    expected.replace(int(location.start()), block.size(), block);
    const quint32 entryCrc = location.entry.hasNoCrcMarker()
        ? location.entry.crc
        : Crc32::compute64(reinterpret_cast<const uchar*>(block.constData()), block.size());
    writeU32At(expected, crcPosition, entryCrc);
    FUZZ_CHECK(output == expected);
    checkChangedRange(output, fuzzed, plan);
    return output;
}

// Whether [start, start + length) and [otherStart, otherStart + otherLength) share a byte.
bool overlaps(qint64 start, qint64 length, qint64 otherStart, qint64 otherLength)
{
    return length > 0 && otherLength > 0 && start < otherStart + otherLength && otherStart < start + length;
}

std::optional<QByteArray> checkGrow(const FuzzImage& fuzzed, const BlockLocation& location, qint64 length,
    const std::uint8_t* data, std::size_t size)
{
    const ImageView view = ImageView::of(fuzzed.image);
    const QVector<DmhRecord>& catalogue = fuzzed.image.dmhRecords();
    const QString idText = location.entry.idText();
    const bool readable = length <= largestReadReplacement;
    const QByteArray replacement = replacementBytes(data, size, readable ? length : 1);
    const Planned<ReplacePlan> planned = planGrow(view, catalogue, location.dmhIndex, idText,
        reinterpret_cast<const uchar*>(replacement.constData()), length);
    if (!planned.accepted()) {
        FUZZ_CHECK(!planned.refusal.success && !planned.refusal.message.isEmpty());
        return std::nullopt;
    }
    FUZZ_CHECK(readable);
    const ReplacePlan& plan = *planned.plan;
    FUZZ_CHECK(plan.variant == ReplaceVariant::Grow);
    FUZZ_CHECK(flashSizeFits(view));
    FUZZ_CHECK(rangeInside(plan.blockStart, length + plan.tailLength, view.flashSize));
    const DmhRecord& dmh = catalogue.at(plan.dmhIndex);
    FUZZ_CHECK(dmh.entrySize == ImageLayout::entryStride);
    const qint64 growth = length - plan.oldSize;
    FUZZ_CHECK(growth > 0);

    // Apply to copies, as the window does to its image and catalogue.
    QByteArray& grown = runBuffers().grown;
    copyInto(grown, view.data, view.size);
    QVector<DmhRecord> grownCatalogue = catalogue;
    applyGrow(reinterpret_cast<uchar*>(grown.data()), grownCatalogue, plan,
        reinterpret_cast<const uchar*>(replacement.constData()));
    QByteArray& output = runBuffers().output;
    writeInto(output, reinterpret_cast<const uchar*>(grown.constData()), grown.size(), plan.output);
    FUZZ_CHECK(output.size() == qint64(view.flashSize)
        && std::memcmp(output.constData(), grown.constData(), size_t(view.flashSize)) == 0);

    const char* before = reinterpret_cast<const char*>(view.data);
    FUZZ_CHECK(
        std::memcmp(grown.constData() + plan.blockStart, replacement.constData(), size_t(length)) == 0);
    for (const BlockMove& move : plan.moves) {
        FUZZ_CHECK(move.to == move.from + growth);
        FUZZ_CHECK(
            rangeInside(move.to, move.size, grown.size()) && rangeInside(move.from, move.size, view.size));
        FUZZ_CHECK(std::memcmp(grown.constData() + move.to, before + move.from, size_t(move.size)) == 0);
    }
    // Every DMH table but the rewritten one, and every block that does not move, keeps its bytes.
    const qint64 changedEnd = plan.blockStart + length + plan.tailLength;
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& other = catalogue.at(dmhIndex);
        const qint64 tableLength
            = ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * other.entries.size();
        FUZZ_CHECK(!overlaps(plan.blockStart, changedEnd - plan.blockStart, other.position, tableLength));
        const int firstMoved = dmhIndex == plan.dmhIndex ? plan.entryIndex : other.entries.size();
        for (int entryIndex = 0; entryIndex < firstMoved; ++entryIndex) {
            const BlockEntry& entry = other.entries.at(entryIndex);
            const qint64 start = qint64(other.position) + entry.offset;
            FUZZ_CHECK(!overlaps(plan.blockStart, changedEnd - plan.blockStart, start, entry.size));
        }
    }
    // The rewritten table: offsets moved by the growth, the grown entry's size and CRC, nothing else.
    const DmhRecord& after = grownCatalogue.at(plan.dmhIndex);
    for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
        BlockEntry expected = dmh.entries.at(entryIndex);
        if (entryIndex > plan.entryIndex)
            expected.offset += quint32(growth);
        if (entryIndex == plan.entryIndex) {
            expected.size = quint32(length);
            expected.crc = Crc32::compute64(reinterpret_cast<const uchar*>(replacement.constData()), length);
        }
        FUZZ_CHECK(after.entries.at(entryIndex) == expected);
        const qint64 position = entryPosition(dmh.position, entryIndex);
        FUZZ_CHECK(
            BlockEntry::fromBytes(reinterpret_cast<const uchar*>(grown.constData()) + position) == expected);
    }
    return output;
}

// The whole "Replace with..." on files: the new image is what the in-memory plan made, or, when that
// was refused, the action is refused too and writes nothing. The CRC's fast path agrees with the table.
void checkReplaceFiles(const FuzzImage& fuzzed, const std::uint8_t* data, std::size_t size,
    const BlockLocation& location, qint64 length, const std::optional<QByteArray>& expected)
{
    const FuzzScratch& scratch = FuzzScratch::instance();
    const QByteArray replacement = replacementBytes(data, size, length);
    const uchar* bytes = reinterpret_cast<const uchar*>(replacement.constData());
    static const Crc32 table;
    FUZZ_CHECK(table.compute(bytes, qint32(length)) == Crc32::compute64(bytes, length));
    FUZZ_CHECK(table.computeWithTable(bytes, qMin<qint64>(length, 256))
        == Crc32::compute64(bytes, qMin<qint64>(length, 256)));

    FUZZ_CHECK(scratch.write(QStringLiteral("image.bin"),
        reinterpret_cast<const char*>(fuzzed.image.imageData()), fuzzed.image.imageSize()));
    FUZZ_CHECK(scratch.write(QStringLiteral("replacement.img"), replacement.constData(), length));
    scratch.remove(QStringLiteral("new.bin"));
    FlashImage image;
    FUZZ_CHECK(image.load(scratch.path(QStringLiteral("image.bin")).toStdWString()));
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplaceRequest request;
    request.idText = location.entry.idText();
    request.replacementPath = scratch.path(QStringLiteral("replacement.img"));
    request.outputPath = scratch.path(QStringLiteral("new.bin"));
    request.loadedImagePath = scratch.path(QStringLiteral("image.bin"));
    request.stampTime = fixedStamp();
    // A dry run agrees with the real action, and touches neither memory nor the disk.
    request.dryRun = true;
    ReplacePlan dryPlan;
    const Outcome dryRun = replaceBlock(image, catalogue, request, &dryPlan);
    FUZZ_CHECK(dryRun.success == expected.has_value());
    FUZZ_CHECK(!scratch.exists(QStringLiteral("new.bin")));
    FUZZ_CHECK(std::memcmp(image.imageData(), fuzzed.image.imageData(), size_t(image.imageSize())) == 0);
    for (int index = 0; index < catalogue.size(); ++index)
        FUZZ_CHECK(catalogue.at(index).entries == image.dmhRecords().at(index).entries);
    if (dryRun.success) {
        FUZZ_CHECK(dryRun.message.isEmpty() && !variantName(dryPlan.variant).isEmpty());
        for (const FieldChange& change : dryPlan.fields)
            FUZZ_CHECK(!fieldName(change.field).isEmpty()
                && rangeInside(change.position, change.width, image.imageSize()));
    }

    request.dryRun = false;
    const Outcome outcome = replaceBlock(image, catalogue, request);
    FUZZ_CHECK(outcome.success == expected.has_value());
    FUZZ_CHECK(scratch.read(QStringLiteral("new.bin")) == (expected ? *expected : QByteArray()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const FuzzSelector selector = FuzzSelector::fromTail(data, size);
    const FuzzImage fuzzed(data, size, selector.extendsImage());
    if (!fuzzed.worthTesting)
        return 0;
    const std::optional<BlockLocation> location = fuzzed.select(selector);
    if (!location || !location->found())
        return 0;
    const qint64 length = replacementLength(selector, location->size);
    const ImageView view = ImageView::of(fuzzed.image);
    std::optional<QByteArray> expected;
    switch (chooseVariant(view, *location, length)) {
    case ReplaceVariant::Padded:
        expected = checkPadded(fuzzed, *location, length, data, size);
        break;
    case ReplaceVariant::WithInfo:
        // A replacement longer than the block is refused by this variant, not grown into it.
        expected = checkWithInfo(fuzzed, *location, length, data, size);
        break;
    case ReplaceVariant::Grow:
        FUZZ_CHECK(length > location->size);
        expected = checkGrow(fuzzed, *location, length, data, size);
        break;
    }
    // One input in 64 also runs the action on files, the way the window does.
    if (selector.runsFileActions() && length <= largestReadReplacement)
        checkReplaceFiles(fuzzed, data, size, *location, length, expected);
    return 0;
}
