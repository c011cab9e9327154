#include "fixedclock.h"
#include "imagebuilder.h"
#include "imagefixture.h"
#include "replacementmodel.h"
#include "standardimages.h"
#include "testbytes.h"
#include "testfiles.h"

#include "model/imagelayout.h"
#include "ops/export/blockexport.h"
#include "ops/record/blockinfo.h"
#include "ops/base/blocklocation.h"
#include "ops/replace/blockgrow.h"
#include "ops/replace/blockreplace.h"
#include "ops/replace/replaceaction.h"

#include <QtTest>

#include <cstring>

namespace {

using Variant = ReplacementModel::Variant;
constexpr qint64 imageLength = StandardImages::fourBlocksLength;
constexpr int entryStart = ImageLayout::dmhHeaderSize;

// The four blocks of the standard image, or a variation of them, in an image of `length` bytes.
QByteArray buildImage(const TestDmh& dmh, qint64 length = imageLength)
{
    return StandardImages::blocksImage(dmh, length);
}

QByteArray baseImage()
{
    return StandardImages::fourBlocks();
}

// The four blocks with their DMH changed by `change`.
QByteArray varied(const std::function<void(TestDmh&)>& change)
{
    TestDmh dmh = StandardImages::fourBlocksDmh();
    change(dmh);
    return buildImage(dmh);
}

BlockEntry entryAt(const QByteArray& image, int index)
{
    return BlockEntry::fromBytes(reinterpret_cast<const uchar*>(image.constData()) + entryStart + 48 * index);
}

// What the shared reference model makes of the block at `index` of the DMH at 0 of `image`; an empty
// array when the variant does not apply. Every image here holds one flash size, in that DMH. Padded: the
// block holds the replacement and 0xFF, plus the entry copy when size and length are multiples of 64 KiB
// and the replacement leaves room for it. WithInfo: replacement, 0xFF, the old record with new length, CRC
// and time; the entry's CRC is that of the whole new block unless it holds the marker. Grow: the block
// takes the replacement, the blocks after it follow at once, their entries carry the shifted offsets, and
// the grown entry the new size and the replacement's CRC.
QByteArray modelOutput(Variant variant, const QByteArray& image, int index, const QByteArray& replacement)
{
    const auto* bytes = reinterpret_cast<const uchar*>(image.constData());
    ReplacementModel::Case replacementCase;
    replacementCase.image = bytes;
    replacementCase.imageSize = image.size();
    replacementCase.flashSize = ImageLayout::readU32(bytes + ImageLayout::flashSizeOffset);
    replacementCase.entries = BlockEntry::fromTable(
        bytes + entryStart, ImageLayout::readU16(bytes + ImageLayout::entryCountOffset));
    replacementCase.entryIndex = index;
    replacementCase.replacement = reinterpret_cast<const uchar*>(replacement.constData());
    replacementCase.replacementLength = replacement.size();
    replacementCase.stampTime = fixedStamp();
    return ReplacementModel::output(replacementCase, variant).value_or(QByteArray());
}

// The request for `id` that front ends make, with `replacement` written as replacement.bin.
ReplaceRequest requestFor(ImageFixture& fixture, const QString& id, const QByteArray& replacement,
    const QString& output = "out.bin")
{
    fixture.write("replacement.bin", replacement);
    return fixture.request(id, "replacement.bin", output);
}

} // namespace

class TestBlockReplace : public QObject {
    Q_OBJECT

private slots:
    void padsBlockWithoutRecord_data();
    void padsBlockWithoutRecord();
    void refreshesRecordAndEntryCrc_data();
    void refreshesRecordAndEntryCrc();
    void patchesEntryThatWasFoundWhenIdRepeats();
    void growsBlockAndMovesTheBlocksAfterIt_data();
    void growsBlockAndMovesTheBlocksAfterIt();
    void testsCapacityIn64Bits_data();
    void testsCapacityIn64Bits();
    void growActsOnlyOnTheEntryItIsGiven_data();
    void growActsOnlyOnTheEntryItIsGiven();
    void exportAfterGrowthSeesMovedBytes();
    void eachReplacementStartsFromLoadedImage();
    void writesExactlyFlashSize();
    void writesOverLoadedImagesOwnPath();
    void refusesAndWritesNothing_data();
    void refusesAndWritesNothing();
    void refusesRecordWithoutSignature();
    void growReportsEmptyIdText();
    void growFailsOnMissingLoadedFileAfterChange();
    void dryRunDescribesWithoutChanging();
};

void TestBlockReplace::padsBlockWithoutRecord_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("length");
    // The entry's CRC refreshed from all the new block's bytes, its entry copy included.
    QTest::addColumn<bool>("updateCrc");

    QTest::newRow("0x10000 into 0x20000: entry copy") << "2" << 1 << 0x10000 << false;
    QTest::newRow("1,000 bytes: no copy") << "2" << 1 << 1000 << false;
    QTest::newRow("empty: 0xFF and copy of size 0") << "2" << 1 << 0 << false;
    QTest::newRow("fills the block: no copy over the data") << "2" << 1 << 0x20000 << false;
    QTest::newRow("unaligned block, full") << "4" << 3 << 0x8000 << false;
    QTest::newRow("unaligned block, empty") << "4" << 3 << 0 << false;
    QTest::newRow("entry copy, CRC updated") << "2" << 1 << 0x10000 << true;
    QTest::newRow("NCRC block, CRC update keeps the marker") << "4" << 3 << 1000 << true;
}

void TestBlockReplace::padsBlockWithoutRecord()
{
    QFETCH(QString, id);
    QFETCH(int, index);
    QFETCH(int, length);
    QFETCH(bool, updateCrc);

    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(length, 99);
    ReplaceRequest request = requestFor(fixture, id, replacement);
    request.paddedEntryCrc = updateCrc ? PaddedEntryCrc::Update : PaddedEntryCrc::Keep;

    ReplacePlan plan;
    const Outcome outcome = fixture.replace(request, &plan);
    QCOMPARE(outcome.message, QStringLiteral("Replace block successfully!!!"));
    QVERIFY(outcome.success);
    QCOMPARE(plan.variant, ReplaceVariant::Padded);
    const QByteArray output = readFile(request.outputPath);
    QCOMPARE(output.size(), int(imageLength));
    QByteArray expected = modelOutput(Variant::Padded, loaded, index, replacement);
    const BlockEntry entry = entryAt(loaded, index);
    const quint32 newCrc = ImageBuilder::crcOf(expected.mid(int(entry.offset), int(entry.size)));
    QCOMPARE(plan.newBlockCrc.value_or(0), newCrc);
    // "NCRC" is kept, as the record variant keeps it.
    QCOMPARE(plan.entryCrcLeftStale, !updateCrc && !entry.hasNoCrcMarker() && newCrc != entry.crc);
    const int crcPosition = entryStart + 48 * index + BlockEntry::crcOffset;
    if (updateCrc && !entry.hasNoCrcMarker())
        expected.replace(crcPosition, 4, u32Bytes(newCrc));
    QVERIFY2(output == expected, "output differs from the padded model");
    // The DMH is not touched but for a refreshed CRC, and the image in memory not at all.
    QCOMPARE(output.left(crcPosition), loaded.left(crcPosition));
    const int tableEnd = entryStart + 48 * 4;
    QCOMPARE(output.mid(crcPosition + 4, tableEnd - crcPosition - 4),
        loaded.mid(crcPosition + 4, tableEnd - crcPosition - 4));
    QCOMPARE(imageBytes(*fixture.image), loaded);
    QCOMPARE(fixture.catalogue.at(0).entries, fixture.image->dmhRecords().at(0).entries);
}

void TestBlockReplace::refreshesRecordAndEntryCrc_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("length");

    QTest::newRow("largest that fits: 0x1FFC0") << "1" << 0 << 0x1FFC0;
    QTest::newRow("1,000 bytes") << "1" << 0 << 1000;
    QTest::newRow("empty: data length 0, data CRC 0xFFFFFFFF") << "1" << 0 << 0;
    QTest::newRow("NCRC kept") << "1a" << 2 << 5000;
}

void TestBlockReplace::refreshesRecordAndEntryCrc()
{
    QFETCH(QString, id);
    QFETCH(int, index);
    QFETCH(int, length);

    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(length, 42);
    const ReplaceRequest request = requestFor(fixture, id, replacement);

    ReplacePlan plan;
    const Outcome outcome = fixture.replace(request, &plan);
    QCOMPARE(outcome.message, QStringLiteral("Replace block successfully!!!"));
    QVERIFY(outcome.success);
    QCOMPARE(plan.variant, ReplaceVariant::WithInfo);
    const QByteArray output = readFile(request.outputPath);
    const QByteArray expected = modelOutput(Variant::WithInfo, loaded, index, replacement);
    QVERIFY2(output == expected, "output differs from the record model");
    // 2026-03-05 07:08:09 at record offsets 48 to 54, as the record lays it out.
    const BlockEntry entry = entryAt(loaded, index);
    QCOMPARE(output.mid(int(entry.offset + entry.size - 64 + 48), 7),
        QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7));
    if (id == "1a")
        QCOMPARE(output.mid(entryStart + 48 * index + 12, 4), QByteArray("NCRC"));
    else
        QVERIFY(output.mid(entryStart + 48 * index + 12, 4) != loaded.mid(entryStart + 48 * index + 12, 4));
    QCOMPARE(imageBytes(*fixture.image), loaded);
}

// Two DMHs list ID 1: the block of the first is replaced, so its entry gets the CRC, not the entry
// the loader recorded last.
void TestBlockReplace::patchesEntryThatWasFoundWhenIdRepeats()
{
    TestDmh shape = StandardImages::fourBlocksDmh();
    QByteArray image = buildImage(shape);
    TestDmh second;
    second.flashSize = imageLength;
    second.entries = { testEntry(1, 0x100, 0x100, "copy") };
    const qint64 secondPosition = 0x90000;
    overlay(image, secondPosition, ImageBuilder::dmhHeader(second));

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    QCOMPARE(fixture.image->entryOffset(1), quint32(secondPosition + entryStart));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(300, 5);
    const ReplaceRequest request = requestFor(fixture, "1", replacement);
    const Outcome outcome = fixture.replace(request);
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    QCOMPARE(readFile(request.outputPath), modelOutput(Variant::WithInfo, loaded, 0, replacement));
}

void TestBlockReplace::growsBlockAndMovesTheBlocksAfterIt_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("length");

    // "nocrc" behind "kernel" ends in a record, which only a move by whole 64 KiB keeps.
    QTest::newRow("two blocks after it, one with a record, by 64 KiB") << baseImage() << "2" << 1 << 0x30000;
    TestDmh noRecordBehind = StandardImages::fourBlocksDmh();
    noRecordBehind.entries[2].flags = 1;
    QTest::newRow("by one byte, no record behind") << buildImage(noRecordBehind) << "2" << 1 << 0x20001;
    QTest::newRow("last block: nothing moves") << baseImage() << "4" << 3 << 0x9000;
    // "nocrc" at 0x38000 ends in a signature but carries no record; 64 KiB further it still carries none.
    TestDmh rawBehind = StandardImages::fourBlocksDmh();
    rawBehind.entries[1].size = 0x8000;
    rawBehind.entries[2].offset = 0x38000;
    rawBehind.entries[3].offset = 0x58000;
    QTest::newRow("by 64 KiB, a raw block ending in a signature behind")
        << buildImage(rawBehind) << "2" << 1 << 0x18000;
}

void TestBlockReplace::growsBlockAndMovesTheBlocksAfterIt()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(int, index);
    QFETCH(int, length);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QVector<BlockEntry> tableBefore = fixture.catalogue.at(0).entries;
    const QByteArray replacement = ImageBuilder::randomBytes(length, 11);
    const ReplaceRequest request = requestFor(fixture, id, replacement);

    ReplacePlan plan;
    const Outcome outcome = fixture.replace(request, &plan);
    QCOMPARE(outcome.message, QStringLiteral("Replace Block successfully!!!"));
    QVERIFY(outcome.success);
    QCOMPARE(plan.variant, ReplaceVariant::Grow);
    QCOMPARE(plan.moves.size(), 3 - index);

    const QByteArray expected = modelOutput(Variant::Grow, loaded, index, replacement);
    QVERIFY2(readFile(request.outputPath) == expected, "output differs from the growing model");
    // The change stays in memory, and the window's catalogue follows it; the loader's own list does not.
    QVERIFY(imageBytes(*fixture.image) == expected);
    for (int entry = 0; entry < 4; ++entry)
        QVERIFY(fixture.catalogue.at(0).entries.at(entry) == entryAt(expected, entry));
    QCOMPARE(fixture.image->dmhRecords().at(0).entries, tableBefore);
    // A moved block keeps its record, or its lack of one.
    const auto bytesOf
        = [](const QByteArray& bytes) { return reinterpret_cast<const uchar*>(bytes.constData()); };
    for (int entry = index + 1; entry < 4; ++entry)
        QCOMPARE(BlockInfo::hasBlockInfo(bytesOf(expected), expected.size(), 0, entryAt(expected, entry)),
            BlockInfo::hasBlockInfo(bytesOf(loaded), loaded.size(), 0, tableBefore.at(entry)));
}

void TestBlockReplace::testsCapacityIn64Bits_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<quint32>("capacity");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("capacity reached exactly") << 0x10000 << 0x100000u << true;
    QTest::newRow("one byte over") << 0x10001 << 0x100000u << false;
    // Summed in 32 bits, 0xF0000 + 0xFFF10001 would wrap to 1 and pass.
    QTest::newRow("no wrap in 32 bits") << 0x20000 << 0xFFFFFFFFu << true;
}

void TestBlockReplace::testsCapacityIn64Bits()
{
    QFETCH(int, length);
    QFETCH(quint32, capacity);
    QFETCH(bool, accepted);

    TestDmh shape = StandardImages::fourBlocksDmh();
    shape.entries = { testEntry(1, 0x1000, 0x8000, "small"), testEntry(2, 0x9000, 0xF0000, "big") };
    shape.dataCapacity = capacity;
    shape.flashSize = 0x120000;
    ImageFixture fixture;
    QVERIFY(fixture.load(buildImage(shape, 0x120000)));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(length, 1);
    const ReplaceRequest request = requestFor(fixture, "1", replacement);

    const Outcome outcome = fixture.replace(request);
    QCOMPARE(outcome.success, accepted);
    if (accepted) {
        QCOMPARE(outcome.message, QStringLiteral("Replace Block successfully!!!"));
        QVERIFY(readFile(request.outputPath) == modelOutput(Variant::Grow, loaded, 0, replacement));
    } else {
        QCOMPARE(outcome.message, QStringLiteral("File size is over max size, can not replace!!!"));
        QVERIFY(!QFileInfo::exists(request.outputPath));
        QVERIFY(imageBytes(*fixture.image) == loaded);
    }
}

void TestBlockReplace::growActsOnlyOnTheEntryItIsGiven_data()
{
    QTest::addColumn<int>("dmhIndex");
    QTest::addColumn<int>("entryIndex");
    QTest::addColumn<bool>("accepted");

    // "kernel" (ID 2) is entry 1 of DMH 0.
    QTest::newRow("as found") << 0 << 1 << true;
    QTest::newRow("a DMH the catalogue does not have") << 1 << 1 << false;
    QTest::newRow("an entry past the table") << 0 << 4 << false;
    QTest::newRow("an entry with another ID") << 0 << 0 << false;
}

// A location that its catalogue does not list (one kept from another image, say) grows nothing: the
// growth reads the entry's table from the location, never by the ID alone.
void TestBlockReplace::growActsOnlyOnTheEntryItIsGiven()
{
    QFETCH(int, dmhIndex);
    QFETCH(int, entryIndex);
    QFETCH(bool, accepted);

    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    BlockLocation location = findBlock(fixture.catalogue, "2");
    location.dmhIndex = dmhIndex;
    location.entryIndex = entryIndex;
    const ImageView view = ImageView::of(*fixture.image);
    auto replacement = std::make_shared<ImageBuffer>();
    QVERIFY(replacement->allocate(0x30000));
    std::memset(replacement->data(), 'x', size_t(replacement->size()));
    const Outcome check = checkGrow(view, fixture.catalogue, location, replacement->size());
    const Refusable<ReplacePlan> plan = planGrow(view, fixture.catalogue, location, replacement);
    QCOMPARE(check.success, accepted);
    QCOMPARE(plan.accepted(), accepted);
    if (accepted)
        QCOMPARE(plan.value->entryIndex, 1);
    else
        QCOMPARE(plan.refusal.message, QStringLiteral("Can not find the DMH."));
}

void TestBlockReplace::exportAfterGrowthSeesMovedBytes()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    QVERIFY(fixture.exportBlock("4", "before.out").success);
    QVERIFY(fixture.replace(requestFor(fixture, "2", ImageBuilder::randomBytes(0x30000, 8))).success);
    QCOMPARE(findBlock(fixture.catalogue, "4").offset, 0x80000u);
    QVERIFY(fixture.exportBlock("4", "after.out").success);
    QCOMPARE(fixture.read("after.out"), fixture.read("before.out"));
    QCOMPARE(fixture.read("after.out").size(), 0x8000);
}

void TestBlockReplace::eachReplacementStartsFromLoadedImage()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray first = ImageBuilder::randomBytes(0x1000, 21);
    const QByteArray second = ImageBuilder::randomBytes(0x800, 22);
    QVERIFY(fixture.replace(requestFor(fixture, "2", first, "first.bin")).success);
    QVERIFY(fixture.replace(requestFor(fixture, "1", second, "second.bin")).success);
    QVERIFY(readFile(fixture.path("first.bin")) == modelOutput(Variant::Padded, loaded, 1, first));
    QVERIFY(readFile(fixture.path("second.bin")) == modelOutput(Variant::WithInfo, loaded, 0, second));
}

void TestBlockReplace::writesExactlyFlashSize()
{
    TestDmh shape = StandardImages::fourBlocksDmh();
    shape.flashSize = 0xC0000;
    ImageFixture fixture;
    QVERIFY(fixture.load(buildImage(shape)));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(777, 2);
    const ReplaceRequest request = requestFor(fixture, "2", replacement);
    QVERIFY(fixture.replace(request).success);
    QVERIFY(
        readFile(request.outputPath) == modelOutput(Variant::Padded, loaded, 1, replacement).left(0xC0000));
}

void TestBlockReplace::writesOverLoadedImagesOwnPath()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(0x30000, 4);
    ReplaceRequest request = requestFor(fixture, "2", replacement);
    request.outputPath = fixture.imagePath;
    const Outcome outcome = fixture.replace(request);
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    QVERIFY(readFile(fixture.imagePath) == modelOutput(Variant::Grow, loaded, 1, replacement));
}

void TestBlockReplace::refusesAndWritesNothing_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("message");

    const QByteArray base = baseImage();
    const QString overMax = "File size is over max size, can not replace!!!";
    const QString notFit = "Flash size does not fit the image!!!";
    const QString outOfImage = "Block is out of the image!!!";
    const QString notBackToBack = "Blocks after the block are not back to back, can not replace!!!";
    const QString notUnique = "Block ID is not unique, can not replace!!!";
    const QString offAlignment = "Block would move a block info off its alignment, can not replace!!!";
    const QString overwritesDmh = "Block would overwrite a DMH, can not replace!!!";
    const QString notFortyEight = "DMH entry size is not 48, can not replace!!!";
    const QByteArray shortFlash = varied([](TestDmh& dmh) { dmh.flashSize = 0x60000; });
    const QByteArray wideEntries = varied([](TestDmh& dmh) { dmh.entrySize = 0x130; });
    QByteArray secondDmh = base;
    overlay(secondDmh, 0x7C000,
        ImageBuilder::dmhHeader(testDmh({ testEntry(8, 0x100, 0x100, "other") }, imageLength)));
    // clang-format off
    QTest::newRow("record: 0x1FFC1 bytes") << base << "1" << 0x1FFC1 << overMax;
    QTest::newRow("record: longer than the block") << base << "1" << 0x20001 << overMax;
    QTest::newRow("ID not found") << base << "3" << 10 << "Can not find the DMH.";
    QTest::newRow("empty ID text") << base << "" << 10 << "Can not find the DMH.";
    QTest::newRow("flash size 0") << varied([](TestDmh& dmh) { dmh.flashSize = 0; }) << "2" << 10 << notFit;
    QTest::newRow("flash size over the image")
        << varied([](TestDmh& dmh) { dmh.flashSize = imageLength + 1; }) << "1" << 10 << notFit;
    QTest::newRow("padded block past flash size") << shortFlash << "4" << 10 << outOfImage;
    QTest::newRow("record block past flash size") << shortFlash << "1a" << 10 << outOfImage;
    QTest::newRow("grow past flash size") << shortFlash << "2" << 0x20001 << outOfImage;
    QTest::newRow("padded block past image end")
        << varied([](TestDmh& dmh) { dmh.entries.append(testEntry(9, 0xF8000, 0x10000, "beyond")); }) << "9" << 10 << outOfImage;
    QTest::newRow("block of size 0")
        << varied([](TestDmh& dmh) { dmh.entries.append(testEntry(6, 0x80000, 0, "empty", 0)); }) << "6" << 0
        << "Block size is 0, can not replace!!!";
    QTest::newRow("grow past image end") << base << "4" << 0x90001 << outOfImage;
    QTest::newRow("grow with entry size 0x130") << wideEntries << "2" << 0x20001 << notFortyEight;
    QTest::newRow("grow with a gap after the block")
        << varied([](TestDmh& dmh) { dmh.entries[2].offset = 0x51000; dmh.entries[3].offset = 0x71000; })
        << "2" << 0x20001 << notBackToBack;
    QTest::newRow("grow with blocks listed out of image order")
        << varied([](TestDmh& dmh) { std::swap(dmh.entries[2], dmh.entries[3]); }) << "2" << 0x20001 << notBackToBack;
    QTest::newRow("grow into another DMH") << secondDmh << "4" << 0xD000 << overwritesDmh;
    QTest::newRow("grow into a block listed before it")
        << varied([](TestDmh& dmh) { dmh.entries.prepend(testEntry(7, 0x7A000, 0x1000, "behind")); }) << "4" << 0xB000
        << "Block would overwrite another block, can not replace!!!";
    QTest::newRow("grow where the ID is listed again, larger")
        << varied([](TestDmh& dmh) { dmh.entries.append(testEntry(2, 0x78000, 0x30000, "again")); }) << "2" << 0x20001
        << notUnique;
    // The variant is chosen by "first", which is shorter than the replacement; the growth would act on
    // "second", the last entry with the ID.
    QTest::newRow("grow where the ID is listed again, shorter") << varied([](TestDmh& dmh) {
        dmh.entries = { testEntry(2, 0x10000, 0x8000, "first"), testEntry(3, 0x18000, 0x8000, "other"),
            testEntry(2, 0x20000, 0x4000, "second") };
    }) << "2" << 0x9000 << notUnique;
    QTest::newRow("grow by 0x8000 moving a block with a record") << base << "2" << 0x28000 << offAlignment;
    QTest::newRow("grow nvram of the sample by 70,000 - 65,536 bytes")
        << readFile(TESSEL_SAMPLE_IMAGE) << "2" << 70000 << offAlignment;
    // clang-format on
    // Raw data off 64 KiB that happens to end in the record's signature would read as a record at 0x20000.
    const TestDmh rawBehind = testDmh(
        { testEntry(1, 0x10000, 0x8000, "plain"), testEntry(2, 0x18000, 0x10000, "raw", 0) }, imageLength);
    QTest::newRow("grow by 0x8000 moving a raw block ending in a signature onto 64 KiB")
        << ImageBuilder(imageLength)
               .dmh(0, rawBehind)
               .block(0, rawBehind.entries[1], ImageBuilder::randomBytes(0x100, 2), true)
               .image()
        << "1" << 0x10000 << "Block would give a moved block a block info, can not replace!!!";

    // A DMH look-alike inside a block of a second DMH is parsed last and says the flash holds 0x80000
    // bytes: every output would end before the second DMH.
    const QByteArray second
        = ImageBuilder::dmhHeader(testDmh({ testEntry(8, 0x1000, 0x1000, "nested") }, imageLength));
    QByteArray lookAlike = base;
    overlay(lookAlike, 0x90000, second);
    overlay(lookAlike, 0x91000, ImageBuilder::dmhHeader(testDmh({}, 0x80000)));
    // clang-format off
    QTest::newRow("look-alike flash size, padded") << lookAlike << "2" << 10 << notFit;
    QTest::newRow("look-alike flash size, record") << lookAlike << "1" << 10 << notFit;
    QTest::newRow("look-alike flash size, grow") << lookAlike << "4" << 0x9000 << notFit;
    QTest::newRow("flash size leaving a listed block behind") << varied([](TestDmh& dmh) { dmh.flashSize = 0x74000; })
        << "2" << 10 << notFit;
    // clang-format on

    TestDmh self = testDmh({ testEntry(1, 0, 0x20000, "self", 0) }, imageLength);
    ImageBuilder selfWithRecord(imageLength);
    selfWithRecord.block(0, self.entries[0], ImageBuilder::randomBytes(1000, 1), true).dmh(0, self);
    QTest::newRow("record block holding its own DMH")
        << selfWithRecord.image() << "1" << 0x100 << overwritesDmh;
    self.entries[0].flags = 1;
    QTest::newRow("padded block holding its own DMH")
        << ImageBuilder(imageLength).dmh(0, self).image() << "1" << 0x100 << overwritesDmh;
    QByteArray dmhInKernel = base;
    overlay(dmhInKernel, 0x40000, second);
    QTest::newRow("padded block holding another DMH") << dmhInKernel << "2" << 10 << overwritesDmh;
    QTest::newRow("padded with entry size 0x130") << wideEntries << "2" << 10 << notFortyEight;
    QTest::newRow("record with entry size 0x130") << wideEntries << "1" << 10 << notFortyEight;
}

void TestBlockReplace::refusesAndWritesNothing()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(int, length);
    QFETCH(QString, message);

    for (bool outputExists : { false, true }) {
        ImageFixture fixture;
        QVERIFY(fixture.load(image));
        const QByteArray loaded = imageBytes(*fixture.image);
        const QVector<DmhRecord> catalogue = fixture.catalogue;
        const ReplaceRequest request = requestFor(fixture, id, ImageBuilder::randomBytes(length, 6));
        const QByteArray earlier("what the user had");
        if (outputExists)
            QVERIFY(fixture.write("out.bin", earlier));
        const QStringList filesBefore = fixture.entries();

        const Outcome outcome = fixture.replace(request);
        QCOMPARE(outcome.message, message);
        QVERIFY(!outcome.success);
        QCOMPARE(fixture.entries(), filesBefore);
        if (outputExists)
            QCOMPARE(readFile(request.outputPath), earlier);
        QVERIFY2(imageBytes(*fixture.image) == loaded, "the image in memory changed");
        QCOMPARE(fixture.catalogue.at(0).entries, catalogue.at(0).entries);
    }
}

void TestBlockReplace::refusesRecordWithoutSignature()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    // "kernel" is aligned but ends in random bytes, not a record.
    const BlockLocation location = findBlock(fixture.catalogue, "2");
    const ReplaceRequest request = requestFor(fixture, "2", QByteArray(10, 'x'));
    const Outcome outcome = replaceBlockWithInfo(*fixture.image, location, request);
    QCOMPARE(outcome.message, QStringLiteral("block info at block end is not legitimate!!!"));
    QVERIFY(!QFileInfo::exists(request.outputPath));
}

void TestBlockReplace::growReportsEmptyIdText()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const BlockLocation location = findBlock(fixture.catalogue, "2");
    const ReplaceRequest request = requestFor(fixture, {}, QByteArray(0x20001, 'x'));
    const Outcome outcome = replaceBlockGrow(*fixture.image, fixture.catalogue, location, request);
    QCOMPARE(outcome.message, QStringLiteral("Not selecting saving block"));
    QVERIFY(!QFileInfo::exists(request.outputPath));
}

void TestBlockReplace::growFailsOnMissingLoadedFileAfterChange()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(0x30000, 9);
    ReplaceRequest request = requestFor(fixture, "2", replacement);
    QVERIFY(QFile::remove(fixture.imagePath));

    const Outcome outcome = fixture.replace(request);
    QCOMPARE(outcome.message, QStringLiteral("Can not open %1!!!").arg(fixture.imagePath));
    QVERIFY(!QFileInfo::exists(request.outputPath));
    QVERIFY(imageBytes(*fixture.image) == modelOutput(Variant::Grow, loaded, 1, replacement));
}

void TestBlockReplace::dryRunDescribesWithoutChanging()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    const QByteArray loaded = imageBytes(*fixture.image);

    ReplaceRequest grow = requestFor(fixture, "2", ImageBuilder::randomBytes(0x30000, 3));
    grow.dryRun = true;
    ReplacePlan plan;
    QVERIFY(fixture.replace(grow, &plan).success);
    QCOMPARE(fixture.entries(), QStringList({ "image.bin", "replacement.bin" }));
    QVERIFY(imageBytes(*fixture.image) == loaded);
    QCOMPARE(fixture.catalogue.at(0).entries, fixture.image->dmhRecords().at(0).entries);
    QCOMPARE(plan.moves.size(), 2);
    QCOMPARE(plan.moves.at(0).id, quint8(0x1a));
    QCOMPARE(plan.moves.at(0).from, qint64(0x50000));
    QCOMPARE(plan.moves.at(0).to, qint64(0x60000));
    QCOMPARE(plan.moves.at(1).to, qint64(0x80000));
    QCOMPARE(plan.fields.size(), 4);
    QCOMPARE(plan.fields.at(0).field, ChangedField::EntrySize);
    QCOMPARE(plan.fields.at(0).position, qint64(entryStart + 48 + 8));
    QCOMPARE(plan.fields.at(0).oldValue, quint64(0x20000));
    QCOMPARE(plan.fields.at(0).newValue, quint64(0x30000));
    QCOMPARE(plan.fields.at(3).field, ChangedField::EntryOffset);
    QCOMPARE(plan.fields.at(3).newValue, quint64(0x80000));
    QCOMPARE(plan.changedStart + plan.changedLength, qint64(0x88000));

    ReplaceRequest record = requestFor(fixture, "1", ImageBuilder::randomBytes(100, 3));
    record.dryRun = true;
    QVERIFY(fixture.replace(record, &plan).success);
    QCOMPARE(plan.variant, ReplaceVariant::WithInfo);
    QCOMPARE(plan.fields.at(0).field, ChangedField::RecordDataLength);
    QCOMPARE(plan.fields.at(0).oldValue, quint64(1000));
    QCOMPARE(plan.fields.at(0).newValue, quint64(100));
    QCOMPARE(plan.fields.at(2).field, ChangedField::RecordTime);
    QCOMPARE(plan.fields.at(2).newValue, quint64(0x090807050307EAull));
    QCOMPARE(fixture.entries(), QStringList({ "image.bin", "replacement.bin" }));
}

QTEST_GUILESS_MAIN(TestBlockReplace)
#include "tst_blockreplace.moc"
