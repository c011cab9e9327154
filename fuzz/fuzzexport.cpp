// Export and the block-info rule on an arbitrary image and a chosen entry: every byte read lies inside the
// image, an export that is planned writes exactly the block, or exactly its data part, and the block's
// sha256 is the hash of what it writes. And export --all's folder: its block files and rest files give
// back every byte of the image.

#include "fuzzimage.h"
#include "fuzzscratch.h"

#include "model/imagelayout.h"
#include "ops/export/blockexport.h"
#include "ops/export/blockhashes.h"
#include "ops/pack/packfolder.h"
#include "ops/record/blockinfo.h"
#include "ops/record/sha256.h"

#include <QDir>

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

// The folder export --all writes, as block files, rest files and the index pack reads, for every entry
// export accepts.
struct UnpackedFolder {
    QVector<QByteArray> blockBytes;
    PackIndex index;
    // export --all refuses block files of more than 8 times the image's size in all.
    bool refused = false;
};

UnpackedFolder unpack(const FlashImage& image)
{
    const ImageView view = ImageView::of(image);
    UnpackedFolder folder;
    QVector<ImageRange> blockFileRanges;
    qint64 exported = 0;
    const QVector<DmhRecord>& catalogue = image.dmhRecords();
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue[dmhIndex];
        for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
            const BlockLocation location
                = BlockLocation::of(dmh.position, dmhIndex, entryIndex, dmh.entries[entryIndex]);
            const Refusable<ExportPlan> planned = planExport(view, location, outputName);
            if (!planned.accepted())
                continue;
            const OutputPlan& plan = planned.value->output;
            exported += plan.length;
            if (exported > 8 * view.size) {
                folder.refused = true;
                return folder;
            }
            blockFileRanges.append({ plan.sourceStart, plan.length });
            PackedBlock block;
            block.fileName = QStringLiteral("block-%1.bin").arg(folder.blockBytes.size());
            block.dmhIndex = dmhIndex;
            block.entryIndex = entryIndex;
            block.id = location.entry.id;
            block.start = plan.sourceStart;
            block.length = plan.length;
            block.sha256 = Sha256::hex(view.data + plan.sourceStart, plan.length);
            folder.index.blocks.append(block);
            folder.blockBytes.append(writtenBytes(view.data, view.size, plan));
        }
    }
    folder.index.layout = FolderLayout::describe(view, catalogue, blockFileRanges);
    folder.index.layout.imageSha256 = Sha256::hex(view.data, view.size);
    return folder;
}

// In memory: 0xFF, the block files at their places and the rest files' ranges over them are the image.
void checkLayoutGivesTheImageBack(const FlashImage& image, const UnpackedFolder& folder)
{
    const ImageView view = ImageView::of(image);
    const FolderLayout& layout = folder.index.layout;
    FUZZ_CHECK(layout.imageLength == view.size);
    QByteArray rebuilt(int(view.size), '\xff');
    for (int at = 0; at < folder.index.blocks.size(); ++at)
        rebuilt.replace(
            int(folder.index.blocks[at].start), folder.blockBytes[at].size(), folder.blockBytes[at]);
    for (int at = 0; at < layout.restFiles.size(); ++at) {
        const QByteArray bytes = layout.restBytes(view, at);
        FUZZ_CHECK(bytes.size() == layout.restFiles[at].length());
        int from = 0;
        for (const ImageRange& range : layout.restFiles[at].ranges) {
            FUZZ_CHECK(rangeInside(range.start, range.length, view.size));
            rebuilt.replace(int(range.start), int(range.length), bytes.mid(from, int(range.length)));
            from += int(range.length);
        }
    }
    FUZZ_CHECK(rebuilt == QByteArray(reinterpret_cast<const char*>(view.data), int(view.size)));
}

// On disk, read the way pack reads it: the image back untouched, and an edited block file found as the
// only edit.
void checkFolderGivesTheImageBack(const FlashImage& image, const UnpackedFolder& folder)
{
    const FuzzScratch& scratch = FuzzScratch::instance();
    QDir(scratch.path(QStringLiteral("unpacked"))).removeRecursively();
    FUZZ_CHECK(QDir().mkpath(scratch.path(QStringLiteral("unpacked"))));
    const auto write = [&scratch](const QString& name, const QByteArray& bytes) {
        FUZZ_CHECK(scratch.write(QStringLiteral("unpacked/") + name, bytes.constData(), bytes.size()));
    };
    write(QString::fromLatin1(PackIndex::fileName), QByteArray("{}"));
    for (int at = 0; at < folder.index.blocks.size(); ++at)
        write(folder.index.blocks[at].fileName, folder.blockBytes[at]);
    const ImageView view = ImageView::of(image);
    for (int at = 0; at < folder.index.layout.restFiles.size(); ++at)
        write(QString::fromUtf8(folder.index.layout.restFiles[at].fileName),
            folder.index.layout.restBytes(view, at));

    const Refusable<PackedImage> packed
        = readPackedImage(scratch.path(QStringLiteral("unpacked")), folder.index);
    FUZZ_CHECK(packed.accepted() && packed.value->edited.isEmpty());
    const std::unique_ptr<ImageBuffer> rebuilt = packed.value->inMemory();
    FUZZ_CHECK(rebuilt && rebuilt->size() == view.size
        && std::memcmp(rebuilt->data(), view.data, size_t(view.size)) == 0);
    FUZZ_CHECK(packed.value->plan.fitsImage(packed.value->blank->size()));
    FUZZ_CHECK(checkBlockPlaces(QString(), folder.index, view, image.dmhRecords()).success);
    if (folder.index.blocks.isEmpty())
        return;
    write(folder.index.blocks.first().fileName, folder.blockBytes.first() + "edited");
    const Refusable<PackedImage> edited
        = readPackedImage(scratch.path(QStringLiteral("unpacked")), folder.index);
    FUZZ_CHECK(edited.accepted() && edited.value->edited == QVector<int> { 0 });
    // With the edited block's bytes gone (0xFF), the image laid out still places every block file as the
    // index does: what decides a block's export is kept beside the block files.
    FlashImage laidOut;
    std::unique_ptr<ImageBuffer> laidOutBytes = edited.value->inMemory();
    FUZZ_CHECK(laidOutBytes);
    if (laidOut.loadBytes(std::move(*laidOutBytes)))
        FUZZ_CHECK(
            checkBlockPlaces(QString(), folder.index, ImageView::of(laidOut), laidOut.dmhRecords()).success);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const FuzzSelector selector = FuzzSelector::fromTail(data, size);
    const FuzzImage fuzzed(data, size, selector.extendsImage());
    if (!fuzzed.worthTesting)
        return 0;
    const UnpackedFolder unpacked = unpack(fuzzed.image);
    if (!unpacked.refused) {
        checkLayoutGivesTheImageBack(fuzzed.image, unpacked);
        if (selector.runsFileActions())
            checkFolderGivesTheImageBack(fuzzed.image, unpacked);
    }
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
