#include "hostilelayouts.h"
#include "imagebuilder.h"
#include "imagefixture.h"
#include "inprocesscli.h"
#include "standardimages.h"
#include "testbytes.h"

#include "model/imagelayout.h"
#include "ops/inspect/blockcheck.h"
#include "ops/record/blockinfo.h"
#include "ops/inspect/imagediff.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sys/resource.h>

// Images that lie: each row is one class of bad input, with the exact outcome the user must see and,
// for a refused action, proof that nothing was written.
class TestHostileImages : public QObject {
    Q_OBJECT

private slots:
    void loads_data();
    void loads();
    void exports_data();
    void exports();
    void replacements_data();
    void replacements();
    void verifies_data();
    void verifies();
    void diffs_data();
    void diffs();
    void staleCatalogueStaysInsideTheImageInMemory();
};

namespace {

using namespace HostileLayouts;

constexpr qint64 gibibyte = qint64(1) << 30;
constexpr quint32 fourMebibytes = 4 << 20;
const QByteArray previousOutput("bytes of an earlier output");
const QString outOfImage = "Block is out of the image!!!";
const QString flashNotFit = "Flash size does not fit the image!!!";

// `size` bytes of 0xFF with `dmh` at 0 and nothing in its blocks.
QByteArray dmhOnly(qint64 size, const TestDmh& dmh)
{
    return ImageBuilder(size).dmh(0, dmh).image();
}

// A DMH at 0 listing the given entries in an image of `size` bytes whose flash size is the image's.
QByteArray plainImage(qint64 size, const QVector<TestEntry>& entries)
{
    ImageBuilder builder(size);
    const TestDmh dmh = testDmh(entries, quint32(size));
    for (const TestEntry& entry : entries)
        builder.block(0, entry, ImageBuilder::randomBytes(qMin<qint64>(entry.size, 0x40), entry.id), false);
    return builder.dmh(0, dmh).image();
}

// A 64 KiB block at 0x10000 that ends in a record; the record's data length is set on its own.
QByteArray recordImage(quint32 dataLength, bool damagedSignature = false)
{
    const TestEntry entry = testEntry(1, 0x10000, 0x10000, "app", 0);
    ImageBuilder builder(0x20000);
    builder.dmh(0, testDmh({ entry }, 0x20000))
        .block(0, entry, ImageBuilder::randomBytes(1000, 11), true)
        .blockInfo(0x20000 - BlockInfo::recordSize, dataLength, 0x12345678);
    if (damagedSignature)
        builder.bytes(0x20000 - BlockInfo::recordSize + 11, QByteArray(1, '\x01'));
    return builder.image();
}

QByteArray manyEntries(int entryCount)
{
    return headerClaiming(entryCount) + QByteArray(48 * entryCount, '\0');
}

long peakResidentKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// `count` entries at 0 over an image of `size` bytes: all of it each, or from the entry's index on.
QByteArray entriesOverTheImage(int count, qint64 size, bool eachRangeItsOwn)
{
    TestDmh dmh;
    for (int index = 0; index < count; ++index) {
        const quint32 offset = eachRangeItsOwn ? quint32(index) : 0;
        dmh.entries.append(testEntry(quint8(index), offset, quint32(size) - offset));
    }
    return dmhOnly(size, dmh);
}

QByteArray flipped(QByteArray image, qint64 position)
{
    image[int(position)] = char(image[int(position)] ^ 1);
    return image;
}

// `entryCount` entries at offset 0 of a 4 MiB image, the first covering all of it and each next one
// `shrinkBy` bytes shorter; with flags 0 and a record at the end of the image when `withRecord`.
QByteArray wholeImageEntries(int entryCount, quint32 shrinkBy, bool withRecord)
{
    TestDmh dmh;
    dmh.flashSize = fourMebibytes;
    for (int index = 0; index < entryCount; ++index)
        dmh.entries.append(
            testEntry(1, 0, fourMebibytes - quint32(index) * shrinkBy, "all", withRecord ? 0 : 1));
    ImageBuilder builder(fourMebibytes);
    if (withRecord)
        builder.blockInfo(fourMebibytes - BlockInfo::recordSize, fourMebibytes - BlockInfo::recordSize, 0);
    return builder.dmh(0, dmh).image();
}

void loadRow(const char* name, const QByteArray& image, const QByteArray& error, int blocks = 0,
    const QByteArray& version = {})
{
    QTest::newRow(name) << image << error << blocks << version;
}

// A null `written`: the export must leave the output as it was.
void exportRow(const char* name, const QByteArray& image, const QString& id, const QString& message,
    const QByteArray& written = {})
{
    QTest::newRow(name) << image << id << message << written;
}

void replacementRow(
    const char* name, const QByteArray& image, const QString& id, qint64 length, const QString& message)
{
    QTest::newRow(name) << image << id << length << message;
}

} // namespace

void TestHostileImages::loads_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QByteArray>("version");

    const QByteArray notFound("Can not find DMH.");
    const QByteArray tooMany("Too many DMH entries!");
    const QByteArray header = headerClaiming(3);
    const QByteArray erased(0x200, '\xFF');
    loadRow("magic 27 bytes before the end", erased + header.left(27), notFound);
    loadRow("header at the very end claiming entries", erased + header, {});
    loadRow("entries past the end", erased.left(0x100) + header + QByteArray(2 * 48 + 47, '\0'), {}, 2);
    loadRow("recognition byte 0x31", QByteArray(0x10, '\0') + header.left(26) + "\x31" + header.mid(27),
        notFound);
    loadRow("empty file", QByteArray(), notFound);
    loadRow("headers every 27 bytes, 65,535 entries each",
        repeated(64 << 10, 27, headerClaiming(65535).left(27)), tooMany);
    loadRow("headers every 28 bytes, 65,535 entries each", repeated(64 << 10, 28, headerClaiming(65535)),
        tooMany);
    loadRow("two empty headers every 39 bytes", emptyHeaderPairs(64 << 10), tooMany);
    loadRow("65,535 entries", manyEntries(65535), {}, 65535);
    loadRow("65,536 entries in two DMHs", manyEntries(65535) + manyEntries(1), tooMany);

    const TestEntry ssdata = testEntry(1, 0x3F0, 0x40, "ssdata");
    loadRow("ssdata reaching past the end",
        ImageBuilder(0x400).dmh(0, testDmh({ ssdata }, 0x400)).fill(0x3F0, 0x10, 'V').image(), {}, 1,
        QByteArray(16, 'V'));
    loadRow("ssdata wholly past the end",
        dmhOnly(0x400, testDmh({ testEntry(1, 0x500, 0x40, "ssdata") }, 0x400)), {}, 1);
    const QVector<TestEntry> unterminated
        = { testEntry(1, 0x100, 0x40, "ABCDEFGH"), testEntry(2, 0x140, 0x40, "ssdataXY") };
    loadRow("names without a zero byte", dmhOnly(0x400, testDmh(unterminated, 0x400)), {}, 2);
}

void TestHostileImages::loads()
{
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, error);
    QFETCH(int, blocks);
    QFETCH(QByteArray, version);

    ImageFixture fixture;
    const bool loaded = fixture.load(image);
    QCOMPARE(fixture.image->lastError(), error);
    QCOMPARE(loaded, error.isEmpty());
    QCOMPARE(fixture.image->blockCount(), blocks);
    qint64 listed = 0;
    for (const DmhRecord& dmh : fixture.image->dmhRecords())
        listed += dmh.entries.size();
    QCOMPARE(listed, qint64(blocks));
    QCOMPARE(fixture.image->softwareVersion(), version);
}

void TestHostileImages::exports_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("written");

    const QString failed = "Save block %1 failed!!!";
    const QString saved = "Save block %1 successfully!!!";
    exportRow("offset + size wrapping 32 bits",
        plainImage(0x800, { testEntry(1, 0xFFFFFF00, 0x200, "wrap") }), "1", outOfImage);
    exportRow("size reaching 4 GiB", plainImage(0x800, { testEntry(1, 0x100, 0xFFFFFFF0, "huge") }), "1",
        outOfImage);
    exportRow("block one byte past the end", plainImage(0x800, { testEntry(1, 0x700, 0x101, "edge") }), "1",
        outOfImage);
    exportRow("aligned block of size 0 at the end",
        plainImage(0x10000, { testEntry(6, 0x10000, 0, "empty", 0) }), "6", saved, QByteArray(""));

    exportRow("data length beyond the block", recordImage(0x20000), "1", failed);
    exportRow("data length into the record", recordImage(0xFFC1), "1", failed);
    const QByteArray fullData = recordImage(0xFFC0);
    exportRow("data length up to the record", fullData, "1", saved, fullData.mid(0x10000, 0xFFC0));
    const QByteArray damaged = recordImage(1000, true);
    exportRow("record signature damaged", damaged, "1", saved, damaged.mid(0x10000, 0x10000));

    ImageBuilder twice(0x800);
    twice.dmh(0x10, testDmh({ testEntry(2, 0x100, 0x40, "first") }, 0x800))
        .dmh(0x400, testDmh({ testEntry(2, 0x100, 0x20, "second") }, 0x800))
        .fill(0x110, 0x40, 'a')
        .fill(0x500, 0x20, 'b');
    exportRow("duplicate IDs in two DMHs", twice.image(), "2", saved, QByteArray(0x40, 'a'));
    ImageBuilder emptyFirst(0x800);
    emptyFirst.dmh(0, TestDmh {}).dmh(0x400, testDmh({ testEntry(9, 0x100, 0x20, "later") }, 0x800));
    exportRow("empty DMH before the ID", emptyFirst.image(), "9", "Can not find the DMH.");

    // 65,535 entries that each cover the whole 4 MiB image: export --all would write 256 GiB.
    const QVector<TestEntry> wholeImage(65535, testEntry(1, 0, fourMebibytes, "whole"));
    exportRow("export --all of 65,535 entries over the whole image",
        dmhOnly(fourMebibytes, testDmh(wholeImage, fourMebibytes)), "--all",
        "The 65535 block files would take 274873712640 bytes, more than 8 times the image's 4194304 "
        "bytes: its DMHs list the same bytes again and again. Nothing was written.");
}

void TestHostileImages::exports()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(QString, message);
    QFETCH(QByteArray, written);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    QVERIFY(fixture.write("block.out", previousOutput));
    const QStringList before = fixture.entries();
    if (id == "--all") {
        // tessel-cli's export --all into a new folder: refused before anything is made.
        QElapsedTimer timer;
        timer.start();
        const CliRun run
            = runCliInProcess({ "export", fixture.imagePath, "--all", "-o", fixture.path("blocks") });
        qInfo("export --all refused after %lld ms", timer.elapsed());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(QString::fromUtf8(run.err).trimmed(), message);
        QCOMPARE(fixture.entries(), before);
        return;
    }
    const Outcome outcome = fixture.exportBlock(id, "block.out");
    const QString expected = message.contains("%1") ? message.arg(fixture.path("block.out")) : message;
    QCOMPARE(outcome.message, expected);
    QCOMPARE(outcome.success, !written.isNull());
    QCOMPARE(fixture.read("block.out"), written.isNull() ? previousOutput : written);
    QCOMPARE(fixture.entries(), before);
}

void TestHostileImages::replacements_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("id");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("message");

    const QString overMax = "File size is over max size, can not replace!!!";
    const QString notUnique = "Block ID is not unique, can not replace!!!";
    const QString overwritesDmh = "Block would overwrite a DMH, can not replace!!!";
    const QString notFortyEight = "DMH entry size is not 48, can not replace!!!";

    for (const quint32 flashSize : { 0u, 0x1001u, 0x80000000u, 0xFFFFFFFFu }) {
        QTest::addRow("flash size %u", flashSize)
            << dmhOnly(0x1000, testDmh({ testEntry(1, 0x100, 0x100, "blk") }, flashSize)) << "1"
            << qint64(0x10) << flashNotFit;
    }
    replacementRow("offset + size wrapping 32 bits",
        plainImage(0x1000, { testEntry(1, 0xFFFFFF00, 0x200, "wrap") }), "1", 0x10, outOfImage);
    replacementRow("aligned block of size 0", plainImage(0x1000, { testEntry(6, 0x800, 0, "empty", 0) }), "6",
        0, "Block size is 0, can not replace!!!");

    const TestEntry a = testEntry(1, 0x100, 0x100, "a");
    const QVector<TestEntry> backToBack = { a, testEntry(2, 0x200, 0x100, "b") };
    TestDmh wide = testDmh(backToBack, 0x1000);
    wide.entrySize = 0x0130;
    replacementRow("entry size 0x0130", dmhOnly(0x1000, wide), "1", 0x180, notFortyEight);
    replacementRow("grow with a gap", plainImage(0x1000, { a, testEntry(2, 0x210, 0x100, "b") }), "1", 0x180,
        "Blocks after the block are not back to back, can not replace!!!");
    replacementRow("tail past the end", plainImage(0x1000, { a, testEntry(2, 0x200, 0x1000, "b") }), "1",
        0x180, outOfImage);
    TestDmh full = testDmh({ a, testEntry(2, 0x200, 0xFFFFFF00, "b") }, 0x1000);
    full.dataCapacity = 0xFFFFFFFF;
    replacementRow("total over 2^32", dmhOnly(0x1000, full), "1", 0x200, overMax);
    replacementRow("several GiB into a block with a record", recordImage(1000), "1", 5 * gibibyte, overMax);
    replacementRow(
        "several GiB into a block without one", plainImage(0x1000, backToBack), "2", 5 * gibibyte, overMax);
    // Within the capacity, but far past the image: refused on its length alone, before it is read.
    TestDmh roomy = testDmh(backToBack, 0x1000);
    roomy.dataCapacity = 0xFFFFFFFF;
    replacementRow("3 GiB within the capacity", dmhOnly(0x1000, roomy), "1", 3 * gibibyte, outOfImage);

    replacementRow("grow an ID listed twice in its DMH, the first shorter",
        plainImage(0x40000,
            { testEntry(2, 0x1000, 0x8000, "first"), testEntry(3, 0x9000, 0x8000, "other"),
                testEntry(2, 0x11000, 0x4000, "second") }),
        "2", 0x9000, notUnique);

    // A recovery copy inside a block of the second DMH holds a DMH look-alike saying 1 MiB. Parsed last,
    // it sets the flash size: every output would end before the second DMH and its blocks.
    const TestEntry boot = testEntry(1, 0x10000, 0x10000, "boot", 0);
    const TestEntry app = testEntry(2, 0x20000, 0x10000, "app");
    const QByteArray lookAlike
        = ImageBuilder(2 << 20)
              .dmh(0, testDmh({ boot, app }, 2 << 20))
              .block(0, boot, ImageBuilder::randomBytes(1000, 3), true)
              .dmh(0x100000, testDmh({ testEntry(5, 0x10000, 0x40000, "recovery") }, 2 << 20))
              .dmh(0x120000, testDmh({}, 1 << 20))
              .image();
    replacementRow("look-alike flash size, record", lookAlike, "1", 0x100, flashNotFit);
    replacementRow("look-alike flash size, padded", lookAlike, "2", 0x100, flashNotFit);
    replacementRow("look-alike flash size, grow", lookAlike, "2", 0x18000, flashNotFit);
    replacementRow("flash size leaving a listed block behind",
        dmhOnly(0x2000, testDmh({ a, testEntry(2, 0x1800, 0x400, "b") }, 0x1800)), "1", 0x10, flashNotFit);

    replacementRow("padded block holding its own DMH",
        plainImage(0x40000, { testEntry(1, 0, 0x20000, "self") }), "1", 0x100, overwritesDmh);
    // A second header inside the DMH's entry table, over the grown entry's CRC: rewriting the table would
    // destroy its magic.
    const QByteArray nestedTable
        = ImageBuilder(0x8000)
              .dmh(0,
                  testDmh({ testEntry(1, 0x1000, 0x1000, "a"), testEntry(2, 0x2000, 0x1000, "b") }, 0x8000))
              .dmh(ImageLayout::dmhHeaderSize + 48 + BlockEntry::crcOffset, testDmh({}, 0x8000))
              .image();
    replacementRow("grow with a DMH inside its entry table", nestedTable, "2", 0x1800, overwritesDmh);
    // The same over the entry's CRC, the one table field the record variant writes.
    const QByteArray crcInHeader
        = ImageBuilder(0x20000)
              .dmh(0, testDmh({ boot }, 0x20000))
              .block(0, boot, QByteArray(100, 'd'), true)
              .dmh(ImageLayout::dmhHeaderSize + BlockEntry::crcOffset, testDmh({}, 0x20000))
              .image();
    replacementRow("record with a DMH over its entry's CRC", crcInHeader, "1", 0x80, overwritesDmh);

    replacementRow("entry size 0x0130, padded", dmhOnly(0x1000, wide), "1", 0x80, notFortyEight);
    TestDmh wideWithRecord = testDmh({ boot }, 0x20000);
    wideWithRecord.entrySize = 0x0130;
    replacementRow("entry size 0x0130, record",
        ImageBuilder(0x20000).dmh(0, wideWithRecord).block(0, boot, QByteArray(100, 'd'), true).image(), "1",
        0x80, notFortyEight);
}

void TestHostileImages::replacements()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, id);
    QFETCH(qint64, length);
    QFETCH(QString, message);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    QVERIFY(fixture.writeReplacement("replacement.img", length));
    QVERIFY(fixture.write("new.bin", previousOutput));
    const QStringList before = fixture.entries();
    const QVector<DmhRecord> catalogueBefore = fixture.catalogue;

    const long peakBefore = peakResidentKiB();
    const Outcome outcome = fixture.replaceBlock(id, "replacement.img", "new.bin");
    QCOMPARE(outcome.message, message);
    QVERIFY(!outcome.success);
    // A refusal that needs only the replacement's length does not read it.
    QVERIFY2(peakResidentKiB() - peakBefore < 256 * 1024, "the refused replacement was read into memory");
    QCOMPARE(fixture.read("new.bin"), previousOutput);
    QCOMPARE(fixture.entries(), before);
    // A refusal changes nothing in memory either, the growing variant included.
    QCOMPARE(imageBytes(*fixture.image), image);
    QCOMPARE(fixture.catalogue.size(), catalogueBefore.size());
    for (int index = 0; index < catalogueBefore.size(); ++index)
        QVERIFY(fixture.catalogue.at(index).entries == catalogueBefore.at(index).entries);
}

void TestHostileImages::verifies_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<qint64>("bytesRead");
    QTest::addColumn<QString>("refusal");

    // Every block once, and the record's data once more; the "NCRC" block is not read.
    QTest::newRow("ordinary image") << StandardImages::fiveBlocks()
                                    << qint64(0x800 + 0x100 + 0x10000 + 1000 + 0x1000) << QString();
    QTest::newRow("65,535 entries over the whole image")
        << wholeImageEntries(65535, 0, false) << qint64(fourMebibytes) << QString();
    QTest::newRow("65,535 entries over the whole image with a record") << wholeImageEntries(65535, 0,
        true) << qint64(2 * fourMebibytes - BlockInfo::recordSize) << QString();
    QTest::newRow("65,535 distinct ranges over the whole image")
        << wholeImageEntries(65535, 1, false) << qint64(0)
        << "Verifying would read 272726327295 bytes, more than 8 times the image's 4194304 bytes.";
}

void TestHostileImages::verifies()
{
    QFETCH(QByteArray, image);
    QFETCH(qint64, bytesRead);
    QFETCH(QString, refusal);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    const Refusable<BlockChecks> checked = checkBlocks(ImageView::of(*fixture.image), fixture.catalogue);
    if (!refusal.isEmpty()) {
        QVERIFY(!checked.accepted());
        QCOMPARE(checked.refusal.message, refusal);
        return;
    }
    QVERIFY2(checked.accepted(), qPrintable(checked.refusal.message));
    QCOMPARE(checked.value->bytesRead, bytesRead);
    // Every entry is answered, with the CRC of its own bytes (the reference computed once per range too).
    QHash<QPair<qint64, qint64>, quint32> reference;
    const auto crcOf = [&](qint64 start, qint64 length) {
        const QPair<qint64, qint64> range(start, length);
        if (!reference.contains(range))
            reference.insert(range, ImageBuilder::crcOf(image.mid(int(start), int(length))));
        return reference.value(range);
    };
    int entries = 0;
    for (const DmhRecord& dmh : fixture.catalogue)
        entries += dmh.entries.size();
    QCOMPARE(checked.value->checks.size(), entries);
    for (const BlockCheck& check : checked.value->checks) {
        if (check.crcComputed())
            QCOMPARE(check.computedCrc, crcOf(check.facts.start, check.facts.entry.size));
        if (check.dataCrcComputed())
            QCOMPARE(check.computedDataCrc, crcOf(check.facts.start, check.facts.dataLength));
    }
}

void TestHostileImages::diffs_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    // Empty: compared, having read `bytesRead` bytes of blocks, with `changed` blocks changed.
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<qint64>("bytesRead");
    QTest::addColumn<int>("changed");

    constexpr qint64 large = fourMebibytes;
    const QByteArray sameRange = entriesOverTheImage(65535, large, false);
    QTest::newRow("65,535 entries over the whole image, one range")
        << sameRange << flipped(sameRange, large - 1) << QString() << large << 65535;
    const QByteArray ownRanges = entriesOverTheImage(65535, large, true);
    QTest::newRow("65,535 entries over the whole image, each range its own")
        << ownRanges << flipped(ownRanges, large - 1)
        << "Too much to compare: the blocks span 65535 distinct byte ranges, 272726327295 bytes in all, "
           "more than 8 times the 4194304 bytes of each image."
        << qint64(-1) << -1;
    constexpr qint64 small = 0x10000;
    const QByteArray eight = entriesOverTheImage(8, small, true);
    QTest::newRow("8 ranges of nearly the whole image")
        << eight << flipped(eight, small - 1) << QString() << 8 * small - 28 << 8;
    const QByteArray nine = entriesOverTheImage(9, small, true);
    QTest::newRow("9 ranges, B half as long")
        << nine << nine.left(small / 2)
        << "Too much to compare: the blocks span 9 distinct byte ranges, 294876 bytes in all, more than 8 "
           "times the 32768 bytes of the shorter image."
        << qint64(-1) << -1;
}

// However many entries list the same bytes, they are read once, and a table whose distinct ranges would
// read more than a fixed multiple of the image is refused before any of them is read.
void TestHostileImages::diffs()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(QString, refusal);
    QFETCH(qint64, bytesRead);
    QFETCH(int, changed);

    ImageFixture imageA;
    ImageFixture imageB;
    QVERIFY(imageA.load(a) && imageB.load(b));
    const Refusable<ImageDiff> diff = diffImages(*imageA.image, *imageB.image);
    QCOMPARE(diff.refusal.message, refusal);
    QCOMPARE(diff.accepted(), refusal.isEmpty());
    if (!diff.accepted())
        return;
    QCOMPARE(diff.value->blockBytesRead, bytesRead);
    QCOMPARE(diff.value->blockCount(DiffStatus::Changed), changed);
    QCOMPARE(diff.value->blockCount(DiffStatus::Same), 0);
}

void TestHostileImages::staleCatalogueStaysInsideTheImageInMemory()
{
    // After a failed load the window's catalogue still describes the last good image, while memory
    // holds the file that failed. Whatever reads through the old catalogue must stay inside it.
    ImageFixture fixture;
    QVERIFY(fixture.load(recordImage(1000)));
    const QVector<DmhRecord> stale = fixture.catalogue;
    QVERIFY(!fixture.load(QByteArray(0x100, 'z')));
    QCOMPARE(fixture.image->lastError(), QByteArray("Can not find DMH."));
    fixture.catalogue = stale;
    QVERIFY(fixture.write("replacement.img", QByteArray(0x10, 'r')));
    QVERIFY(fixture.write("long.img", QByteArray(0x10001, 'r')));
    const QStringList before = fixture.entries();

    const Outcome exported = fixture.exportBlock("1", "block.out");
    QCOMPARE(exported.message, outOfImage);
    const Outcome replaced = fixture.replaceBlock("1", "replacement.img", "new.bin");
    QCOMPARE(replaced.message, flashNotFit);
    const Outcome grown = fixture.replaceBlock("1", "long.img", "new.bin");
    QCOMPARE(grown.message, flashNotFit);
    QVERIFY(!exported.success && !replaced.success && !grown.success);
    QCOMPARE(fixture.entries(), before);
    QCOMPARE(imageBytes(*fixture.image), QByteArray(0x100, 'z'));
}

QTEST_GUILESS_MAIN(TestHostileImages)
#include "tst_hostileimages.moc"
