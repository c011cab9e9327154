// The three replacements, planned in memory on an arbitrary image, entry and replacement length: each
// variant accepts exactly the cases its rules allow (restated here), the bytes it makes are those the
// tests' reference model of the replacements makes, and an accepted replacement keeps what a user relies
// on: every DMH with its entries, every other block's bytes and record, and the flash size. Two pairs in
// one run make what the two single runs make, one on the other's output.

#include "fixedclock.h"
#include "fuzzimage.h"
#include "fuzzscratch.h"
#include "replacementmodel.h"

#include "model/imagelayout.h"
#include "ops/record/blockinfo.h"
#include "ops/replace/blockgrow.h"
#include "ops/replace/blockreplace.h"
#include "ops/record/crc32.h"
#include "ops/replace/replaceaction.h"
#include "ops/replace/replacechain.h"

#include <QString>

#include <memory>

using ImageLayout::rangeInside;

namespace {

// Replacements larger than this are never read: no plan may accept them for an image of at most 128 KiB.
constexpr qint64 largestReadReplacement = qint64(256) << 10;

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

// A range of image or output positions.
struct Range {
    qint64 start = 0;
    qint64 length = 0;
    qint64 end() const { return start + length; }
};

bool shareByte(const Range& range, const Range& other)
{
    return range.length > 0 && other.length > 0 && range.start < other.end() && other.start < range.end();
}

// A DMH's header and its entry table as the header claims it.
Range tableOf(const DmhRecord& dmh)
{
    return { dmh.position, ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * dmh.entryCount };
}

bool hitsTable(const QVector<DmhRecord>& catalogue, const Range& range, int skippedDmh = -1)
{
    for (int index = 0; index < catalogue.size(); ++index) {
        if (index != skippedDmh && shareByte(range, tableOf(catalogue.at(index))))
            return true;
    }
    return false;
}

Range blockOf(const DmhRecord& dmh, const BlockEntry& entry)
{
    return { qint64(dmh.position) + entry.offset, entry.size };
}

// The replacement as the reference model takes it.
ReplacementModel::Case modelCase(
    const FuzzImage& fuzzed, const BlockLocation& location, const uchar* replacement, qint64 length)
{
    const ImageView view = ImageView::of(fuzzed.image);
    ReplacementModel::Case replacementCase;
    replacementCase.image = view.data;
    replacementCase.imageSize = view.size;
    replacementCase.flashSize = view.flashSize;
    replacementCase.dmhPosition = location.dmhPosition;
    replacementCase.entries = fuzzed.image.dmhRecords().at(location.dmhIndex).entries;
    replacementCase.entryIndex = location.entryIndex;
    replacementCase.replacement = replacement;
    replacementCase.replacementLength = length;
    replacementCase.stampTime = fixedStamp();
    return replacementCase;
}

// What the reference model makes of an accepted replacement, in the run's buffer for it.
const QByteArray& modelOutput(const FuzzImage& fuzzed, const BlockLocation& location,
    const QByteArray& replacement, ReplacementModel::Variant variant)
{
    QByteArray& expected = runBuffers().expected;
    const auto* bytes = reinterpret_cast<const uchar*>(replacement.constData());
    FUZZ_CHECK(ReplacementModel::writeOutput(
        modelCase(fuzzed, location, bytes, replacement.size()), variant, expected));
    return expected;
}

// Whether the block reads as carrying a record once a growth has moved its bytes, the signature among
// them, `growth` further on: the record rule for the moved offset, the signature read where it lies now.
bool carriesRecordOnceMoved(
    const ImageView& view, quint32 dmhPosition, const BlockEntry& entry, qint64 growth)
{
    const qint64 movedOffset = qint64(entry.offset) + growth;
    if (movedOffset % 0x10000 != 0 || entry.size % 0x10000 != 0 || entry.flags != 0 || entry.size < 64)
        return false;
    const qint64 record = qint64(dmhPosition) + entry.offset + entry.size - 64;
    return rangeInside(record, BlockInfo::signatureLength, view.size)
        && std::memcmp(view.data + record, BlockInfo::signature, BlockInfo::signatureLength) == 0;
}

// The end of everything the image holds of its catalogue: DMH tables and blocks up to the image end, and
// the place of an empty block. An output shorter than this loses some of it.
qint64 catalogueEnd(const ImageView& view, const QVector<DmhRecord>& catalogue)
{
    qint64 end = 0;
    const auto hold = [&](const Range& range) {
        if (range.start < view.size || (range.start == view.size && range.length == 0))
            end = qMax(end, qMin(range.end(), view.size));
    };
    for (const DmhRecord& dmh : catalogue) {
        hold(tableOf(dmh));
        for (const BlockEntry& entry : dmh.entries)
            hold(blockOf(dmh, entry));
    }
    return end;
}

// What an accepted replacement may change: the block's new bytes (for a growth, the moved tail behind
// them) and some fields of DMH entries.
struct Rewrite {
    int dmhIndex = -1;
    int entryIndex = -1;
    Range written; // the replaced block's bytes in the output
    qint64 growth = 0;
    qint64 tailLength = 0; // moved from written.start + old size to written.end()
    QVector<Range> entryFields; // sorted
    bool entryCrcChanges = false;
    bool grows = false; // the entry takes the new length, the entries behind it move
};

// Output bytes in [from, to), except those in `skipped`, equal the image's at their position less `shift`.
void checkCopied(const QByteArray& output, const ImageView& view, qint64 from, qint64 to, qint64 shift,
    const QVector<Range>& skipped)
{
    const auto same = [&](qint64 start, qint64 end) {
        FUZZ_CHECK(start >= 0 && end <= output.size() && start - shift >= 0 && end - shift <= view.size);
        FUZZ_CHECK(
            std::memcmp(output.constData() + start, view.data + start - shift, size_t(end - start)) == 0);
    };
    qint64 at = from;
    for (const Range& range : skipped) {
        if (range.end() <= at || range.start >= to)
            continue;
        if (range.start > at)
            same(at, range.start);
        at = range.end();
    }
    if (at < to)
        same(at, to);
}

// What a user relies on after an accepted replacement, whatever the variant.
void checkKeepsWhatUsersRelyOn(
    const FuzzImage& fuzzed, const QByteArray& output, const QByteArray& replacement, const Rewrite& rewrite)
{
    const ImageView view = ImageView::of(fuzzed.image);
    const QVector<DmhRecord>& catalogue = fuzzed.image.dmhRecords();
    // The output has the flash size, and no DMH table lies where the variant writes or moves bytes.
    FUZZ_CHECK(output.size() == qint64(view.flashSize));
    const Range changed { rewrite.written.start, rewrite.written.length + rewrite.tailLength };
    FUZZ_CHECK(!hitsTable(catalogue, changed));
    for (const Range& field : rewrite.entryFields)
        FUZZ_CHECK(!hitsTable(catalogue, field, rewrite.dmhIndex));

    // Every other byte is the image's: in place, or moved by the growth behind the new block.
    checkCopied(output, view, 0, changed.start, 0, rewrite.entryFields);
    checkCopied(output, view, rewrite.written.end(), changed.end(), rewrite.growth, rewrite.entryFields);
    checkCopied(output, view, changed.end(), output.size(), 0, rewrite.entryFields);

    // Loaded again, the output lists every DMH with its header and entries; only the fields the variant
    // rewrites differ. A replacement that holds a DMH magic may add DMHs (and so reach the load's limits).
    ImageBuffer bytes;
    FUZZ_CHECK(bytes.allocate(output.size()));
    std::memcpy(bytes.data(), output.constData(), size_t(output.size()));
    FlashImage reloaded;
    if (!reloaded.loadBytes(std::move(bytes))) {
        FUZZ_CHECK(
            reloaded.lastError() == "Too many DMH entries!" && replacement.contains(ImageLayout::dmhMagic));
        return;
    }
    const QVector<DmhRecord>& after = reloaded.dmhRecords();
    int found = 0;
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue.at(dmhIndex);
        while (found < after.size() && after.at(found).position < dmh.position)
            ++found;
        FUZZ_CHECK(found < after.size());
        const DmhRecord& again = after.at(found);
        FUZZ_CHECK(again.position == dmh.position && again.dataCapacity == dmh.dataCapacity
            && again.sdramSize == dmh.sdramSize && again.flashSize == dmh.flashSize
            && again.entryCount == dmh.entryCount && again.entrySize == dmh.entrySize
            && again.entries.size() == dmh.entries.size());
        for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
            BlockEntry expected = dmh.entries.at(entryIndex);
            const BlockEntry& entry = again.entries.at(entryIndex);
            const bool replaced = dmhIndex == rewrite.dmhIndex && entryIndex == rewrite.entryIndex;
            if (replaced && rewrite.entryCrcChanges)
                expected.crc = entry.crc;
            if (replaced && rewrite.grows)
                expected.size = quint32(rewrite.written.length);
            const bool moved
                = rewrite.grows && dmhIndex == rewrite.dmhIndex && entryIndex > rewrite.entryIndex;
            if (moved)
                expected.offset += quint32(rewrite.growth);
            FUZZ_CHECK(entry == expected);

            // Every other block keeps its bytes, at its new place when it moved, and a record it carried.
            // A block that shares bytes with what the variant writes (a container of the replaced block or
            // of a DMH) cannot keep them all; that is allowed. The bytes were compared above, range by
            // range: a block that stays lies where they are in place, a moved one where they moved, and
            // the output holds all the image held of it.
            if (replaced)
                continue;
            const Range before = blockOf(dmh, dmh.entries.at(entryIndex));
            const Range now = blockOf(again, entry);
            if (before.start < view.size)
                FUZZ_CHECK(now.start + qMin(before.end(), view.size) - before.start <= output.size());
            bool written = shareByte(now, rewrite.written);
            for (const Range& field : rewrite.entryFields)
                written = written || shareByte(now, field);
            if (written)
                continue;
            if (moved)
                FUZZ_CHECK(now.start >= rewrite.written.end() && now.end() <= changed.end());
            else
                FUZZ_CHECK(!shareByte(now, changed));
            // A growth never changes a moved block's record status, nor does any variant that of a block
            // it leaves in place.
            FUZZ_CHECK(ReplacementModel::carriesRecord(
                           view.data, view.size, dmh.position, dmh.entries.at(entryIndex))
                == ReplacementModel::carriesRecord(reinterpret_cast<const uchar*>(output.constData()),
                    output.size(), again.position, entry));
        }
    }
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
    const QVector<DmhRecord>& catalogue = fuzzed.image.dmhRecords();
    const Outcome check = ::checkPadded(view, catalogue, location, length);
    const Range written { location.start(), location.size };
    const bool safe = length <= location.size && location.size > 0 && flashSizeFits(view)
        && rangeInside(location.start(), location.size, view.flashSize)
        && catalogue.at(location.dmhIndex).entrySize == ImageLayout::entryStride
        && catalogueEnd(view, catalogue) <= view.flashSize && !hitsTable(catalogue, written);
    FUZZ_CHECK(check.success == safe);
    if (!safe)
        return std::nullopt;
    const QByteArray replacement = replacementBytes(data, size, length);
    const Refusable<ReplacePlan> planned
        = planPadded(view, catalogue, location, blockBuffer(location.size, replacement), length);
    FUZZ_CHECK(planned.accepted());
    const ReplacePlan& plan = *planned.value;
    FUZZ_CHECK(plan.variant == ReplaceVariant::Padded);
    QByteArray& output = runBuffers().output;
    writeInto(output, view.data, view.size, plan.output);

    FUZZ_CHECK(output == modelOutput(fuzzed, location, replacement, ReplacementModel::Variant::Padded));
    checkChangedRange(output, fuzzed, plan);
    Rewrite rewrite;
    rewrite.dmhIndex = location.dmhIndex;
    rewrite.entryIndex = location.entryIndex;
    rewrite.written = written;
    checkKeepsWhatUsersRelyOn(fuzzed, output, replacement, rewrite);
    return output;
}

std::optional<QByteArray> checkWithInfo(const FuzzImage& fuzzed, const BlockLocation& location, qint64 length,
    const std::uint8_t* data, std::size_t size)
{
    const ImageView view = ImageView::of(fuzzed.image);
    const QVector<DmhRecord>& catalogue = fuzzed.image.dmhRecords();
    const Outcome check = ::checkWithInfo(view, catalogue, location, length);
    const qint64 recordStart = location.start() + location.size - BlockInfo::recordSize;
    const qint64 crcPosition
        = entryPosition(location.dmhPosition, location.entryIndex) + BlockEntry::crcOffset;
    const Range written { location.start(), location.size };
    // The entry's own CRC is the one table field written; no other DMH may hold it.
    const bool safe = length <= qint64(location.size) - BlockInfo::recordSize && flashSizeFits(view)
        && rangeInside(location.start(), location.size, view.flashSize)
        && std::memcmp(view.data + recordStart, BlockInfo::signature, BlockInfo::signatureLength) == 0
        && rangeInside(crcPosition, 4, view.flashSize)
        && catalogue.at(location.dmhIndex).entrySize == ImageLayout::entryStride
        && catalogueEnd(view, catalogue) <= view.flashSize && !hitsTable(catalogue, written)
        && !hitsTable(catalogue, { crcPosition, 4 }, location.dmhIndex);
    FUZZ_CHECK(check.success == safe);
    if (!safe)
        return std::nullopt;
    const QByteArray replacement = replacementBytes(data, size, length);
    const Refusable<ReplacePlan> planned = planWithInfo(
        view, catalogue, location, blockBuffer(location.size, replacement), length, fixedStamp());
    FUZZ_CHECK(planned.accepted());
    const ReplacePlan& plan = *planned.value;
    FUZZ_CHECK(plan.variant == ReplaceVariant::WithInfo);
    QByteArray& output = runBuffers().output;
    writeInto(output, view.data, view.size, plan.output);

    FUZZ_CHECK(output == modelOutput(fuzzed, location, replacement, ReplacementModel::Variant::WithInfo));
    checkChangedRange(output, fuzzed, plan);
    Rewrite rewrite;
    rewrite.dmhIndex = location.dmhIndex;
    rewrite.entryIndex = location.entryIndex;
    rewrite.written = written;
    rewrite.entryFields = { { crcPosition, 4 } };
    rewrite.entryCrcChanges = true;
    checkKeepsWhatUsersRelyOn(fuzzed, output, replacement, rewrite);
    return output;
}

// The growing variant's rules: what it may do to the block `location` names, or nothing when it must
// refuse.
std::optional<Rewrite> growthAllowed(
    const ImageView& view, const QVector<DmhRecord>& catalogue, const BlockLocation& location, qint64 length)
{
    const DmhRecord& dmh = catalogue.at(location.dmhIndex);
    int listed = 0;
    qint64 others = 0;
    for (const BlockEntry& entry : dmh.entries) {
        if (entry.id == location.entry.id)
            ++listed;
        else
            others += entry.size;
    }
    // The capacity, the stride the table is written back with, and one entry with the ID.
    if (length + others > qint64(dmh.dataCapacity) || dmh.entrySize != ImageLayout::entryStride
        || listed != 1)
        return std::nullopt;
    const int grownIndex = location.entryIndex;
    Rewrite rewrite;
    rewrite.dmhIndex = location.dmhIndex;
    rewrite.entryIndex = grownIndex;
    rewrite.written = { location.start(), length };
    rewrite.growth = length - location.size;
    rewrite.grows = true;
    rewrite.entryCrcChanges = true;
    const qint64 grownEntry = entryPosition(dmh.position, grownIndex);
    rewrite.entryFields.append({ grownEntry + BlockEntry::sizeOffset, 8 });
    // The blocks behind lie back to back in table order, and move.
    qint64 nextOffset = qint64(location.offset) + location.size;
    for (int index = grownIndex + 1; index < dmh.entries.size(); ++index) {
        const BlockEntry& entry = dmh.entries.at(index);
        if (entry.offset != nextOffset)
            return std::nullopt;
        nextOffset += entry.size;
        rewrite.entryFields.append({ entryPosition(dmh.position, index) + BlockEntry::offsetOffset, 4 });
        // A moved block reads as it did: one with a record keeps it, and raw data that ends in the
        // signature does not turn into one on a 64 KiB boundary.
        if (ReplacementModel::carriesRecord(view.data, view.size, dmh.position, entry)
            != carriesRecordOnceMoved(view, dmh.position, entry, rewrite.growth))
            return std::nullopt;
    }
    rewrite.tailLength = nextOffset - location.offset - location.size;
    const Range changed { location.start(), length + rewrite.tailLength };
    if (!flashSizeFits(view) || changed.end() > view.flashSize
        || qint64(location.offset) + changed.length > (qint64(1) << 32))
        return std::nullopt;
    // No DMH table in what moves or is overwritten, no other DMH in the rewritten table, no block that
    // stays in place overwritten, and an output that keeps the whole catalogue.
    if (hitsTable(catalogue, changed))
        return std::nullopt;
    const Range rewrittenTable { entryPosition(dmh.position, 0),
        qint64(ImageLayout::entryStride) * dmh.entries.size() };
    if (hitsTable(catalogue, rewrittenTable, location.dmhIndex))
        return std::nullopt;
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& other = catalogue.at(dmhIndex);
        const int staying = dmhIndex == location.dmhIndex ? grownIndex : other.entries.size();
        for (int index = 0; index < staying; ++index) {
            if (shareByte(changed, blockOf(other, other.entries.at(index))))
                return std::nullopt;
        }
    }
    if (catalogueEnd(view, catalogue) > view.flashSize)
        return std::nullopt;
    return rewrite;
}

std::optional<QByteArray> checkGrow(const FuzzImage& fuzzed, const BlockLocation& location, qint64 length,
    const std::uint8_t* data, std::size_t size)
{
    const ImageView view = ImageView::of(fuzzed.image);
    const QVector<DmhRecord>& catalogue = fuzzed.image.dmhRecords();
    // Every check needs only the length: a replacement is read only once they all pass.
    const Outcome check = ::checkGrow(view, catalogue, location, length);
    const std::optional<Rewrite> allowed = growthAllowed(view, catalogue, location, length);
    FUZZ_CHECK(check.success == allowed.has_value());
    if (!check.success) {
        FUZZ_CHECK(!check.message.isEmpty());
        return std::nullopt;
    }
    FUZZ_CHECK(length <= largestReadReplacement);
    const QByteArray replacement = replacementBytes(data, size, length);
    auto replacementBuffer = std::make_shared<ImageBuffer>();
    FUZZ_CHECK(replacementBuffer->allocate(length));
    std::memcpy(replacementBuffer->data(), replacement.constData(), size_t(length));
    const Refusable<ReplacePlan> planned = planGrow(view, catalogue, location, replacementBuffer);
    FUZZ_CHECK(planned.accepted());
    const ReplacePlan& plan = *planned.value;
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
    applyGrow(reinterpret_cast<uchar*>(grown.data()), grownCatalogue, plan);
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
    const QByteArray& expected = modelOutput(fuzzed, location, replacement, ReplacementModel::Variant::Grow);
    FUZZ_CHECK(output == expected);
    // The window's catalogue follows the table the growth rewrote: offsets moved, the grown entry's size
    // and CRC.
    const DmhRecord& after = grownCatalogue.at(plan.dmhIndex);
    const auto* expectedBytes = reinterpret_cast<const uchar*>(expected.constData());
    for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
        const qint64 position = entryPosition(dmh.position, entryIndex);
        FUZZ_CHECK(after.entries.at(entryIndex) == BlockEntry::fromBytes(expectedBytes + position));
    }
    checkKeepsWhatUsersRelyOn(fuzzed, output, replacement, *allowed);
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
    const BlockLocation found = findBlock(catalogue, request.idText);
    const Outcome dryRun = replaceBlockAt(image, catalogue, found, request, &dryPlan);
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
    const Outcome outcome = replaceBlockAt(image, catalogue, found, request);
    FUZZ_CHECK(outcome.success == expected.has_value());
    FUZZ_CHECK(scratch.read(QStringLiteral("new.bin")) == (expected ? *expected : QByteArray()));
}

// The pair's block as a run names it: the first entry with its ID in the image the pair sees.
ChainPair chainPair(const QString& idText, const QString& replacementPath)
{
    ChainPair pair;
    pair.replacementPath = replacementPath;
    pair.locate = [idText](const QVector<DmhRecord>& catalogue) {
        const BlockLocation location = findBlock(catalogue, idText);
        if (!location.found())
            return Refusable<ChainTarget>::refused(Outcome::refused(QStringLiteral("no such block")));
        return Refusable<ChainTarget>::of({ location, idText });
    };
    return pair;
}

// A second pair behind the first, in one run: the new image is what the second single run makes of the
// first one's output, byte for byte, or the run is refused at the pair a single run refuses, and writes
// nothing. The first pair's single run has left its output in new.bin, when it was accepted.
void checkSecondPair(const FuzzImage& fuzzed, const std::uint8_t* data, std::size_t size,
    const BlockLocation& first, bool firstAccepted)
{
    if (size < 2 * FuzzSelector::byteSize)
        return;
    const FuzzSelector second = FuzzSelector::fromTail(data, size - FuzzSelector::byteSize);
    // One file-action input in four: the pair costs three loads and two writes more, which run on every
    // input would take a third of the target's speed.
    if ((second.entryIndex & 0xC0) != 0)
        return;
    const std::optional<BlockLocation> secondBlock = fuzzed.select(second);
    if (!secondBlock || !secondBlock->found())
        return;
    const qint64 secondLength = replacementLength(second, secondBlock->size);
    if (secondLength > largestReadReplacement)
        return;
    const FuzzScratch& scratch = FuzzScratch::instance();
    const QByteArray secondBytes = replacementBytes(data + 1, size - 1, secondLength);
    FUZZ_CHECK(scratch.write(QStringLiteral("second.img"), secondBytes.constData(), secondLength));
    const QString secondId = secondBlock->entry.idText();

    // The single runs: the second on the file the first wrote.
    ReplaceRequest request;
    request.stampTime = fixedStamp();
    bool secondAccepted = false;
    QString secondMessage;
    scratch.remove(QStringLiteral("two.bin"));
    FlashImage firstOutput;
    if (firstAccepted && firstOutput.load(scratch.path(QStringLiteral("new.bin")).toStdWString())) {
        QVector<DmhRecord> catalogue = firstOutput.dmhRecords();
        if (findBlock(catalogue, secondId).found()) {
            ReplaceRequest single = request;
            single.idText = secondId;
            single.replacementPath = scratch.path(QStringLiteral("second.img"));
            single.outputPath = scratch.path(QStringLiteral("two.bin"));
            single.loadedImagePath = scratch.path(QStringLiteral("new.bin"));
            const Outcome outcome
                = replaceBlockAt(firstOutput, catalogue, findBlock(catalogue, secondId), single);
            secondAccepted = outcome.success;
            secondMessage = outcome.message;
        }
    }

    // Both pairs in one run.
    scratch.remove(QStringLiteral("chain.bin"));
    FlashImage image;
    FUZZ_CHECK(image.load(scratch.path(QStringLiteral("image.bin")).toStdWString()));
    request.outputPath = scratch.path(QStringLiteral("chain.bin"));
    request.loadedImagePath = scratch.path(QStringLiteral("image.bin"));
    const QVector<ChainPair> pairs { chainPair(first.entry.idText(),
                                         scratch.path(QStringLiteral("replacement.img"))),
        chainPair(secondId, scratch.path(QStringLiteral("second.img"))) };
    const ChainResult chain = replaceChain(image, pairs, request);
    FUZZ_CHECK(chain.outcome.success == (firstAccepted && secondAccepted));
    if (chain.outcome.success) {
        FUZZ_CHECK(chain.failedPair == -1 && chain.plans.size() == 2);
        FUZZ_CHECK(scratch.read(QStringLiteral("chain.bin")) == scratch.read(QStringLiteral("two.bin")));
        return;
    }
    FUZZ_CHECK(!scratch.exists(QStringLiteral("chain.bin")));
    FUZZ_CHECK(chain.failedPair == (firstAccepted ? 1 : 0));
    if (!secondMessage.isEmpty())
        FUZZ_CHECK(chain.outcome.message == secondMessage);
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
    // The reference model's choice needs the length alone.
    using ModelVariant = ReplacementModel::Variant;
    const std::optional<ModelVariant> modelVariant
        = ReplacementModel::chooseVariant(modelCase(fuzzed, *location, nullptr, length));
    std::optional<QByteArray> expected;
    switch (chooseVariant(view, *location, length)) {
    case ReplaceVariant::Padded:
        FUZZ_CHECK(modelVariant == ModelVariant::Padded);
        expected = checkPadded(fuzzed, *location, length, data, size);
        break;
    case ReplaceVariant::WithInfo:
        // A replacement longer than the block is refused by this variant, not grown into it.
        FUZZ_CHECK(modelVariant == ModelVariant::WithInfo || (!modelVariant && length > location->size));
        expected = checkWithInfo(fuzzed, *location, length, data, size);
        break;
    case ReplaceVariant::Grow:
        FUZZ_CHECK(length > location->size && modelVariant == ModelVariant::Grow);
        expected = checkGrow(fuzzed, *location, length, data, size);
        break;
    }
    // One input in 64 also runs the action on files, the way the window does, and a second pair behind it.
    if (selector.runsFileActions() && length <= largestReadReplacement) {
        checkReplaceFiles(fuzzed, data, size, *location, length, expected);
        checkSecondPair(fuzzed, data, size, *location, expected.has_value());
    }
    return 0;
}
