#include "clitestcase.h"

#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "model/imagelayout.h"

#include <QBitArray>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

namespace {

qint64 number(const QJsonObject& object, const char* key, double absent = 0)
{
    return qint64(object.value(key).toDouble(absent));
}

// A block of a diff report in one line: "DMH:ID status change,change".
QStringList diffBlockLines(const QJsonArray& blocks)
{
    QStringList lines;
    for (const QJsonValue& value : blocks) {
        const QJsonObject block = value.toObject();
        const QStringList changes = block.value("changes").toVariant().toStringList();
        lines << QStringLiteral("%1:%2 %3")
                     .arg(block.value("dmhIndex").toInt())
                     .arg(block.value("idText").toString(), block.value("status").toString())
                + (changes.isEmpty() ? QString() : ' ' + changes.join(','));
    }
    return lines;
}

// What a diff reports about the images and DMHs: "imageSize", "dmh0 entryCount,entriesRead", "dmh1 removed".
QStringList diffOtherLines(const QJsonObject& document)
{
    QStringList lines = document.value("imageChanges").toVariant().toStringList();
    for (const QJsonValue& value : document.value("dmhs").toArray()) {
        const QJsonObject dmh = value.toObject();
        const QString status = dmh.value("status").toString();
        const QStringList changes = dmh.value("changes").toVariant().toStringList();
        if (status != "same")
            lines << QStringLiteral("dmh%1 %2")
                         .arg(dmh.value("index").toInt())
                         .arg(changes.isEmpty() ? status : changes.join(','));
    }
    return lines;
}

// The bytes a comparison reports, counted the slow way: how many of `length` positions differ, the first.
QPair<qint64, qint64> differencesOf(const QByteArray& a, qint64 startA, const QByteArray& b, qint64 startB,
    qint64 length, const QBitArray& skipped = QBitArray())
{
    qint64 count = 0;
    qint64 first = -1;
    for (qint64 index = 0; index < length; ++index) {
        if ((skipped.isEmpty() || !skipped.testBit(int(index)))
            && a[int(startA + index)] != b[int(startB + index)]) {
            ++count;
            first = first < 0 ? index : first;
        }
    }
    return { count, first };
}

qint64 heldOf(const QJsonObject& side, qint64 imageLength)
{
    return qBound<qint64>(0, imageLength - number(side, "start"), number(side, "size"));
}

// Every matched block's byte comparison and the comparison outside every block, checked against a byte
// by byte reference over the two images.
void checkDiffAgainstReference(const QByteArray& a, const QByteArray& b, const QJsonObject& document)
{
    const qint64 common = qMin(a.size(), b.size());
    QBitArray inBlock { int(common) };
    for (const QJsonValue& value : document.value("blocks").toArray()) {
        const QJsonObject block = value.toObject();
        const QJsonObject sideA = block.value("a").toObject();
        const QJsonObject sideB = block.value("b").toObject();
        for (const auto& [side, image] : { qMakePair(sideA, &a), qMakePair(sideB, &b) }) {
            if (side.isEmpty())
                continue;
            const qint64 held = heldOf(side, image->size());
            QCOMPARE(number(side, "held"), held);
            for (qint64 position = number(side, "start");
                 position < qMin(number(side, "start") + held, common); ++position)
                inBlock.setBit(int(position));
        }
        if (sideA.isEmpty() || sideB.isEmpty()) {
            QVERIFY(block.value("bytes").isNull());
            continue;
        }
        const qint64 length = qMin(heldOf(sideA, a.size()), heldOf(sideB, b.size()));
        const auto [count, first]
            = differencesOf(a, number(sideA, "start"), b, number(sideB, "start"), length);
        const QJsonObject bytes = block.value("bytes").toObject();
        QCOMPARE(number(bytes, "compared"), length);
        QCOMPARE(number(bytes, "differing"), count);
        QCOMPARE(number(bytes, "firstDifference", -1), first);
    }
    const auto [count, first] = differencesOf(a, 0, b, 0, common, inBlock);
    const QJsonObject outside = document.value("outsideBlocks").toObject();
    QCOMPARE(number(outside, "compared"), common - inBlock.count(true));
    QCOMPARE(number(outside, "differing"), count);
    QCOMPARE(number(outside, "firstDifference", -1), first);
}

// Three blocks in one DMH at 0, two of them with ID 5; `entries` replaces the table when given.
QByteArray duplicateIdImage(const QVector<TestEntry>& entries = {}, qint64 patchPosition = -1)
{
    const QVector<TestEntry> three { testEntry(5, 0x1000, 0x100, "one"), testEntry(5, 0x2000, 0x100, "two"),
        testEntry(6, 0x3000, 0x100, "six") };
    ImageBuilder builder(0x10000);
    builder.dmh(0, testDmh(entries.isEmpty() ? three : entries, 0x10000));
    builder.fill(0x1000, 0x100, 'a').fill(0x2000, 0x100, 'b').fill(0x3000, 0x100, 'c');
    if (patchPosition >= 0)
        builder.fill(patchPosition, 1, 'x');
    return builder.image();
}

// The standard image with a second DMH at 0x40000 listing one block.
QByteArray twoDmhImage()
{
    QByteArray image = StandardImages::fiveBlocks();
    overlay(image, 0x40000,
        ImageBuilder::dmhHeader(testDmh({ testEntry(0x40, 0x1000, 0x100, "extra") }, quint32(imageSize))));
    overlay(image, 0x41000, QByteArray(0x100, 'e'));
    return image;
}

// `image` with block `id` replaced by `replacement` through the core operation, stamped with the fixed clock.
QByteArray replacedIn(const QByteArray& image, const QString& id, const QByteArray& replacement)
{
    ImageFixture fixture;
    const bool replaced = fixture.load(image) && fixture.write("replacement.bin", replacement)
        && fixture.replaceBlock(id, "replacement.bin", "b.bin").success;
    return replaced ? fixture.read("b.bin") : QByteArray();
}

} // namespace

// tessel-cli diff: each block's status against a byte-by-byte reference, and images it cannot compare.
class TestCliDiff : public CliTestCase {
    Q_OBJECT

private slots:
    void diffReportsEachBlock_data();
    void diffReportsEachBlock();
    void diffOfUnreadableImages_data();
    void diffOfUnreadableImages();
};

void TestCliDiff::diffReportsEachBlock_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<QStringList>("blocks");
    QTest::addColumn<QStringList>("others");
    // -1: only the reference comparison is checked.
    QTest::addColumn<qint64>("outsideDiffering");
    QTest::addColumn<QString>("textPart");

    const QByteArray standard = StandardImages::fiveBlocks();
    const QStringList allSame { "0:10 same", "0:ab same", "0:20 same", "0:21 same", "0:22 same" };
    const auto withBlock = [&allSame](int row, const QString& line, const QString& next = {}) {
        QStringList lines = allSame;
        lines[row] = line;
        if (!next.isEmpty())
            lines[row + 1] = next;
        return lines;
    };
    const auto patched = [&standard](qint64 position, const QByteArray& bytes) {
        QByteArray image = standard;
        overlay(image, position, bytes);
        return image;
    };
    const QStringList none;
    const QStringList entryCount { "blockNumber", "dmh0 entryCount,entriesRead" };
    const QStringList sizeChanged { "imageSize" };

    // clang-format off
    QTest::newRow("identical") << standard << standard << allSame << none << qint64(0)
        << "The images are identical: 393216 bytes, 5 blocks.";
    QTest::newRow("padded replacement") << standard << replacedIn(standard, "10", ImageBuilder::randomBytes(0x123, 7))
        << withBlock(0, "0:10 changed bytes") << none << qint64(0) << "Blocks: 1 changed, 0 added, 0 removed, 4 same.";
    QTest::newRow("record replacement") << standard << replacedIn(standard, "20", ImageBuilder::randomBytes(2000, 8))
        << withBlock(2, "0:20 changed crc,bytes") << none << qint64(-1) << "crc ";
    QTest::newRow("growth moves the block behind") << standard
        << replacedIn(standard, "21", ImageBuilder::randomBytes(0x10800, 9))
        << withBlock(3, "0:21 changed size,crc,bytes", "0:22 changed offset") << none << qint64(-1)
        << "offset 0x30000 -> 0x30800";
    QTest::newRow("name only") << standard << patched(entryField(0, BlockEntry::nameOffset + 2), "a")
        << withBlock(0, "0:10 changed name") << none << qint64(1) << "name boot -> boat";
    QTest::newRow("version only") << standard << patched(entryField(1, BlockEntry::versionOffset), "2.0")
        << withBlock(1, "0:ab changed version") << none << qint64(3) << "version  -> 2.0";
    QTest::newRow("time only") << standard << patched(entryField(2, BlockEntry::timeOffset + 6), "\x0a")
        << withBlock(2, "0:20 changed time") << none << qint64(1) << "time 2014/3/5/14/7/9 -> 2014/3/5/14/7/10";
    QByteArray flagged = patched(entryField(3, BlockEntry::flagsOffset), QByteArray(1, '\0'));
    overlay(flagged, entryField(3, BlockEntry::trailerOffset), "T");
    QTest::newRow("flags and trailer") << standard << flagged << withBlock(3, "0:21 changed flags,trailer")
        << none << qint64(2) << "flags 1 -> 0";
    // The ssdata block holds the software version the summary shows.
    QTest::newRow("software version") << standard << patched(dmhPosition + 0x2000 + 5, "4")
        << withBlock(1, "0:ab changed bytes") << QStringList { "softwareVersion" } << qint64(0)
        << "Software version: V1.2.3 -> V1.2.4";
    // clang-format on

    // A sixth entry, 0x30 "extra", with its block in the free space behind the others.
    QByteArray added = patched(dmhPosition + ImageLayout::entryCountOffset, "\x06");
    overlay(added, entryField(5, 0),
        ImageBuilder::entryBytes(testEntry(0x30, 0x40000, 0x100, "extra").toEntry()));
    overlay(added, dmhPosition + 0x40000, QByteArray(0x100, 'x'));
    // clang-format off
    QTest::newRow("block added")
        << standard << added << allSame + QStringList { "0:30 added" } << entryCount << qint64(-1) << "256 bytes at 0x40100";
    QTest::newRow("block removed") << added << standard << allSame + QStringList { "0:30 removed" } << entryCount << qint64(-1)
        << "Blocks: 0 changed, 0 added, 1 removed, 5 same.";
    QTest::newRow("DMH removed") << twoDmhImage() << standard << allSame + QStringList { "1:40 removed" }
        << QStringList { "blockNumber", "dmh1 removed" } << qint64(-1) << "DMH 1: only in A, at 0x40000";
    // clang-format on

    // Two bytes in the gaps, in images 3 bytes longer: one at 0x10ff, one in the 3-byte tail of the last
    // gap, which is not a multiple of 8.
    const QByteArray longer = standard + QByteArray(3, '\xFF');
    QByteArray outside = longer;
    overlay(outside, 0x10FF, "\x01");
    overlay(outside, imageSize + 2, "\x02");
    QTest::newRow("bytes outside every block")
        << longer << outside << allSame << none << qint64(2) << "Outside every block: 2 of ";
    // Block 30 holds 10, ab and 20; a byte in it but in neither of those is inside a block all the same.
    QByteArray holding = added;
    overlay(holding, entryField(5, 0),
        ImageBuilder::entryBytes(testEntry(0x30, 0x800, 0x20000, "all").toEntry()));
    QByteArray holdingChanged = holding;
    overlay(holdingChanged, 0x1A00, "\x03");
    // clang-format off
    QTest::newRow("byte in a block that holds others") << holding << holdingChanged
        << allSame + QStringList { "0:30 changed bytes" }
        << none << qint64(0) << "bytes: 1 of 131072 differ, first at +0x1100 (0x1a00)";
    QTest::newRow("B longer") << standard << standard + QByteArray(0x10000, '\xFF') << allSame << sizeChanged << qint64(0)
        << "Image size: 393216 -> 458752";
    // Block 22 lies at 0x30100..0x31100: B holds its first 0x703 bytes, and only those are compared.
    QTest::newRow("B cut through a block") << standard << patched(0x30802, "\x04").left(0x30803)
        << withBlock(4, "0:22 changed bytes,held") << sizeChanged << qint64(0)
        << "bytes: 1 of 1795 differ, first at +0x702 (0x30802); held: A 4096 of 4096 bytes, B 1795 of 4096; "
           "1795 compared";
    // B ends 0x800 bytes into block 21 and before block 22: equal where both hold them, yet neither is same.
    QTest::newRow("B cut before a block") << standard << standard.left(0x20900)
        << withBlock(3, "0:21 changed held", "0:22 changed held") << sizeChanged << qint64(0)
        << "Blocks: 2 changed, 0 added, 0 removed, 3 same.";
    QTest::newRow("A cut before a block") << standard.left(0x30100) << standard << withBlock(4, "0:22 changed held")
        << sizeChanged << qint64(0) << "held: A 0 of 4096 bytes, B 4096 of 4096; 0 compared";
    // Byte-identical files (exit 0) whose last block reaches past their end: that block is not the same.
    QTest::newRow("identical, a block past the end") << standard.left(0x30800) << standard.left(0x30800)
        << withBlock(4, "0:22 changed held")
        << none << qint64(0) << "The images are identical: 198656 bytes, 5 blocks, 1 of them not held whole.";
    QTest::newRow("duplicate IDs: the second one changed") << duplicateIdImage() << duplicateIdImage({}, 0x20FF)
        << QStringList { "0:5 same", "0:5 changed bytes", "0:6 same" } << none << qint64(0)
            << "bytes: 1 of 256 differ, first at +0xff (0x20ff)";
    // B lists only the second ID 5: A's first ID 5 is matched with it, A's second is removed.
    QTest::newRow("duplicate IDs: the first one gone") << duplicateIdImage()
        << duplicateIdImage({ testEntry(5, 0x2000, 0x100, "two"), testEntry(6, 0x3000, 0x100, "six") })
        << QStringList { "0:5 changed offset,name,bytes", "0:5 removed", "0:6 same" } << entryCount << qint64(-1)
        << "bytes: 256 of 256 differ, first at +0x0 (A 0x1000, B 0x2000)";
    // clang-format on
}

void TestCliDiff::diffReportsEachBlock()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(QStringList, blocks);
    QFETCH(QStringList, others);
    QFETCH(qint64, outsideDiffering);
    QFETCH(QString, textPart);

    QVERIFY(!b.isEmpty() && fixture->write("image.bin", a));
    const QString pathB = create("b.bin", b);
    const QStringList filesBefore = fixture->entries();

    const bool identical = a == b;
    const CliRun json = runCommand({ "diff", "--json", imagePath, pathB });
    CLI_COMPARE_EXIT(json, identical ? 0 : 1);
    const QJsonObject document = json.json();
    QCOMPARE(document.value("identical").toBool(!identical), identical);
    QCOMPARE(document.value("images").toVariant().toStringList(), QStringList({ imagePath, pathB }));
    QCOMPARE(document.value("image").toString(), imagePath);
    QCOMPARE(diffBlockLines(document.value("blocks").toArray()), blocks);
    QCOMPARE(diffOtherLines(document), others);
    if (outsideDiffering >= 0)
        QCOMPARE(number(document.value("outsideBlocks").toObject(), "differing"), outsideDiffering);
    checkDiffAgainstReference(a, b, document);
    if (QTest::currentTestFailed())
        return;

    // Text: one row per block under a header, each with the status JSON gives, and the verdict last.
    const CliRun text = runCommand({ "diff", imagePath, pathB });
    CLI_COMPARE_EXIT(text, json.exitCode);
    QVERIFY2(text.err.isEmpty(), text.err.constData());
    const QString output = QString::fromUtf8(text.out);
    QVERIFY2(output.contains(textPart), qPrintable(output));
    const QStringList lines = output.trimmed().split('\n');
    QVERIFY2(lines.size() > blocks.size(), qPrintable(output));
    QVERIFY(lines.first().startsWith("DMH  ID  Name"));
    for (int row = 0; row < blocks.size(); ++row)
        QVERIFY2(lines[row + 1].contains("  " + blocks[row].section(' ', 1, 1) + "  "),
            qPrintable(lines[row + 1]));
    QCOMPARE(lines.last(), document.value("message").toString());
    QVERIFY(lines.last().startsWith(identical ? "The images are identical" : "The images differ."));
    QCOMPARE(fixture->entries(), filesBefore);
}

void TestCliDiff::diffOfUnreadableImages_data()
{
    // The images; IMAGE is the standard image, NODMH a file without DMH, MISSING a path that names nothing,
    // "" an empty argument.
    QTest::addColumn<QString>("images");
    // The explanation names the image that cannot be read; empty for a usage error.
    QTest::addColumn<QString>("message");

    const QString noDmh = "Can not find DMH.\nNODMH holds no DMH: none of its 4096 bytes starts the 12 bytes "
                          "\"*^_^*DM(^o^)\" with 0x30 26 bytes after their start.";
    QTest::newRow("A without DMH") << "NODMH IMAGE" << noDmh;
    QTest::newRow("B without DMH") << "IMAGE NODMH" << noDmh;
    QTest::newRow("B missing") << "IMAGE MISSING"
                               << "MISSINGis not exist!\nMISSING: No such file or directory.";
    // The two are read at once; when both fail, A's failure is the one told.
    QTest::newRow("A missing, B without DMH") << "MISSING NODMH"
                                              << "MISSINGis not exist!\nMISSING: No such file or directory.";
    QTest::newRow("A without DMH, B missing") << "NODMH MISSING" << noDmh;
    QTest::newRow("one image") << "IMAGE" << QString();
    QTest::newRow("three images") << "IMAGE IMAGE IMAGE" << QString();
    QTest::newRow("empty B") << "IMAGE \"\"" << QString();
    // WIDE lists 9 blocks over nearly all of its 64 KiB, each a range of its own; WIDER differs in one byte.
    QTest::newRow("tables too costly to compare")
        << "WIDE WIDER"
        << "Too much to compare: the blocks span 9 distinct byte ranges, 587484 bytes in all, more than 8 "
           "times the 65536 bytes of each image.";
}

void TestCliDiff::diffOfUnreadableImages()
{
    QFETCH(QString, images);
    QFETCH(QString, message);

    TestDmh wideDmh;
    for (int index = 0; index < 9; ++index)
        wideDmh.entries.append(testEntry(quint8(index), 0x100, quint32(0xFF00 - index)));
    ImageBuilder builder(0x10000);
    const QString wide = create("wide.bin", builder.dmh(0, wideDmh).image());
    // WIDER before WIDE, which it starts with.
    const Names names { { "NODMH", create("nodmh.bin", QByteArray(0x1000, '\xFF')) },
        { "WIDER", create("wider.bin", builder.fill(0x8000, 1, 'x').image()) }, { "WIDE", wide } };
    const QStringList filesBefore = fixture->entries();

    const CliRun text = runCommand(words("diff " + images, names));
    CLI_COMPARE_EXIT(text, 2);
    QVERIFY2(text.out.isEmpty(), text.out.constData());
    if (message.isEmpty())
        QVERIFY2(text.err.contains("Run 'tessel-cli diff --help'"), text.err.constData());
    else
        QCOMPARE(QString::fromUtf8(text.err).trimmed(), fill(message, names));

    const CliRun json = runCommand(words("diff --json " + images, names));
    CLI_COMPARE_EXIT(json, 2);
    if (!message.isEmpty()) {
        const QStringList lines = fill(message, names).split('\n');
        checkFields(json.json(), { { "exitStatus", 2 }, { "message", lines.first() } });
        QCOMPARE(json.json().value("detail").toString(), lines.value(1));
        QVERIFY(!json.json().contains("identical"));
    }
    QCOMPARE(fixture->entries(), filesBefore);
}

QTEST_GUILESS_MAIN(TestCliDiff)
#include "tst_clidiff.moc"
