#include "imagebuilder.h"
#include "standardimages.h"
#include "testfolder.h"
#include "model/flashimage.h"

#include <QtTest>

#include <cstring>

namespace {

const QByteArray notFound("Can not find DMH.");

TestDmh dmhWith(
    const QVector<TestEntry>& entries, quint32 flashSize = 0x10000, quint32 sdramSize = 0x04000000)
{
    TestDmh dmh = testDmh(entries, flashSize);
    dmh.sdramSize = sdramSize;
    return dmh;
}

// The catalogue in one line: per DMH its position, the entry count and size its header gives and the
// IDs of the entries it keeps ("@40 4/48 [1 2 3]"), then where each ID was listed last ("ids 1:5c").
QString catalogueOf(const FlashImage& image)
{
    QStringList parts;
    for (const DmhRecord& dmh : image.dmhRecords()) {
        QStringList ids;
        for (const BlockEntry& entry : dmh.entries)
            ids << QString::number(entry.id, 16);
        parts << QStringLiteral("@%1 %2/%3 [%4]")
                     .arg(QString::number(dmh.position, 16))
                     .arg(dmh.entryCount)
                     .arg(dmh.entrySize)
                     .arg(ids.join(' '));
    }
    QStringList offsets;
    for (auto offset = image.entryOffsets().cbegin(); offset != image.entryOffsets().cend(); ++offset)
        offsets << QString::number(offset.key(), 16) + ':' + QString::number(offset.value(), 16);
    return parts.join(QStringLiteral("; ")) + (offsets.isEmpty() ? QString() : ", ids " + offsets.join(' '));
}

// A DMH at 0 listing one entry, with these two bytes where the entry size lies.
QByteArray entrySizeBytes(char low, char high)
{
    QByteArray bytes = ImageBuilder(256).dmh(0, dmhWith({ testEntry(1, 0x100, 0) })).image();
    bytes[26] = low;
    bytes[27] = high;
    return bytes;
}

void catalogueRow(const char* name, const QByteArray& image, const QString& catalogue)
{
    QTest::newRow(name) << image << false << (catalogue.isNull() ? notFound : QByteArray()) << catalogue;
}

} // namespace

class TestFlashImage : public QObject {
    Q_OBJECT

private slots:
    void init();

    void readsTheCatalogue_data();
    void readsTheCatalogue();
    void readsHeaderAndEntriesOfSeveralDmhs();
    void softwareVersion_data();
    void softwareVersion();
    void carriesVersionAndEntryOffsetsAcrossLoads();
    void failedLoadDropsPreviousImage();
    void decodesBlockEntryFields();
    void boundsHostileHeaderFloods_data();
    void boundsHostileHeaderFloods();
    void mappedImageReadsAsACopy();
    void reloadAfterAChangeIsAFreshLoad_data();
    void reloadAfterAChangeIsAFreshLoad();

private:
    // Writes `bytes` as the file `name` of the test's folder and loads it into `image`.
    bool load(FlashImage& image, const QByteArray& bytes, const QString& name = QStringLiteral("image.bin"),
        FlashImage::ReadMode mode = FlashImage::ReadMode::Copy)
    {
        return image.load(folder->create(name, bytes).toStdWString(), mode);
    }

    std::unique_ptr<TestFolder> folder;
};

void TestFlashImage::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
}

void TestFlashImage::readsTheCatalogue_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("mapped");
    QTest::addColumn<QByteArray>("error");
    // Null: the load fails with `error`.
    QTest::addColumn<QString>("catalogue");

    QByteArray lonelyMagic = ImageBuilder(64).dmh(8, dmhWith({})).image();
    lonelyMagic[8 + 26] = 0x31;
    // The header must fit whole: a magic 27 bytes before the end cannot be a DMH.
    for (const bool mapped : { false, true }) {
        const QVector<QPair<const char*, QByteArray>> failing = { { "empty file", QByteArray() },
            { "only 0xFF", QByteArray(4096, '\xFF') }, { "magic without 0x30 at +26", lonelyMagic },
            { "header cut by the end", ImageBuilder(100).dmh(73, dmhWith({})).image() } };
        for (const auto& [name, image] : failing)
            QTest::addRow("%s, %s", name, mapped ? "mapped" : "copied")
                << image << mapped << notFound << QString();
    }

    // Only the low byte of the entry size says whether this is a DMH.
    catalogueRow("48, high 0", entrySizeBytes(0x30, 0x00), "@0 1/48 [1], ids 1:1c");
    catalogueRow("48, high byte ignored", entrySizeBytes(0x30, 0x01), "@0 1/304 [1], ids 1:1c");
    catalogueRow("49", entrySizeBytes(0x31, 0x00), QString());
    catalogueRow("0", entrySizeBytes(0x00, 0x00), QString());

    // Every position is tested, inside a DMH too: a header over the second entry makes its ID '*'.
    const TestDmh fourEntries = dmhWith({ testEntry(1), testEntry(2), testEntry(3), testEntry(4) });
    QByteArray nested = ImageBuilder(0x400).dmh(0, fourEntries).image();
    nested.replace(28 + 48, 28, ImageBuilder::dmhHeader(dmhWith({})));
    catalogueRow("a DMH inside another's entries", nested,
        "@0 4/48 [1 2a 3 4]; @4c 0/48 [], ids 1:1c 3:7c 4:ac 2a:4c");
    catalogueRow("a DMH without entries", StandardImages::emptyDmh(), "@40 0/48 []");
    const QByteArray duplicates = ImageBuilder(0x400)
                                      .dmh(0, dmhWith({ testEntry(3), testEntry(3) }))
                                      .dmh(0x200, dmhWith({ testEntry(3) }))
                                      .image();
    catalogueRow(
        "an ID listed last wins its entry offset", duplicates, "@0 2/48 [3 3]; @200 1/48 [3], ids 3:21c");

    // A DMH at 0x40 claiming 4 entries keeps only those that lie whole in the image.
    const auto cut = [&](int size) { return ImageBuilder(size).dmh(0x40, fourEntries).image(); };
    catalogueRow("all entries fit", cut(0x40 + 28 + 4 * 48), "@40 4/48 [1 2 3 4], ids 1:5c 2:8c 3:bc 4:ec");
    catalogueRow("the last entry short by a byte", cut(0x40 + 28 + 4 * 48 - 1),
        "@40 4/48 [1 2 3], ids 1:5c 2:8c 3:bc");
    catalogueRow("only the header", cut(0x40 + 28), "@40 4/48 []");
}

void TestFlashImage::readsTheCatalogue()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, mapped);
    QFETCH(QByteArray, error);
    QFETCH(QString, catalogue);
    FlashImage loaded;
    QCOMPARE(
        load(loaded, image, "image.bin", mapped ? FlashImage::ReadMode::Map : FlashImage::ReadMode::Copy),
        error.isEmpty());
    QCOMPARE(loaded.lastError(), error);
    QCOMPARE(loaded.imageSize(), qint64(image.size()));
    QCOMPARE(catalogueOf(loaded), catalogue);
    int listed = 0;
    for (const DmhRecord& dmh : loaded.dmhRecords())
        listed += dmh.entries.size();
    QCOMPARE(loaded.blockCount(), listed);
}

void TestFlashImage::readsHeaderAndEntriesOfSeveralDmhs()
{
    FlashImage image;
    QVERIFY2(load(image, StandardImages::twoDmhs()), image.lastError().constData());
    QVERIFY(image.lastError().isEmpty());
    QCOMPARE(image.blockCount(), 8);
    QCOMPARE(catalogueOf(image),
        QStringLiteral("@100 3/48 [ab 1f 0]; @1000 5/48 [1 2 3 4 5], "
                       "ids 0:17c 1:101c 2:104c 3:107c 4:10ac 5:10dc 1f:14c ab:11c"));
    // The sizes are those of the DMH found last; the first one's differ in every field.
    QCOMPARE(image.flashSize(), 0xFFFFFFFFu);
    QCOMPARE(image.sdramSize(), 0x04000000u);
    const DmhRecord& low = image.dmhRecords().at(0);
    QCOMPARE(low.dataCapacity, 0x800000u);
    QCOMPARE(low.sdramSize, 0x02000000u);
    QCOMPARE(low.flashSize, 0x10000u);
}

void TestFlashImage::softwareVersion_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<quint32>("blockSize");
    QTest::addColumn<QByteArray>("blockBytes");
    QTest::addColumn<QByteArray>("version");

    const auto row = [](const char* name, const QByteArray& blockBytes, const QByteArray& version,
                         const QByteArray& entryName = "ssdata", quint32 blockSize = 0x40) {
        QTest::newRow(name) << entryName << blockSize << blockBytes << version;
    };
    const QByteArray twentyFive("ABCDEFGHIJKLMNOPQRSTUVWXY");
    row("text ends at zero", QByteArray("V1.2.3\0tail", 11), "V1.2.3");
    row("no zero: 20 characters", twentyFive, twentyFive.left(20));
    row("zero first: empty", QByteArray(1, '\0'), QByteArray());
    row("upper case is another name", "V9", QByteArray(), "SSDATA");
    row("byte 30 not zero", "V9", QByteArray(), "ssdatax");
    row("byte 31 does not matter", QByteArray("V7\0", 3), "V7", QByteArray("ssdata\0z", 8));
    // The next block's bytes follow at once; the text stops at the block's end.
    row("8-byte block, no zero", "TSL-2.30KERNELDATAKE", "TSL-2.30", "ssdata", 8);
    row("block of size 0", "TSL-2.30", QByteArray(), "ssdata", 0);
}

void TestFlashImage::softwareVersion()
{
    QFETCH(QByteArray, name);
    QFETCH(quint32, blockSize);
    QFETCH(QByteArray, blockBytes);
    QFETCH(QByteArray, version);
    FlashImage image;
    QVERIFY(load(image,
        ImageBuilder(0x400)
            .dmh(0x40, dmhWith({ testEntry(5, 0x100, blockSize, name) }))
            .bytes(0x140, blockBytes)
            .image()));
    QCOMPARE(image.softwareVersion(), version);
}

void TestFlashImage::carriesVersionAndEntryOffsetsAcrossLoads()
{
    FlashImage image;
    QCOMPARE(image.entryOffset(7), 1u);
    QVERIFY(load(image,
        ImageBuilder(0x400)
            .dmh(0, dmhWith({ testEntry(7, 0x200, 0x20, "ssdata"), testEntry(9) }))
            .bytes(0x200, QByteArray("R2026\0", 6))
            .image()));
    QVERIFY(load(image, ImageBuilder(0x400).dmh(0x80, dmhWith({ testEntry(9) })).image()));
    QCOMPARE(image.softwareVersion(), QByteArray("R2026"));
    QCOMPARE(image.entryOffset(7), 28u);
    QCOMPARE(image.entryOffset(9), 0x80u + 28);
    QCOMPARE(image.entryOffset(200), 1u);
}

void TestFlashImage::failedLoadDropsPreviousImage()
{
    const QString missing = folder->filePath("nowhere/missing.bin");
    FlashImage image;
    QVERIFY(load(image, ImageBuilder(0x100).dmh(0, dmhWith({ testEntry(1) })).image()));
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

void TestFlashImage::boundsHostileHeaderFloods_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("headerCount");
    QTest::addColumn<int>("claimedEntries");
    QTest::addColumn<QByteArray>("error");

    // Overlapping headers each claiming the most entries: a literal catalogue would hold hundreds of
    // millions of entries. The load must stop at its ceiling instead.
    const QByteArray tooMany("Too many DMH entries!");
    QTest::newRow("1 MiB, every 27 bytes") << (1 << 20) << 27 << 38000 << 65535 << tooMany;
    QTest::newRow("64 KiB, every 28 bytes") << (1 << 16) << 28 << 2300 << 65535 << tooMany;
    QTest::newRow("1,025 empty headers") << (1 << 20) << 39 << 1025 << 0 << tooMany;
    QTest::newRow("1,024 empty headers load") << (1 << 20) << 39 << 1024 << 0 << QByteArray();
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
    QByteArray flood(imageSize, '\0');
    for (int index = 0; index < headerCount; ++index)
        flood.replace(index * stride, oneHeader.size(), oneHeader);

    FlashImage image;
    QVERIFY(load(image, ImageBuilder(0x100).dmh(0, dmhWith({ testEntry(42, 0x80, 4, "ssdata") })).image()));
    const bool loaded = load(image, flood, "flood.bin");
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
    FlashImage copied;
    FlashImage mapped;
    QVERIFY(load(copied, bytes));
    QVERIFY(mapped.load(folder->filePath("image.bin").toStdWString(), FlashImage::ReadMode::Map));
    QCOMPARE(mapped.imageSize(), copied.imageSize());
    // Writers take a mapped image's bytes from its file rather than through the mapping.
    QVERIFY(mapped.mapsItsFile() && !copied.mapsItsFile());
    QVERIFY(std::memcmp(mapped.imageData(), copied.imageData(), size_t(copied.imageSize())) == 0);
    QCOMPARE(mapped.dmhRecords().size(), 2);
    for (int index = 0; index < 2; ++index)
        QCOMPARE(mapped.dmhRecords()[index].entries, copied.dmhRecords()[index].entries);
    QCOMPARE(mapped.softwareVersion(), QByteArray("V2.1.0"));
    QCOMPARE(mapped.sdramSize(), 0x04000000u);

    // Writes (a growth works on the image in memory) stay in the process; the file keeps its bytes.
    mapped.bytesToChange()[0x900] = 'X';
    QCOMPARE(folder->read("image.bin"), bytes);
}

void TestFlashImage::reloadAfterAChangeIsAFreshLoad_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("length");

    const auto change = [](const char* name, qint64 position, const QByteArray& bytes,
                            qint64 length = 0x10000) { QTest::newRow(name) << position << bytes << length; };
    const QByteArray header = ImageBuilder::dmhHeader(dmhWith({ testEntry(9, 0x40, 0x10, "late") }));
    change("a DMH appears in a block", 0x4000, header);
    change("a DMH appears across the change's start", 0x4000 + 5, header.mid(5));
    change("a magic is broken", 0x8000 + 3, QByteArray(1, 'x'));
    change("a recognition byte is broken", 0x8000 + 26, QByteArray(1, '\x31'));
    change("an entry changes", 0x100 + 28 + 12, QByteArray(4, '\x7f'));
    change("the end cuts a DMH", 0x2000, QByteArray(4, 'x'), 0x8000 + 20);
    change("the only DMHs go", 0x100, QByteArray(0x8000, '\xff'), 0x8010);
    change("a flood of headers", 0xA000, ImageBuilder::dmhHeader(dmhWith({})).repeated(1100).left(0x5000));
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
    QVERIFY(load(reloaded, builder.image()));
    std::memcpy(reloaded.bytesToChange() + position, bytes.constData(), size_t(bytes.size()));
    const bool reloadLoaded = reloaded.reloadChanged(length, { { position, bytes.size() } });

    FlashImage fresh;
    QVERIFY(load(fresh, builder.image()));
    QCOMPARE(reloadLoaded, load(fresh, changed, "changed.bin"));
    QCOMPARE(reloaded.lastError(), fresh.lastError());
    QCOMPARE(reloaded.imageSize(), fresh.imageSize());
    QCOMPARE(reloaded.blockCount(), fresh.blockCount());
    QCOMPARE(reloaded.flashSize(), fresh.flashSize());
    QCOMPARE(reloaded.sdramSize(), fresh.sdramSize());
    QCOMPARE(reloaded.softwareVersion(), fresh.softwareVersion());
    QCOMPARE(catalogueOf(reloaded), catalogueOf(fresh));
    for (int index = 0; index < fresh.dmhRecords().size(); ++index) {
        QCOMPARE(reloaded.dmhRecords()[index].flashSize, fresh.dmhRecords()[index].flashSize);
        QCOMPARE(reloaded.dmhRecords()[index].entries, fresh.dmhRecords()[index].entries);
    }
}

QTEST_GUILESS_MAIN(TestFlashImage)
#include "tst_flashimage.moc"
