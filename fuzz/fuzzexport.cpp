// Export and the block-info rule on an arbitrary image and a chosen entry: every byte read lies inside the
// image, an export that is planned writes exactly the block, or exactly its data part, and the block's
// sha256 is the hash of what it writes.

#include "fuzzimage.h"
#include "fuzzscratch.h"

#include "model/imagelayout.h"
#include "ops/export/blockexport.h"
#include "ops/export/blockhashes.h"
#include "ops/record/blockinfo.h"

#include <QCryptographicHash>
#include <QString>
#include <QStringList>

using ImageLayout::rangeInside;

namespace {

const QString outputName = QStringLiteral("block.bin");

void checkBlockInfoRule(const FlashImage& image, const BlockLocation& location)
{
    const BlockEntry& entry = location.entry;
    const bool carries
        = BlockInfo::hasBlockInfo(image.imageData(), image.imageSize(), location.dmhPosition, entry);
    const qint64 recordStart = location.start() + entry.size - BlockInfo::recordSize;
    const bool expected = BlockInfo::isAligned(entry.offset) && BlockInfo::isAligned(entry.size)
        && entry.flags == 0 && entry.size > 0
        && rangeInside(recordStart, BlockInfo::recordSize, image.imageSize())
        && std::memcmp(image.imageData() + recordStart, BlockInfo::signature, BlockInfo::signatureLength)
            == 0;
    FUZZ_CHECK(carries == expected);
}

// The texts the table and the command line show for an entry of arbitrary bytes, against the plain
// formatting of each field.
void checkCellTexts(const BlockEntry& entry)
{
    FUZZ_CHECK(entry.idText() == QString::number(entry.id, 16));
    FUZZ_CHECK(entry.sizeCellText() == QString::number(entry.size));
    FUZZ_CHECK(entry.crcCellText() == QString::number(entry.crc, 16));
    const QStringList timeFields { QString::number(entry.year()), QString::number(entry.month()),
        QString::number(entry.day()), QString::number(entry.hour()), QString::number(entry.minute()),
        QString::number(entry.second()) };
    FUZZ_CHECK(entry.timeCellText() == timeFields.join(QLatin1Char('/')));
    const QByteArray name(entry.name.data(), int(entry.name.size()));
    FUZZ_CHECK(entry.nameText() == name.left(name.indexOf('\0') < 0 ? name.size() : name.indexOf('\0')));
    FUZZ_CHECK(entry.isSoftwareVersionBlock() == name.startsWith(QByteArray("ssdata\0", 7)));
}

void checkExport(const FlashImage& image, const BlockLocation& location)
{
    const ImageView view = ImageView::of(image);
    const Refusable<ExportPlan> planned = planExport(view, location, outputName);
    const bool blockInside = rangeInside(location.start(), location.size, image.imageSize());
    if (!planned.accepted()) {
        FUZZ_CHECK(!planned.refusal.success);
        if (!blockInside) {
            FUZZ_CHECK(planned.refusal.message == QStringLiteral("Block is out of the image!!!"));
            return;
        }
        // Only a record whose data length does not fit the block is refused inside the image.
        FUZZ_CHECK(planned.refusal.message == QStringLiteral("Save block block.bin failed!!!"));
        FUZZ_CHECK(BlockInfo::hasBlockInfo(view.data, view.size, location.dmhPosition, location.entry));
        const quint32 dataLength
            = BlockInfo::dataLength(view.data + location.start() + location.size - BlockInfo::recordSize);
        FUZZ_CHECK(dataLength > location.size - BlockInfo::recordSize);
        return;
    }
    FUZZ_CHECK(blockInside);
    const ExportPlan& plan = *planned.value;
    FUZZ_CHECK(plan.output.fitsImage(view.size));
    FUZZ_CHECK(plan.output.sourceStart == location.start());
    FUZZ_CHECK(plan.output.patches.isEmpty());
    qint64 expectedLength = location.size;
    if (BlockInfo::hasBlockInfo(view.data, view.size, location.dmhPosition, location.entry)) {
        FUZZ_CHECK(plan.dataPartOnly);
        expectedLength
            = BlockInfo::dataLength(view.data + location.start() + location.size - BlockInfo::recordSize);
        FUZZ_CHECK(expectedLength <= qint64(location.size) - BlockInfo::recordSize);
    } else {
        FUZZ_CHECK(!plan.dataPartOnly);
    }
    FUZZ_CHECK(plan.output.length == expectedLength);
    const QByteArray written = writtenBytes(view.data, view.size, plan.output);
    FUZZ_CHECK(written
        == QByteArray(reinterpret_cast<const char*>(view.data + location.start()), int(expectedLength)));
}

// Each block's sha256 is the SHA-256 of exactly what its export writes, null where the export is refused;
// the image's is that of all its bytes.
void checkHashes(const FlashImage& image, const BlockLocation& location)
{
    const ImageView view = ImageView::of(image);
    const BlockHashes hashes = BlockHashes::compute(view, image.dmhRecords());
    const auto sha256 = [](const QByteArray& bytes) {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    };
    FUZZ_CHECK(hashes.image()
        == sha256(QByteArray::fromRawData(reinterpret_cast<const char*>(view.data), int(view.size))));
    const Refusable<ExportPlan> planned = planExport(view, location, outputName);
    const QByteArray hash = hashes.of(location.dmhIndex, location.entryIndex);
    if (!planned.accepted()) {
        FUZZ_CHECK(hash.isNull());
        return;
    }
    FUZZ_CHECK(hash == sha256(writtenBytes(view.data, view.size, planned.value->output)));
}

// The export action writes exactly what its plan says, or refuses with the plan's text and writes nothing.
void checkExportFile(const FlashImage& image, const BlockLocation& location)
{
    const FuzzScratch& scratch = FuzzScratch::instance();
    const QString output = scratch.path(QStringLiteral("block.out"));
    scratch.remove(QStringLiteral("block.out"));
    const ImageView view = ImageView::of(image);
    const Refusable<ExportPlan> planned = planExport(view, location, output);
    const Outcome outcome = exportBlock(view, location, output);
    if (!planned.accepted()) {
        FUZZ_CHECK(!outcome.success && outcome.message == planned.refusal.message);
        FUZZ_CHECK(!scratch.exists(QStringLiteral("block.out")));
        return;
    }
    FUZZ_CHECK(outcome.success);
    FUZZ_CHECK(outcome.message == QStringLiteral("Save block %1 successfully!!!").arg(output));
    FUZZ_CHECK(scratch.read(QStringLiteral("block.out"))
        == writtenBytes(view.data, view.size, planned.value->output));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const FuzzSelector selector = FuzzSelector::fromTail(data, size);
    const FuzzImage fuzzed(data, size, selector.extendsImage());
    if (!fuzzed.worthTesting)
        return 0;
    const std::optional<BlockLocation> location = fuzzed.select(selector);
    if (!location) {
        // Nothing selected: an ID no entry carries is not found, and its export is refused.
        const BlockLocation missing = findBlock(fuzzed.image.dmhRecords(), QStringLiteral("100"));
        FUZZ_CHECK(!missing.found());
        const Refusable<ExportPlan> refused = planExport(ImageView::of(fuzzed.image), missing, outputName);
        FUZZ_CHECK(!refused.accepted() && refused.refusal.message == QStringLiteral("Can not find the DMH."));
        return 0;
    }
    if (!location->found()) {
        // Only a DMH without entries ends the search before the selected entry's DMH.
        bool emptyDmh = false;
        for (const DmhRecord& dmh : fuzzed.image.dmhRecords())
            emptyDmh = emptyDmh || dmh.entries.isEmpty();
        FUZZ_CHECK(emptyDmh);
        return 0;
    }
    checkCellTexts(location->entry);
    checkBlockInfoRule(fuzzed.image, *location);
    checkExport(fuzzed.image, *location);
    checkHashes(fuzzed.image, *location);
    // One input in 64 also writes the file, through the same writer the window uses.
    if (selector.runsFileActions())
        checkExportFile(fuzzed.image, *location);

    // A catalogue that outlived its image (a failed load since) must not lead the export outside memory.
    const ImageView emptied { fuzzed.image.imageData(), 0, 0 };
    const Refusable<ExportPlan> stale = planExport(emptied, *location, outputName);
    if (stale.accepted())
        FUZZ_CHECK(stale.value->output.length == 0 && stale.value->output.sourceStart == 0);
    return 0;
}
