#include "fixedclock.h"
#include "imagebuilder.h"
#include "imagefixture.h"
#include "replacementmodel.h"
#include "standardimages.h"
#include "testbytes.h"
#include "testfiles.h"

#include "model/imagelayout.h"
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
const QString replaced = QStringLiteral("Replace block successfully!!!");
const QString grown = QStringLiteral("Replace Block successfully!!!");

// The four blocks of the standard image with their DMH changed by `change`.
QByteArray varied(const std::function<void(TestDmh&)>& change)
{
    TestDmh dmh = StandardImages::fourBlocksDmh();
    change(dmh);
    return StandardImages::blocksImage(dmh, imageLength);
}

int entryPosition(int index)
{
    return entryStart + 48 * index;
}

BlockEntry entryAt(const QByteArray& image, int index)
{
    return BlockEntry::fromBytes(reinterpret_cast<const uchar*>(image.constData()) + entryPosition(index));
}

// Blocks "small" (ID 1, 0x8000 bytes) and "big" (0xF0000) in 0x120000 bytes, under a data capacity.
QByteArray withCapacity(quint32 capacity)
{
    TestDmh dmh = StandardImages::fourBlocksDmh();
    dmh.entries = { testEntry(1, 0x1000, 0x8000, "small"), testEntry(2, 0x9000, 0xF0000, "big") };
    dmh.dataCapacity = capacity;
    dmh.flashSize = 0x120000;
    return StandardImages::blocksImage(dmh, 0x120000);
}

// Where `id` stands in the DMH at 0: every image here keeps the four blocks' order.
int indexOf(const QString& id)
{
    return QStringList { "1", "2", "1a", "4" }.indexOf(id);
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

// Block `id` of a freshly loaded image replaced by `length` random bytes as a front end asks for it,
// with what the image held before and what the output holds after.
struct Replacement {
    ImageFixture fixture;
    QByteArray loaded;
    QVector<BlockEntry> tableBefore;
    QByteArray newBytes;
    ReplaceRequest request;
    ReplacePlan plan;
    Outcome outcome;
    QByteArray output;

    // False when the image does not load.
    bool replace(const QByteArray& image, const QString& id, int length,
        const QString& outputName = "out.bin", PaddedEntryCrc entryCrc = PaddedEntryCrc::Keep)
    {
        if (!fixture.load(image))
            return false;
        loaded = imageBytes(*fixture.image);
        tableBefore = fixture.catalogue.at(0).entries;
        newBytes = ImageBuilder::randomBytes(length, 99);
        request = requestFor(fixture, id, newBytes, outputName);
        request.paddedEntryCrc = entryCrc;
        outcome = fixture.replace(request, &plan);
        output = readFile(request.outputPath);
        return true;
    }
    QByteArray modelOutput(Variant variant, int index) const
    {
        return ::modelOutput(variant, loaded, index, newBytes);
    }
};

// A refusal, once where no output is yet and once where one holds what the user had.
void addRefusal(
    const char* name, const QByteArray& image, const QString& id, int length, const QString& message)
{
    QTest::addRow("%s", name) << image << id << length << message << false;
    QTest::addRow("%s, file there", name) << image << id << length << message << true;
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
    void growActsOnlyOnTheEntryItIsGiven_data();
    void growActsOnlyOnTheEntryItIsGiven();
    void exportAfterGrowthSeesMovedBytes();
    void eachReplacementStartsFromLoadedImage();
    void refusesAndWritesNothing_data();
    void refusesAndWritesNothing();
    void refusesRecordWithoutSignature();
    void growReportsEmptyIdText();
    void growRefusedOnMissingLoadedFileChangesNothing();
    void dryRunDescribesWithoutChanging();
};

void TestBlockReplace::padsBlockWithoutRecord_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("length");
    // The entry's CRC refreshed from all the new block's bytes, its entry copy included.
    QTest::addColumn<bool>("updateCrc");

    const QByteArray base = StandardImages::fourBlocks();
    QTest::newRow("0x10000 into 0x20000: entry copy") << base << "2" << 0x10000 << false;
    QTest::newRow("1,000 bytes: no copy") << base << "2" << 1000 << false;
    QTest::newRow("empty: 0xFF and copy of size 0") << base << "2" << 0 << false;
    QTest::newRow("fills the block: no copy over the data") << base << "2" << 0x20000 << false;
    QTest::newRow("unaligned block, full") << base << "4" << 0x8000 << false;
    QTest::newRow("unaligned block, empty") << base << "4" << 0 << false;
    QTest::newRow("entry copy, CRC updated") << base << "2" << 0x10000 << true;
    QTest::newRow("NCRC block, CRC update keeps the marker") << base << "4" << 1000 << true;
    QTest::newRow("flash size short of the image: that many bytes written")
        << varied([](TestDmh& dmh) { dmh.flashSize = 0xC0000; }) << "2" << 777 << false;
}

void TestBlockReplace::padsBlockWithoutRecord()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(int, length);
    QFETCH(bool, updateCrc);

    Replacement run;
    QVERIFY(
        run.replace(image, id, length, "out.bin", updateCrc ? PaddedEntryCrc::Update : PaddedEntryCrc::Keep));
    QCOMPARE(run.outcome.message, replaced);
    QVERIFY(run.outcome.success);
    QCOMPARE(run.plan.variant, ReplaceVariant::Padded);
    const int index = indexOf(id);
    QByteArray expected = run.modelOutput(Variant::Padded, index);
    const BlockEntry entry = entryAt(run.loaded, index);
    const quint32 newCrc = ImageBuilder::crcOf(expected.mid(int(entry.offset), int(entry.size)));
    QCOMPARE(run.plan.newBlockCrc.value_or(0), newCrc);
    // "NCRC" is kept, as the record variant keeps it.
    QCOMPARE(run.plan.entryCrcLeftStale, !updateCrc && !entry.hasNoCrcMarker() && newCrc != entry.crc);
    const int crcPosition = entryPosition(index) + BlockEntry::crcOffset;
    if (updateCrc && !entry.hasNoCrcMarker())
        expected.replace(crcPosition, 4, u32Bytes(newCrc));
    QVERIFY2(run.output == expected, "output differs from the padded model");
    // The DMH is not touched but for a refreshed CRC, and the image in memory not at all.
    QByteArray dmh = run.output.left(entryPosition(4));
    dmh.replace(crcPosition, 4, run.loaded.mid(crcPosition, 4));
    QCOMPARE(dmh, run.loaded.left(entryPosition(4)));
    QCOMPARE(imageBytes(*run.fixture.image), run.loaded);
    QCOMPARE(run.fixture.catalogue.at(0).entries, run.tableBefore);
}

void TestBlockReplace::refreshesRecordAndEntryCrc_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("length");

    QTest::newRow("largest that fits: 0x1FFC0") << "1" << 0x1FFC0;
    QTest::newRow("1,000 bytes") << "1" << 1000;
    QTest::newRow("empty: data length 0, data CRC 0xFFFFFFFF") << "1" << 0;
    QTest::newRow("NCRC kept") << "1a" << 5000;
}

void TestBlockReplace::refreshesRecordAndEntryCrc()
{
    QFETCH(QString, id);
    QFETCH(int, length);

    Replacement run;
    QVERIFY(run.replace(StandardImages::fourBlocks(), id, length));
    QCOMPARE(run.outcome.message, replaced);
    QVERIFY(run.outcome.success);
    QCOMPARE(run.plan.variant, ReplaceVariant::WithInfo);
    const int index = indexOf(id);
    QVERIFY2(run.output == run.modelOutput(Variant::WithInfo, index), "output differs from the record model");
    // 2026-03-05 07:08:09 at record offsets 48 to 54, as the record lays it out.
    const BlockEntry entry = entryAt(run.loaded, index);
    QCOMPARE(run.output.mid(int(entry.offset + entry.size - 64 + 48), 7),
        QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7));
    const int crcPosition = entryPosition(index) + BlockEntry::crcOffset;
    if (entry.hasNoCrcMarker())
        QCOMPARE(run.output.mid(crcPosition, 4), QByteArray("NCRC"));
    else
        QVERIFY(run.output.mid(crcPosition, 4) != run.loaded.mid(crcPosition, 4));
    QCOMPARE(imageBytes(*run.fixture.image), run.loaded);
}

// Two DMHs list ID 1: the block of the first is replaced, so its entry gets the CRC, not the entry
// the loader recorded last.
void TestBlockReplace::patchesEntryThatWasFoundWhenIdRepeats()
{
    QByteArray image = StandardImages::fourBlocks();
    const qint64 secondPosition = 0x90000;
    overlay(image, secondPosition,
        ImageBuilder::dmhHeader(testDmh({ testEntry(1, 0x100, 0x100, "copy") }, imageLength)));
    Replacement run;
    QVERIFY(run.replace(image, "1", 300));
    QCOMPARE(run.fixture.image->entryOffset(1), quint32(secondPosition + entryStart));
    QVERIFY2(run.outcome.success, qPrintable(run.outcome.message));
    QCOMPARE(run.output, run.modelOutput(Variant::WithInfo, 0));
}

void TestBlockReplace::growsBlockAndMovesTheBlocksAfterIt_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("output");

    const QByteArray base = StandardImages::fourBlocks();
    // "nocrc" behind "kernel" ends in a record, which only a move by whole 64 KiB keeps.
    QTest::newRow("two blocks after it, one with a record, by 64 KiB") << base << "2" << 0x30000 << "out.bin";
    QTest::newRow("by one byte, no record behind")
        << varied([](TestDmh& dmh) { dmh.entries[2].flags = 1; }) << "2" << 0x20001 << "out.bin";
    QTest::newRow("last block: nothing moves") << base << "4" << 0x9000 << "out.bin";
    // "nocrc" at 0x38000 ends in a signature but carries no record; 64 KiB further it still carries none.
    QTest::newRow("by 64 KiB, a raw block ending in a signature behind") << varied([](TestDmh& dmh) {
        dmh.entries[1].size = 0x8000;
        dmh.entries[2].offset = 0x38000;
        dmh.entries[3].offset = 0x58000;
    }) << "2" << 0x18000 << "out.bin";
    QTest::newRow("over the loaded image's own file") << base << "2" << 0x30000 << "image.bin";
    QTest::newRow("data capacity reached exactly") << withCapacity(0x100000) << "1" << 0x10000 << "out.bin";
    // Summed in 32 bits, 0xF0000 + 0xFFF10001 would wrap to 1 and pass.
    QTest::newRow("no wrap in 32 bits") << withCapacity(0xFFFFFFFF) << "1" << 0x20000 << "out.bin";
}

void TestBlockReplace::growsBlockAndMovesTheBlocksAfterIt()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(int, length);
    QFETCH(QString, output);

    Replacement run;
    QVERIFY(run.replace(image, id, length, output));
    QCOMPARE(run.outcome.message, grown);
    QVERIFY(run.outcome.success);
    QCOMPARE(run.plan.variant, ReplaceVariant::Grow);
    const int index = indexOf(id);
    const int entries = run.tableBefore.size();
    QCOMPARE(run.plan.moves.size(), entries - 1 - index);

    const QByteArray expected = run.modelOutput(Variant::Grow, index);
    QVERIFY2(run.output == expected, "output differs from the growing model");
    // The change stays in memory, and the window's catalogue follows it; the loader's own list does not.
    QVERIFY(imageBytes(*run.fixture.image) == expected);
    for (int entry = 0; entry < entries; ++entry)
        QVERIFY(run.fixture.catalogue.at(0).entries.at(entry) == entryAt(expected, entry));
    QCOMPARE(run.fixture.image->dmhRecords().at(0).entries, run.tableBefore);
    // A moved block keeps its record, or its lack of one.
    const auto hasRecord = [](const QByteArray& bytes, const BlockEntry& entry) {
        return BlockInfo::hasBlockInfo(
            reinterpret_cast<const uchar*>(bytes.constData()), bytes.size(), 0, entry);
    };
    for (int entry = index + 1; entry < entries; ++entry)
        QCOMPARE(
            hasRecord(expected, entryAt(expected, entry)), hasRecord(run.loaded, run.tableBefore.at(entry)));
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
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
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
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
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
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray first = ImageBuilder::randomBytes(0x1000, 21);
    const QByteArray second = ImageBuilder::randomBytes(0x800, 22);
    QVERIFY(fixture.replace(requestFor(fixture, "2", first, "first.bin")).success);
    QVERIFY(fixture.replace(requestFor(fixture, "1", second, "second.bin")).success);
    QVERIFY(readFile(fixture.path("first.bin")) == modelOutput(Variant::Padded, loaded, 1, first));
    QVERIFY(readFile(fixture.path("second.bin")) == modelOutput(Variant::WithInfo, loaded, 0, second));
}

void TestBlockReplace::refusesAndWritesNothing_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("outputExists");

    const QByteArray base = StandardImages::fourBlocks();
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
    addRefusal("record: 0x1FFC1 bytes", base, "1", 0x1FFC1, overMax);
    addRefusal("record: longer than the block", base, "1", 0x20001, overMax);
    addRefusal("ID not found", base, "3", 10, "Can not find the DMH.");
    addRefusal("empty ID text", base, "", 10, "Can not find the DMH.");
    addRefusal("flash size 0", varied([](TestDmh& dmh) { dmh.flashSize = 0; }), "2", 10, notFit);
    addRefusal("flash size over the image", varied([](TestDmh& dmh) { dmh.flashSize = imageLength + 1; }), "1", 10,
        notFit);
    addRefusal("padded block past flash size", shortFlash, "4", 10, outOfImage);
    addRefusal("record block past flash size", shortFlash, "1a", 10, outOfImage);
    addRefusal("grow past flash size", shortFlash, "2", 0x20001, outOfImage);
    addRefusal("padded block past image end",
        varied([](TestDmh& dmh) { dmh.entries.append(testEntry(9, 0xF8000, 0x10000, "beyond")); }), "9", 10, outOfImage);
    addRefusal("block of size 0", varied([](TestDmh& dmh) { dmh.entries.append(testEntry(6, 0x80000, 0, "empty", 0)); }),
        "6", 0, "Block size is 0, can not replace!!!");
    addRefusal("grow past image end", base, "4", 0x90001, outOfImage);
    addRefusal("grow with entry size 0x130", wideEntries, "2", 0x20001, notFortyEight);
    addRefusal("grow with a gap after the block",
        varied([](TestDmh& dmh) { dmh.entries[2].offset = 0x51000; dmh.entries[3].offset = 0x71000; }), "2", 0x20001,
        notBackToBack);
    addRefusal("grow with blocks listed out of image order",
        varied([](TestDmh& dmh) { std::swap(dmh.entries[2], dmh.entries[3]); }), "2", 0x20001, notBackToBack);
    addRefusal("grow into another DMH", secondDmh, "4", 0xD000, overwritesDmh);
    addRefusal("grow into a block listed before it",
        varied([](TestDmh& dmh) { dmh.entries.prepend(testEntry(7, 0x7A000, 0x1000, "behind")); }), "4", 0xB000,
        "Block would overwrite another block, can not replace!!!");
    addRefusal("grow where the ID is listed again, larger",
        varied([](TestDmh& dmh) { dmh.entries.append(testEntry(2, 0x78000, 0x30000, "again")); }), "2", 0x20001,
        notUnique);
    // The variant is chosen by "first", which is shorter than the replacement; the growth would act on
    // "second", the last entry with the ID.
    addRefusal("grow where the ID is listed again, shorter", varied([](TestDmh& dmh) {
        dmh.entries = { testEntry(2, 0x10000, 0x8000, "first"), testEntry(3, 0x18000, 0x8000, "other"),
            testEntry(2, 0x20000, 0x4000, "second") };
    }), "2", 0x9000, notUnique);
    addRefusal("grow by 0x8000 moving a block with a record", base, "2", 0x28000, offAlignment);
    addRefusal("grow nvram of the sample by 70,000 - 65,536 bytes", readFile(TESSEL_SAMPLE_IMAGE), "2", 70000,
        offAlignment);
    addRefusal("one byte over the data capacity", withCapacity(0x100000), "1", 0x10001, overMax);
    // clang-format on
    // Raw data off 64 KiB that happens to end in the record's signature would read as a record at 0x20000.
    const TestDmh rawBehind = testDmh(
        { testEntry(1, 0x10000, 0x8000, "plain"), testEntry(2, 0x18000, 0x10000, "raw", 0) }, imageLength);
    addRefusal("grow by 0x8000 moving a raw block ending in a signature onto 64 KiB",
        ImageBuilder(imageLength)
            .dmh(0, rawBehind)
            .block(0, rawBehind.entries[1], ImageBuilder::randomBytes(0x100, 2), true)
            .image(),
        "1", 0x10000, "Block would give a moved block a block info, can not replace!!!");

    // A DMH look-alike inside a block of a second DMH is parsed last and says the flash holds 0x80000
    // bytes: every output would end before the second DMH.
    const QByteArray second
        = ImageBuilder::dmhHeader(testDmh({ testEntry(8, 0x1000, 0x1000, "nested") }, imageLength));
    QByteArray lookAlike = base;
    overlay(lookAlike, 0x90000, second);
    overlay(lookAlike, 0x91000, ImageBuilder::dmhHeader(testDmh({}, 0x80000)));
    addRefusal("look-alike flash size, padded", lookAlike, "2", 10, notFit);
    addRefusal("look-alike flash size, record", lookAlike, "1", 10, notFit);
    addRefusal("look-alike flash size, grow", lookAlike, "4", 0x9000, notFit);
    addRefusal("flash size leaving a listed block behind",
        varied([](TestDmh& dmh) { dmh.flashSize = 0x74000; }), "2", 10, notFit);

    TestDmh self = testDmh({ testEntry(1, 0, 0x20000, "self", 0) }, imageLength);
    ImageBuilder selfWithRecord(imageLength);
    selfWithRecord.block(0, self.entries[0], ImageBuilder::randomBytes(1000, 1), true).dmh(0, self);
    addRefusal("record block holding its own DMH", selfWithRecord.image(), "1", 0x100, overwritesDmh);
    self.entries[0].flags = 1;
    addRefusal("padded block holding its own DMH", ImageBuilder(imageLength).dmh(0, self).image(), "1", 0x100,
        overwritesDmh);
    QByteArray dmhInKernel = base;
    overlay(dmhInKernel, 0x40000, second);
    addRefusal("padded block holding another DMH", dmhInKernel, "2", 10, overwritesDmh);
    addRefusal("padded with entry size 0x130", wideEntries, "2", 10, notFortyEight);
    addRefusal("record with entry size 0x130", wideEntries, "1", 10, notFortyEight);
}

void TestBlockReplace::refusesAndWritesNothing()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(int, length);
    QFETCH(QString, message);
    QFETCH(bool, outputExists);

    Replacement run;
    const QByteArray earlier("what the user had");
    if (outputExists)
        QVERIFY(run.fixture.write("out.bin", earlier));
    QVERIFY(run.replace(image, id, length));
    QCOMPARE(run.outcome.message, message);
    QVERIFY(!run.outcome.success);
    QCOMPARE(run.output, outputExists ? earlier : QByteArray());
    const QStringList files = outputExists ? QStringList({ "image.bin", "out.bin", "replacement.bin" })
                                           : QStringList({ "image.bin", "replacement.bin" });
    QCOMPARE(run.fixture.entries(), files);
    QVERIFY2(imageBytes(*run.fixture.image) == run.loaded, "the image in memory changed");
    QCOMPARE(run.fixture.catalogue.at(0).entries, run.tableBefore);
}

void TestBlockReplace::refusesRecordWithoutSignature()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
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
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
    const BlockLocation location = findBlock(fixture.catalogue, "2");
    const ReplaceRequest request = requestFor(fixture, {}, QByteArray(0x20001, 'x'));
    const Outcome outcome = replaceBlockGrow(*fixture.image, fixture.catalogue, location, request);
    QCOMPARE(outcome.message, QStringLiteral("Not selecting saving block"));
    QVERIFY(!QFileInfo::exists(request.outputPath));
}

void TestBlockReplace::growRefusedOnMissingLoadedFileChangesNothing()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
    const QByteArray loaded = imageBytes(*fixture.image);
    const QByteArray replacement = ImageBuilder::randomBytes(0x30000, 9);
    ReplaceRequest request = requestFor(fixture, "2", replacement);
    QVERIFY(QFile::remove(fixture.imagePath));

    const Outcome outcome = fixture.replace(request);
    QCOMPARE(outcome.message, QStringLiteral("Can not open %1!!!").arg(fixture.imagePath));
    QVERIFY(!QFileInfo::exists(request.outputPath));
    QVERIFY2(imageBytes(*fixture.image) == loaded, "the refused growth changed the image in memory");
    QCOMPARE(fixture.catalogue.at(0).entries, fixture.image->dmhRecords().at(0).entries);
}

void TestBlockReplace::dryRunDescribesWithoutChanging()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::fourBlocks()));
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
