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

// A block of a diff report in one line: "DMH:ID status change,change".
QStringList diffBlockLines(const QJsonArray& blocks)
{
    QStringList lines;
    for (const QJsonValue& value : blocks) {
        const QJsonObject block = value.toObject();
        QString line = QStringLiteral("%1:%2 %3")
                           .arg(block.value(QStringLiteral("dmhIndex")).toInt())
                           .arg(block.value(QStringLiteral("idText")).toString(),
                               block.value(QStringLiteral("status")).toString());
        const QStringList changes = block.value(QStringLiteral("changes")).toVariant().toStringList();
        if (!changes.isEmpty())
            line += QLatin1Char(' ') + changes.join(QLatin1Char(','));
        lines << line;
    }
    return lines;
}

// What a diff reports about the images and DMHs: "imageSize", "dmh0 entryCount,entriesRead", "dmh1 removed".
QStringList diffOtherLines(const QJsonObject& document)
{
    QStringList lines = document.value(QStringLiteral("imageChanges")).toVariant().toStringList();
    for (const QJsonValue& value : document.value(QStringLiteral("dmhs")).toArray()) {
        const QJsonObject dmh = value.toObject();
        const QString status = dmh.value(QStringLiteral("status")).toString();
        if (status == QLatin1String("same"))
            continue;
        const QStringList changes = dmh.value(QStringLiteral("changes")).toVariant().toStringList();
        lines << QStringLiteral("dmh%1 %2")
                     .arg(dmh.value(QStringLiteral("index")).toInt())
                     .arg(changes.isEmpty() ? status : changes.join(QLatin1Char(',')));
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
        if (!skipped.isEmpty() && skipped.testBit(int(index)))
            continue;
        if (a[int(startA + index)] != b[int(startB + index)]) {
            ++count;
            first = first < 0 ? index : first;
        }
    }
    return { count, first };
}

qint64 heldOf(const QJsonObject& side, qint64 imageLength)
{
    const qint64 start = qint64(side.value(QStringLiteral("start")).toDouble());
    return qBound<qint64>(0, imageLength - start, qint64(side.value(QStringLiteral("size")).toDouble()));
}

// Every matched block's byte comparison and the comparison outside every block, checked against a byte
// by byte reference over the two images.
void checkDiffAgainstReference(const QByteArray& a, const QByteArray& b, const QJsonObject& document)
{
    const qint64 common = qMin(a.size(), b.size());
    QBitArray inBlock { int(common) };
    for (const QJsonValue& value : document.value(QStringLiteral("blocks")).toArray()) {
        const QJsonObject block = value.toObject();
        const QJsonObject sideA = block.value(QStringLiteral("a")).toObject();
        const QJsonObject sideB = block.value(QStringLiteral("b")).toObject();
        for (const auto& [side, image] : { qMakePair(sideA, &a), qMakePair(sideB, &b) }) {
            if (side.isEmpty())
                continue;
            const qint64 start = qint64(side.value(QStringLiteral("start")).toDouble());
            const qint64 held = heldOf(side, image->size());
            QCOMPARE(qint64(side.value(QStringLiteral("held")).toDouble()), held);
            for (qint64 position = start; position < qMin(start + held, common); ++position)
                inBlock.setBit(int(position));
        }
        if (sideA.isEmpty() || sideB.isEmpty()) {
            QVERIFY(block.value(QStringLiteral("bytes")).isNull());
            continue;
        }
        const qint64 length = qMin(heldOf(sideA, a.size()), heldOf(sideB, b.size()));
        const auto [count, first] = differencesOf(a, qint64(sideA.value(QStringLiteral("start")).toDouble()),
            b, qint64(sideB.value(QStringLiteral("start")).toDouble()), length);
        const QJsonObject bytes = block.value(QStringLiteral("bytes")).toObject();
        QCOMPARE(qint64(bytes.value(QStringLiteral("compared")).toDouble()), length);
        QCOMPARE(qint64(bytes.value(QStringLiteral("differing")).toDouble()), count);
        QCOMPARE(qint64(bytes.value(QStringLiteral("firstDifference")).toDouble(-1)), first);
    }
    const auto [count, first] = differencesOf(a, 0, b, 0, common, inBlock);
    const QJsonObject outside = document.value(QStringLiteral("outsideBlocks")).toObject();
    QCOMPARE(qint64(outside.value(QStringLiteral("compared")).toDouble()), common - inBlock.count(true));
    QCOMPARE(qint64(outside.value(QStringLiteral("differing")).toDouble()), count);
    QCOMPARE(qint64(outside.value(QStringLiteral("firstDifference")).toDouble(-1)), first);
}

// Three blocks in one DMH at 0, two of them with ID 5; `entries` replaces the table when given.
QByteArray duplicateIdImage(const QVector<TestEntry>& entries = {}, qint64 patchPosition = -1)
{
    TestDmh dmh;
    dmh.flashSize = 0x10000;
    dmh.entries = entries.isEmpty() ? QVector<TestEntry> { testEntry(5, 0x1000, 0x100, "one"),
        testEntry(5, 0x2000, 0x100, "two"), testEntry(6, 0x3000, 0x100, "six") }
                                    : entries;
    ImageBuilder builder(0x10000);
    builder.dmh(0, dmh).fill(0x1000, 0x100, 'a').fill(0x2000, 0x100, 'b').fill(0x3000, 0x100, 'c');
    if (patchPosition >= 0)
        builder.fill(patchPosition, 1, 'x');
    return builder.image();
}

// The standard image with a second DMH at 0x40000 listing one block.
QByteArray twoDmhImage(bool secondDmh)
{
    QByteArray image = StandardImages::fiveBlocks();
    if (secondDmh) {
        TestDmh dmh;
        dmh.flashSize = quint32(imageSize);
        dmh.entries = { testEntry(0x40, 0x1000, 0x100, "extra") };
        overlay(image, 0x40000, ImageBuilder::dmhHeader(dmh));
        overlay(image, 0x41000, QByteArray(0x100, 'e'));
    }
    return image;
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
    // When given, B is A with this block replaced by `replacement` through the core operation.
    QTest::addColumn<QString>("replacedId");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QStringList>("blocks");
    QTest::addColumn<QStringList>("others");
    // -1: only the reference comparison is checked.
    QTest::addColumn<qint64>("outsideDiffering");
    QTest::addColumn<QString>("textPart");

    const QByteArray standard = StandardImages::fiveBlocks();
    const QStringList allSame { "0:10 same", "0:ab same", "0:20 same", "0:21 same", "0:22 same" };
    const auto withBlock = [&allSame](int row, const QString& line) {
        QStringList lines = allSame;
        lines[row] = line;
        return lines;
    };
    const auto patched = [&standard](qint64 position, const QByteArray& bytes) {
        QByteArray image = standard;
        overlay(image, position, bytes);
        return image;
    };

    QTest::newRow("identical") << standard << standard << QString() << QByteArray() << allSame
                               << QStringList {} << qint64(0)
                               << "The images are identical: 393216 bytes, 5 blocks.";
    QTest::newRow("padded replacement")
        << standard << QByteArray() << "10" << ImageBuilder::randomBytes(0x123, 7)
        << withBlock(0, "0:10 changed bytes") << QStringList {} << qint64(0)
        << "Blocks: 1 changed, 0 added, 0 removed, 4 same.";
    QTest::newRow("record replacement")
        << standard << QByteArray() << "20" << ImageBuilder::randomBytes(2000, 8)
        << withBlock(2, "0:20 changed crc,bytes") << QStringList {} << qint64(-1) << "crc ";
    QStringList grown = withBlock(3, "0:21 changed size,crc,bytes");
    grown[4] = "0:22 changed offset";
    QTest::newRow("growth moves the block behind")
        << standard << QByteArray() << "21" << ImageBuilder::randomBytes(0x10800, 9) << grown
        << QStringList {} << qint64(-1) << "offset 0x30000 -> 0x30800";
    QTest::newRow("name only") << standard << patched(entryField(0, BlockEntry::nameOffset + 2), "a")
                               << QString() << QByteArray() << withBlock(0, "0:10 changed name")
                               << QStringList {} << qint64(1) << "name boot -> boat";
    QTest::newRow("version only") << standard << patched(entryField(1, BlockEntry::versionOffset), "2.0")
                                  << QString() << QByteArray() << withBlock(1, "0:ab changed version")
                                  << QStringList {} << qint64(3) << "version  -> 2.0";
    QTest::newRow("time only") << standard << patched(entryField(2, BlockEntry::timeOffset + 6), "\x0a")
                               << QString() << QByteArray() << withBlock(2, "0:20 changed time")
                               << QStringList {} << qint64(1) << "time 2014/3/5/14/7/9 -> 2014/3/5/14/7/10";
    QByteArray flagged = patched(entryField(3, BlockEntry::flagsOffset), QByteArray(1, '\0'));
    overlay(flagged, entryField(3, BlockEntry::trailerOffset), "T");
    QTest::newRow("flags and trailer")
        << standard << flagged << QString() << QByteArray() << withBlock(3, "0:21 changed flags,trailer")
        << QStringList {} << qint64(2) << "flags 1 -> 0";
    // The ssdata block holds the software version the summary shows.
    QTest::newRow("software version")
        << standard << patched(dmhPosition + 0x2000 + 5, "4") << QString() << QByteArray()
        << withBlock(1, "0:ab changed bytes") << QStringList { "softwareVersion" } << qint64(0)
        << "Software version: V1.2.3 -> V1.2.4";

    // A sixth entry, 0x30 "extra", with its block in the free space behind the others.
    QByteArray added = patched(dmhPosition + ImageLayout::entryCountOffset, "\x06");
    overlay(added, entryField(5, 0), testEntry(0x30, 0x40000, 0x100, "extra").toEntry().toByteArray());
    overlay(added, dmhPosition + 0x40000, QByteArray(0x100, 'x'));
    QTest::newRow("block added") << standard << added << QString() << QByteArray()
                                 << allSame + QStringList { "0:30 added" }
                                 << QStringList { "blockNumber", "dmh0 entryCount,entriesRead" } << qint64(-1)
                                 << "256 bytes at 0x40100";
    QTest::newRow("block removed") << added << standard << QString() << QByteArray()
                                   << allSame + QStringList { "0:30 removed" }
                                   << QStringList { "blockNumber", "dmh0 entryCount,entriesRead" }
                                   << qint64(-1) << "Blocks: 0 changed, 0 added, 1 removed, 5 same.";
    QTest::newRow("DMH removed") << twoDmhImage(true) << twoDmhImage(false) << QString() << QByteArray()
                                 << allSame + QStringList { "1:40 removed" }
                                 << QStringList { "blockNumber", "dmh1 removed" } << qint64(-1)
                                 << "DMH 1: only in A, at 0x40000";

    // Two bytes in the gaps, in images 3 bytes longer: one at 0x10ff, one in the 3-byte tail of the last
    // gap, which is not a multiple of 8.
    const QByteArray longer = standard + QByteArray(3, '\xFF');
    QByteArray outside = longer;
    overlay(outside, 0x10FF, "\x01");
    overlay(outside, imageSize + 2, "\x02");
    QTest::newRow("bytes outside every block") << longer << outside << QString() << QByteArray() << allSame
                                               << QStringList {} << qint64(2) << "Outside every block: 2 of ";
    // Block 30 holds 10, ab and 20; a byte in it but in neither of those is inside a block all the same.
    QByteArray holding = added;
    overlay(holding, entryField(5, 0), testEntry(0x30, 0x800, 0x20000, "all").toEntry().toByteArray());
    QByteArray holdingChanged = holding;
    overlay(holdingChanged, 0x1A00, "\x03");
    QTest::newRow("byte in a block that holds others")
        << holding << holdingChanged << QString() << QByteArray()
        << allSame + QStringList { "0:30 changed bytes" } << QStringList {} << qint64(0)
        << "bytes: 1 of 131072 differ, first at +0x1100 (0x1a00)";
    QTest::newRow("B longer") << standard << standard + QByteArray(0x10000, '\xFF') << QString()
                              << QByteArray() << allSame << QStringList { "imageSize" } << qint64(0)
                              << "Image size: 393216 -> 458752";
    // Block 22 lies at 0x30100..0x31100: B holds its first 0x703 bytes, and only those are compared.
    QTest::newRow("B cut through a block")
        << standard << patched(0x30802, "\x04").left(0x30803) << QString() << QByteArray()
        << withBlock(4, "0:22 changed bytes,held") << QStringList { "imageSize" } << qint64(0)
        << "bytes: 1 of 1795 differ, first at +0x702 (0x30802); held: A 4096 of 4096 bytes, B 1795 of "
           "4096; 1795 compared";
    // B ends 0x800 bytes into block 21 and before block 22: equal where both hold them, yet neither is same.
    QStringList cutShort = withBlock(3, "0:21 changed held");
    cutShort[4] = "0:22 changed held";
    QTest::newRow("B cut before a block")
        << standard << standard.left(0x20900) << QString() << QByteArray() << cutShort
        << QStringList { "imageSize" } << qint64(0) << "Blocks: 2 changed, 0 added, 0 removed, 3 same.";
    QTest::newRow("A cut before a block")
        << standard.left(0x30100) << standard << QString() << QByteArray()
        << withBlock(4, "0:22 changed held") << QStringList { "imageSize" } << qint64(0)
        << "held: A 0 of 4096 bytes, B 4096 of 4096; 0 compared";
    // Byte-identical files (exit 0) whose last block reaches past their end: that block is not the same.
    QTest::newRow("identical, a block past the end")
        << standard.left(0x30800) << standard.left(0x30800) << QString() << QByteArray()
        << withBlock(4, "0:22 changed held") << QStringList {} << qint64(0)
        << "The images are identical: 198656 bytes, 5 blocks, 1 of them not held whole.";

    QTest::newRow("duplicate IDs: the second one changed")
        << duplicateIdImage() << duplicateIdImage({}, 0x20FF) << QString() << QByteArray()
        << QStringList { "0:5 same", "0:5 changed bytes", "0:6 same" } << QStringList {} << qint64(0)
        << "bytes: 1 of 256 differ, first at +0xff (0x20ff)";
    // B lists only the second ID 5: A's first ID 5 is matched with it, A's second is removed.
    QTest::newRow("duplicate IDs: the first one gone")
        << duplicateIdImage()
        << duplicateIdImage({ testEntry(5, 0x2000, 0x100, "two"), testEntry(6, 0x3000, 0x100, "six") })
        << QString() << QByteArray()
        << QStringList { "0:5 changed offset,name,bytes", "0:5 removed", "0:6 same" }
        << QStringList { "blockNumber", "dmh0 entryCount,entriesRead" } << qint64(-1)
        << "bytes: 256 of 256 differ, first at +0x0 (A 0x1000, B 0x2000)";
}

void TestCliDiff::diffReportsEachBlock()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(QString, replacedId);
    QFETCH(QByteArray, replacement);
    QFETCH(QStringList, blocks);
    QFETCH(QStringList, others);
    QFETCH(qint64, outsideDiffering);
    QFETCH(QString, textPart);

    QVERIFY(writeFile(imagePath, a));
    const QString pathB = path(QStringLiteral("b.bin"));
    if (replacedId.isEmpty()) {
        QVERIFY(writeFile(pathB, b));
    } else {
        const QString replacementPath = path(QStringLiteral("replacement.bin"));
        QVERIFY(writeFile(replacementPath, replacement));
        const Outcome outcome = replaceInProcess(replacedId, "replacement.bin", "b.bin");
        QVERIFY2(outcome.success, qPrintable(outcome.message));
        b = readFile(pathB);
    }
    const QStringList filesBefore = fixture->entries();

    const bool identical = a == b;
    const CliRun json = runCommand({ "diff", "--json", imagePath, pathB });
    QCOMPARE(json.exitCode, identical ? 0 : 1);
    const QJsonObject document = json.json();
    QCOMPARE(document.value(QStringLiteral("identical")).toBool(!identical), identical);
    QCOMPARE(document.value(QStringLiteral("images")).toVariant().toStringList(),
        QStringList({ imagePath, pathB }));
    QCOMPARE(document.value(QStringLiteral("image")).toString(), imagePath);
    QCOMPARE(diffBlockLines(document.value(QStringLiteral("blocks")).toArray()), blocks);
    QCOMPARE(diffOtherLines(document), others);
    const QJsonObject outside = document.value(QStringLiteral("outsideBlocks")).toObject();
    if (outsideDiffering >= 0)
        QCOMPARE(qint64(outside.value(QStringLiteral("differing")).toDouble()), outsideDiffering);
    checkDiffAgainstReference(a, b, document);
    if (QTest::currentTestFailed())
        return;

    // Text: one row per block under a header, each with the status JSON gives, and the verdict last.
    const CliRun text = runCommand({ "diff", imagePath, pathB });
    QCOMPARE(text.exitCode, json.exitCode);
    QVERIFY2(text.err.isEmpty(), text.err.constData());
    const QString output = QString::fromUtf8(text.out);
    QVERIFY2(output.contains(textPart), qPrintable(output));
    const QStringList lines = output.trimmed().split(QLatin1Char('\n'));
    QVERIFY2(lines.size() > blocks.size(), qPrintable(output));
    QVERIFY(lines.first().startsWith(QLatin1String("DMH  ID  Name")));
    for (int row = 0; row < blocks.size(); ++row) {
        const QString status = blocks[row].section(QLatin1Char(' '), 1, 1);
        QVERIFY2(lines[row + 1].contains(QStringLiteral("  %1  ").arg(status)), qPrintable(lines[row + 1]));
    }
    QCOMPARE(lines.last(), document.value(QStringLiteral("message")).toString());
    QVERIFY(lines.last().startsWith(identical ? "The images are identical" : "The images differ."));
    QCOMPARE(fixture->entries(), filesBefore);
}

void TestCliDiff::diffOfUnreadableImages_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    // IMAGE is the standard image, NODMH a file without DMH, MISSING a path that names nothing.
    // The explanation names the image that cannot be read.
    const QString noDmh
        = QStringLiteral("Can not find DMH.\nNODMH holds no DMH: none of its 4096 bytes starts the "
                         "12 bytes \"*^_^*DM(^o^)\" with 0x30 26 bytes after their start.");
    QTest::newRow("A without DMH") << QStringList { "NODMH", "IMAGE" } << noDmh;
    QTest::newRow("B without DMH") << QStringList { "IMAGE", "NODMH" } << noDmh;
    QTest::newRow("B missing") << QStringList { "IMAGE", "MISSING" }
                               << "MISSINGis not exist!\nMISSING: No such file or directory.";
    QTest::newRow("one image") << QStringList { "IMAGE" } << QString();
    QTest::newRow("three images") << QStringList { "IMAGE", "IMAGE", "IMAGE" } << QString();
    QTest::newRow("empty B") << QStringList { "IMAGE", "" } << QString();
    // WIDE lists 9 blocks over nearly all of its 64 KiB, each a range of its own; WIDER differs in one byte.
    QTest::newRow("tables too costly to compare")
        << QStringList { "WIDE", "WIDER" }
        << "Too much to compare: the blocks span 9 distinct byte ranges, 587484 bytes in all, more than 8 "
           "times the 65536 bytes of each image.";
}

void TestCliDiff::diffOfUnreadableImages()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const QString noDmh = path(QStringLiteral("nodmh.bin"));
    QVERIFY(writeFile(noDmh, QByteArray(0x1000, '\xFF')));
    const QString missing = path(QStringLiteral("missing.bin"));
    TestDmh wideDmh;
    for (int index = 0; index < 9; ++index)
        wideDmh.entries.append(testEntry(quint8(index), 0x100, quint32(0xFF00 - index)));
    ImageBuilder wideBuilder(0x10000);
    const QString wide = path(QStringLiteral("wide.bin"));
    const QString wider = path(QStringLiteral("wider.bin"));
    QVERIFY(writeFile(wide, wideBuilder.dmh(0, wideDmh).image()));
    QVERIFY(writeFile(wider, wideBuilder.fill(0x8000, 1, 'x').image()));
    const auto fill = [&](QString text) {
        return text.replace(QLatin1String("NODMH"), noDmh)
            .replace(QLatin1String("IMAGE"), imagePath)
            .replace(QLatin1String("MISSING"), missing)
            .replace(QLatin1String("WIDER"), wider)
            .replace(QLatin1String("WIDE"), wide);
    };
    QStringList filled;
    for (const QString& argument : arguments)
        filled << fill(argument);
    const QStringList filesBefore = fixture->entries();

    const CliRun text = runCommand(QStringList { "diff" } + filled);
    QCOMPARE(text.exitCode, 2);
    QVERIFY2(text.out.isEmpty(), text.out.constData());
    if (message.isEmpty())
        QVERIFY2(text.err.contains("Run 'tessel-cli diff --help'"), text.err.constData());
    else
        QCOMPARE(QString::fromUtf8(text.err).trimmed(), fill(message));

    const CliRun json = runCommand(QStringList { "diff", "--json" } + filled);
    QCOMPARE(json.exitCode, 2);
    if (!message.isEmpty()) {
        QCOMPARE(json.json().value(QStringLiteral("exitStatus")).toInt(), 2);
        const QStringList lines = fill(message).split(QLatin1Char('\n'));
        QCOMPARE(json.json().value(QStringLiteral("message")).toString(), lines.first());
        QCOMPARE(
            json.json().value(QStringLiteral("detail")).toString(), lines.size() > 1 ? lines.last() : "");
        QVERIFY(!json.json().contains(QStringLiteral("identical")));
    }
    QCOMPARE(fixture->entries(), filesBefore);
}

QTEST_GUILESS_MAIN(TestCliDiff)
#include "tst_clidiff.moc"
