#include "imagebuilder.h"
#include "standardimages.h"
#include "testfolder.h"
#include "model/flashimage.h"
#include "model/imagelayout.h"

#include <QtTest>

#include <cstring>

namespace {

TestDmh dmhWith(
    const QVector<TestEntry>& entries, quint32 flashSize = 0x10000, quint32 sdramSize = 0x04000000)
{
    TestDmh dmh;
    dmh.entries = entries;
    dmh.flashSize = flashSize;
    dmh.sdramSize = sdramSize;
    return dmh;
}

QVector<quint8> idsOf(const DmhRecord& record)
{
    QVector<quint8> ids;
    for (const BlockEntry& entry : record.entries)
        ids.append(entry.id);
    return ids;
}

} // namespace

class TestFlashImage : public QObject {
    Q_OBJECT

private slots:
    void init();

    void failsWithExactText_data();
    void failsWithExactText();
    void recognisesDmhOnlyWithItsByte_data();
    void recognisesDmhOnlyWithItsByte();
    void readsHeaderAndEntriesOfSeveralDmhs();
    void testsEveryPositionAlsoInsideDmhs();
    void emptyDmhYieldsRecordWithoutEntries();
    void softwareVersion_data();
    void softwareVersion();
    void carriesVersionAndEntryOffsetsAcrossLoads();
    void laterDuplicateIdWinsEntryOffset();
    void failedLoadDropsPreviousImage();
    void decodesBlockEntryFields();
    void keepsOnlyEntriesThatFitWhole_data();
    void keepsOnlyEntriesThatFitWhole();
    void boundsHostileHeaderFloods_data();
    void boundsHostileHeaderFloods();
    void mappedImageReadsAsACopy();
    void reloadAfterAChangeIsAFreshLoad_data();
    void reloadAfterAChangeIsAFreshLoad();

private:
    std::unique_ptr<TestFolder> folder;
};

void TestFlashImage::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
}

void TestFlashImage::failsWithExactText_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("empty file") << QByteArray() << QByteArray("Can not find DMH.");
    QTest::newRow("only 0xFF") << QByteArray(4096, '\xFF') << QByteArray("Can not find DMH.");
    QByteArray lonelyMagic = ImageBuilder(64).dmh(8, dmhWith({})).image();
    lonelyMagic[8 + 26] = 0x31;
    QTest::newRow("magic without 0x30 at +26") << lonelyMagic << QByteArray("Can not find DMH.");
    // The header must fit whole: a magic 27 bytes before the end cannot be a DMH.
    QTest::newRow("header cut by the end")
        << ImageBuilder(100).dmh(73, dmhWith({})).image() << QByteArray("Can not find DMH.");
}

void TestFlashImage::failsWithExactText()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, error);
    const QString path = folder->create("image.bin", content);
    for (const FlashImage::ReadMode mode : { FlashImage::ReadMode::Copy, FlashImage::ReadMode::Map }) {
        FlashImage image;
        QVERIFY(!image.load(path.toStdWString(), mode));
        QCOMPARE(image.lastError(), error);
        QCOMPARE(image.imageSize(), qint64(content.size()));
        QVERIFY(image.dmhRecords().isEmpty());
        QCOMPARE(image.blockCount(), 0);
    }
}

void TestFlashImage::recognisesDmhOnlyWithItsByte_data()
{
    QTest::addColumn<int>("lowByte");
    QTest::addColumn<int>("highByte");
    QTest::addColumn<bool>("recognised");

    QTest::newRow("48, high 0") << 0x30 << 0x00 << true;
    QTest::newRow("48, high byte ignored") << 0x30 << 0x01 << true;
    QTest::newRow("49") << 0x31 << 0x00 << false;
    QTest::newRow("0") << 0x00 << 0x00 << false;
}

void TestFlashImage::recognisesDmhOnlyWithItsByte()
{
    QFETCH(int, lowByte);
    QFETCH(int, highByte);
    QFETCH(bool, recognised);
    QByteArray bytes = ImageBuilder(256).dmh(0, dmhWith({ testEntry(1, 0x100, 0) })).image();
    bytes[26] = char(lowByte);
    bytes[27] = char(highByte);
    FlashImage image;
    QCOMPARE(image.load(folder->create("image.bin", bytes).toStdWString()), recognised);
    if (recognised)
        QCOMPARE(image.dmhRecords().first().entrySize, quint16(lowByte | (highByte << 8)));
}

void TestFlashImage::readsHeaderAndEntriesOfSeveralDmhs()
{
    const QString path = folder->create("twodmh.bin", StandardImages::twoDmhs());

    FlashImage image;
    QVERIFY2(image.load(path.toStdWString()), image.lastError().constData());
    QVERIFY(image.lastError().isEmpty());
    QCOMPARE(image.blockCount(), 8);
    // The sizes are those of the DMH found last; the first one's differ in every field.
    QCOMPARE(image.flashSize(), 0xFFFFFFFFu);
    QCOMPARE(image.sdramSize(), 0x04000000u);
    QCOMPARE(image.dmhRecords().size(), 2);
    const DmhRecord& low = image.dmhRecords().at(0);
    QCOMPARE(low.position, 0x100u);
    QCOMPARE(low.dataCapacity, 0x800000u);
    QCOMPARE(low.sdramSize, 0x02000000u);
    QCOMPARE(low.flashSize, 0x10000u);
    QCOMPARE(low.entryCount, quint16(3));
    QCOMPARE(low.entrySize, quint16(48));
    QCOMPARE(idsOf(low), (QVector<quint8> { 0xab, 0x1f, 0 }));
    QCOMPARE(image.dmhRecords().at(1).position, 0x1000u);
    QCOMPARE(idsOf(image.dmhRecords().at(1)), (QVector<quint8> { 1, 2, 3, 4, 5 }));
    QCOMPARE(image.entryOffset(0xab), 0x100u + 28);
    QCOMPARE(image.entryOffset(5), 0x1000u + 28 + 4 * 48);
}

void TestFlashImage::testsEveryPositionAlsoInsideDmhs()
{
    // A second DMH hidden inside the first one's entry table is still found.
    TestDmh outer = dmhWith({ testEntry(1), testEntry(2), testEntry(3), testEntry(4) });
    const QByteArray inner = ImageBuilder::dmhHeader(dmhWith({}));
    QByteArray bytes = ImageBuilder(0x400).dmh(0, outer).image();
    bytes.replace(28 + 48, inner.size(), inner);
    FlashImage image;
    QVERIFY(image.load(folder->create("nested.bin", bytes).toStdWString()));
    QCOMPARE(image.dmhRecords().size(), 2);
    QCOMPARE(image.dmhRecords().at(1).position, quint32(28 + 48));
}

void TestFlashImage::emptyDmhYieldsRecordWithoutEntries()
{
    FlashImage image;
    QVERIFY(image.load(folder->create("empty.bin", StandardImages::emptyDmh()).toStdWString()));
    QCOMPARE(image.dmhRecords().size(), 1);
    QVERIFY(image.dmhRecords().first().entries.isEmpty());
    QCOMPARE(image.blockCount(), 0);
}

void TestFlashImage::softwareVersion_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<quint32>("blockSize");
    QTest::addColumn<QByteArray>("blockBytes");
    QTest::addColumn<QByteArray>("version");

    const QByteArray twentyFive("ABCDEFGHIJKLMNOPQRSTUVWXY");
    // clang-format off
    QTest::newRow("text ends at zero")
        << QByteArray("ssdata") << 0x40u << QByteArray("V1.2.3\0tail", 11) << QByteArray("V1.2.3");
    QTest::newRow("no zero: 20 characters") << QByteArray("ssdata") << 0x40u << twentyFive << twentyFive.left(20);
    QTest::newRow("zero first: empty") << QByteArray("ssdata") << 0x40u << QByteArray(1, '\0') << QByteArray();
    QTest::newRow("upper case is another name") << QByteArray("SSDATA") << 0x40u << QByteArray("V9") << QByteArray();
    QTest::newRow("byte 30 not zero") << QByteArray("ssdatax") << 0x40u << QByteArray("V9") << QByteArray();
    QTest::newRow("byte 31 does not matter")
        << QByteArray("ssdata\0z", 8) << 0x40u << QByteArray("V7\0", 3) << QByteArray("V7");
    // clang-format on
    // The next block's bytes follow at once; the text stops at the block's end.
    QTest::newRow("8-byte block, no zero")
        << QByteArray("ssdata") << 8u << QByteArray("TSL-2.30KERNELDATAKE") << QByteArray("TSL-2.30");
    QTest::newRow("block of size 0") << QByteArray("ssdata") << 0u << QByteArray("TSL-2.30") << QByteArray();
}

void TestFlashImage::softwareVersion()
{
    QFETCH(QByteArray, name);
    QFETCH(quint32, blockSize);
    QFETCH(QByteArray, blockBytes);
    QFETCH(QByteArray, version);
    const QString path = folder->create("version.bin",
        ImageBuilder(0x400)
            .dmh(0x40, dmhWith({ testEntry(5, 0x100, blockSize, name) }))
            .bytes(0x140, blockBytes)
            .image());
    FlashImage image;
    QVERIFY(image.load(path.toStdWString()));
    QCOMPARE(image.softwareVersion(), version);
}

void TestFlashImage::carriesVersionAndEntryOffsetsAcrossLoads()
{
    const QString withVersion = folder->create("a.bin",
        ImageBuilder(0x400)
            .dmh(0, dmhWith({ testEntry(7, 0x200, 0x20, "ssdata"), testEntry(9) }))
            .bytes(0x200, QByteArray("R2026\0", 6))
            .image());
    const QString withoutVersion
        = folder->create("b.bin", ImageBuilder(0x400).dmh(0x80, dmhWith({ testEntry(9) })).image());

    FlashImage image;
    QCOMPARE(image.entryOffset(7), 1u);
    QVERIFY(image.load(withVersion.toStdWString()));
    QVERIFY(image.load(withoutVersion.toStdWString()));
    QCOMPARE(image.softwareVersion(), QByteArray("R2026"));
    QCOMPARE(image.entryOffset(7), 28u);
    QCOMPARE(image.entryOffset(9), 0x80u + 28);
    QCOMPARE(image.entryOffset(200), 1u);
}

void TestFlashImage::laterDuplicateIdWinsEntryOffset()
{
    const QString path = folder->create("dup.bin",
        ImageBuilder(0x400)
            .dmh(0, dmhWith({ testEntry(3), testEntry(3) }))
            .dmh(0x200, dmhWith({ testEntry(3) }))
            .image());
    FlashImage image;
    QVERIFY(image.load(path.toStdWString()));
    QCOMPARE(image.entryOffset(3), 0x200u + 28);
    QCOMPARE(image.blockCount(), 3);
}

void TestFlashImage::failedLoadDropsPreviousImage()
{
    const QString good
        = folder->create("good.bin", ImageBuilder(0x100).dmh(0, dmhWith({ testEntry(1) })).image());
    const QString missing = folder->filePath("nowhere/missing.bin");
    FlashImage image;
    QVERIFY(image.load(good.toStdWString()));
    const quint64 generation = image.generation();
    QVERIFY(!image.load(missing.toStdWString()));
    // The path is followed directly by the text, with no blank between.
    QCOMPARE(image.lastError(), missing.toUtf8() + "is not exist!");
    QVERIFY(image.imageData() == nullptr);
    QVERIFY(image.dmhRecords().isEmpty());
    QCOMPARE(image.blockCount(), 0);
    QCOMPARE(image.flashSize(), 0u);
    QVERIFY(image.generation() != generation);

    QVERIFY(!image.load(folder->path().toStdWString()));
    QCOMPARE(image.lastError(), folder->path().toUtf8() + "is not exist!");
}

void TestFlashImage::decodesBlockEntryFields()
{
    TestEntry fields = testEntry(0xAB, 0x200, 0x80, "kernel", 0);
    fields.crc = 0xABCD;
    fields.reserved = 0xBEEF;
    fields.version = "v1.2.3.4";
    fields.year = 2053;
    fields.trailer = "TRAILER!";
    const QByteArray raw = ImageBuilder::entryBytes(fields.toEntry());
    // Year bytes 05 08 are 2053; the layout is little-endian throughout.
    QCOMPARE(raw.mid(32, 2), QByteArray("\x05\x08", 2));
    QCOMPARE(raw.mid(12, 4), QByteArray("\xCD\xAB\0\0", 4));

    const BlockEntry entry = BlockEntry::fromBytes(reinterpret_cast<const uchar*>(raw.constData()));
    QCOMPARE(ImageBuilder::entryBytes(entry), raw);
    QCOMPARE(entry.idText(), QStringLiteral("ab"));
    QCOMPARE(entry.crcCellText(), QStringLiteral("abcd"));
    QCOMPARE(entry.sizeCellText(), QStringLiteral("128"));
    QCOMPARE(entry.timeCellText(), QStringLiteral("2053/3/5/14/7/9"));
    QCOMPARE(entry.nameCellText(), QString::fromLatin1("kernel\0\0", 8));
    QCOMPARE(entry.nameText(), QByteArray("kernel"));
    QCOMPARE(entry.versionCellText(), QStringLiteral("v1.2.3.4"));

    BlockEntry largest = entry;
    largest.size = 0xFFFFFFFF;
    QCOMPARE(largest.sizeCellText(), QStringLiteral("4294967295"));
    largest.time = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };
    QCOMPARE(largest.timeCellText(), QStringLiteral("65535/255/255/255/255/255"));

    // A whole table read at once gives each entry as the entry-by-entry reader does.
    QByteArray table;
    for (int index = 0; index < 3; ++index) {
        TestEntry other = fields;
        other.id = quint8(0x10 + index);
        other.offset = 0x01020304u * quint32(index + 1);
        other.name = "blk" + QByteArray::number(index);
        table += ImageBuilder::entryBytes(other.toEntry());
    }
    const auto* tableBytes = reinterpret_cast<const uchar*>(table.constData());
    const QVector<BlockEntry> entries = BlockEntry::fromTable(tableBytes, 3);
    QCOMPARE(entries.size(), 3);
    QVERIFY(BlockEntry::fromTable(tableBytes, 0).isEmpty());
    for (int index = 0; index < entries.size(); ++index)
        QCOMPARE(ImageBuilder::entryBytes(entries.at(index)),
            table.mid(index * BlockEntry::byteSize, BlockEntry::byteSize));
    QCOMPARE(entries.at(2), BlockEntry::fromBytes(tableBytes + 2 * BlockEntry::byteSize));
}

void TestFlashImage::keepsOnlyEntriesThatFitWhole_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("kept");

    // A DMH at 0x40 claiming 4 entries: header 28 bytes, entries 48 each.
    QTest::newRow("all fit") << 0x40 + 28 + 4 * 48 << 4;
    QTest::newRow("last one short by a byte") << 0x40 + 28 + 4 * 48 - 1 << 3;
    QTest::newRow("only the header") << 0x40 + 28 << 0;
}

void TestFlashImage::keepsOnlyEntriesThatFitWhole()
{
    QFETCH(int, imageSize);
    QFETCH(int, kept);
    TestDmh dmh = dmhWith({ testEntry(1), testEntry(2), testEntry(3), testEntry(4) });
    FlashImage image;
    QVERIFY(
        image.load(folder->create("cut.bin", ImageBuilder(imageSize).dmh(0x40, dmh).image()).toStdWString()));
    QCOMPARE(image.dmhRecords().first().entries.size(), kept);
    QCOMPARE(image.dmhRecords().first().entryCount, quint16(4));
    QCOMPARE(image.blockCount(), kept);
}

void TestFlashImage::boundsHostileHeaderFloods_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("headerCount");
    QTest::addColumn<int>("claimedEntries");
    QTest::addColumn<QByteArray>("error");

    // Overlapping headers each claiming the most entries: a literal catalogue would hold hundreds of
    // millions of entries. The load must stop at its ceiling instead.
    // clang-format off
    QTest::newRow("1 MiB, every 27 bytes") << (1 << 20) << 27 << 38000 << 65535 << QByteArray("Too many DMH entries!");
    QTest::newRow("64 KiB, every 28 bytes") << (1 << 16) << 28 << 2300 << 65535 << QByteArray("Too many DMH entries!");
    QTest::newRow("1,025 empty headers") << (1 << 20) << 39 << 1025 << 0 << QByteArray("Too many DMH entries!");
    QTest::newRow("1,024 empty headers load") << (1 << 20) << 39 << 1024 << 0 << QByteArray();
    // clang-format on
}

void TestFlashImage::boundsHostileHeaderFloods()
{
    QFETCH(int, imageSize);
    QFETCH(int, stride);
    QFETCH(int, headerCount);
    QFETCH(int, claimedEntries);
    QFETCH(QByteArray, error);
    TestDmh header;
    header.entryCount = claimedEntries;
    // Only the bytes up to the recognition byte are needed; a stride of 27 overlaps the next magic.
    const QByteArray oneHeader = ImageBuilder::dmhHeader(header).left(stride);
    QByteArray bytes(imageSize, '\0');
    for (int index = 0; index < headerCount; ++index)
        bytes.replace(index * stride, oneHeader.size(), oneHeader);
    const QString flood = folder->create("flood.bin", bytes);
    const QString good = folder->create(
        "good.bin", ImageBuilder(0x100).dmh(0, dmhWith({ testEntry(42, 0x80, 4, "ssdata") })).image());

    FlashImage image;
    QVERIFY(image.load(good.toStdWString()));
    const bool loaded = image.load(flood.toStdWString());
    QCOMPARE(image.lastError(), error);
    QCOMPARE(loaded, error.isEmpty());
    if (loaded) {
        QCOMPARE(image.dmhRecords().size(), headerCount);
        return;
    }
    QVERIFY(image.dmhRecords().isEmpty());
    QCOMPARE(image.blockCount(), 0);
    // A refused load leaves the carry-over state as the last good image left it.
    QCOMPARE(image.entryOffset(42), 28u);
    QCOMPARE(image.entryOffsets().size(), 1);
}

void TestFlashImage::mappedImageReadsAsACopy()
{
    const QByteArray bytes = StandardImages::twoDmhs();
    const QString path = folder->create("image.bin", bytes);

    FlashImage copied;
    FlashImage mapped;
    QVERIFY(copied.load(path.toStdWString(), FlashImage::ReadMode::Copy));
    QVERIFY(mapped.load(path.toStdWString(), FlashImage::ReadMode::Map));
    QCOMPARE(mapped.imageSize(), copied.imageSize());
    QVERIFY(std::memcmp(mapped.imageData(), copied.imageData(), size_t(copied.imageSize())) == 0);
    QCOMPARE(mapped.dmhRecords().size(), 2);
    for (int index = 0; index < 2; ++index)
        QCOMPARE(mapped.dmhRecords()[index].entries, copied.dmhRecords()[index].entries);
    QCOMPARE(mapped.softwareVersion(), QByteArray("V2.1.0"));
    QCOMPARE(mapped.sdramSize(), 0x04000000u);

    // Writes (a growth works on the image in memory) stay in the process; the file keeps its bytes.
    mapped.bytesToChange()[0x900] = 'X';
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
}

void TestFlashImage::reloadAfterAChangeIsAFreshLoad_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("length");

    TestDmh lookAlike = dmhWith({ testEntry(9, 0x40, 0x10, "late") });
    const QByteArray header = ImageBuilder::dmhHeader(lookAlike);
    QTest::newRow("a DMH appears in a block") << qint64(0x4000) << header << qint64(0x10000);
    QTest::newRow("a DMH appears across the change's start")
        << qint64(0x4000 + 5) << header.mid(5) << qint64(0x10000);
    QTest::newRow("a magic is broken") << qint64(0x8000 + 3) << QByteArray(1, 'x') << qint64(0x10000);
    QTest::newRow("a recognition byte is broken")
        << qint64(0x8000 + 26) << QByteArray(1, '\x31') << qint64(0x10000);
    QTest::newRow("an entry changes") << qint64(0x100 + 28 + 12) << QByteArray(4, '\x7f') << qint64(0x10000);
    QTest::newRow("the end cuts a DMH") << qint64(0x2000) << QByteArray(4, 'x') << qint64(0x8000 + 20);
    QTest::newRow("the only DMHs go") << qint64(0x100) << QByteArray(0x8000, '\xff') << qint64(0x8010);
    QByteArray flood;
    for (int copy = 0; copy < 1100; ++copy)
        flood += ImageBuilder::dmhHeader(dmhWith({}));
    QTest::newRow("a flood of headers") << qint64(0xA000) << flood.left(0x5000) << qint64(0x10000);
}

void TestFlashImage::reloadAfterAChangeIsAFreshLoad()
{
    QFETCH(qint64, position);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, length);

    ImageBuilder builder(0x10000);
    builder.dmh(0x100, dmhWith({ testEntry(1, 0x1000, 0x100, "ssdata"), testEntry(2, 0x2000, 0x800) }));
    builder.dmh(0x8000, dmhWith({ testEntry(3, 0x100, 0x20, "second") }, 0x10000, 7));
    // The start of a magic, which a change may complete.
    builder.bytes(0x1100, QByteArray("V1\0", 3)).bytes(0x4000, "*^_^*");
    QByteArray changed = builder.image();
    changed.replace(int(position), bytes.size(), bytes);
    changed.truncate(int(length));

    FlashImage reloaded;
    QVERIFY(reloaded.load(folder->create("image.bin", builder.image()).toStdWString()));
    std::memcpy(reloaded.bytesToChange() + position, bytes.constData(), size_t(bytes.size()));
    const bool reloadLoaded = reloaded.reloadChanged(length, { { position, bytes.size() } });

    FlashImage fresh;
    QVERIFY(fresh.load(folder->create("image.bin", builder.image()).toStdWString()));
    const bool freshLoaded = fresh.load(folder->create("changed.bin", changed).toStdWString());
    QCOMPARE(reloadLoaded, freshLoaded);
    QCOMPARE(reloaded.lastError(), fresh.lastError());
    QCOMPARE(reloaded.imageSize(), fresh.imageSize());
    QCOMPARE(reloaded.blockCount(), fresh.blockCount());
    QCOMPARE(reloaded.flashSize(), fresh.flashSize());
    QCOMPARE(reloaded.sdramSize(), fresh.sdramSize());
    QCOMPARE(reloaded.softwareVersion(), fresh.softwareVersion());
    QCOMPARE(reloaded.dmhRecords().size(), fresh.dmhRecords().size());
    for (int index = 0; index < fresh.dmhRecords().size(); ++index) {
        const DmhRecord& got = reloaded.dmhRecords()[index];
        const DmhRecord& expected = fresh.dmhRecords()[index];
        QCOMPARE(got.position, expected.position);
        QCOMPARE(got.flashSize, expected.flashSize);
        QCOMPARE(got.entryCount, expected.entryCount);
        QCOMPARE(got.entries, expected.entries);
    }
}

QTEST_GUILESS_MAIN(TestFlashImage)
#include "tst_flashimage.moc"
