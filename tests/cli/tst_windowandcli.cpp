#include "cliprocess.h"
#include "imagebuilder.h"
#include "testfiles.h"
#include "testfolder.h"
#include "windowdriver.h"

#include "model/imagelayout.h"
#include "ops/record/blockinfo.h"

#include <QtTest>

namespace {

constexpr qint64 imageLength = 0x80000;

// A layout of its own, not a standard image: a block listed first that lies last, and blocks back to back
// behind a plain one, so that the growths refused for either reason are compared too. One DMH at 0, in
// table order:
//   6 spare   flags 1, 0x100 bytes at 0x70000, listed first although it lies last
//   1 boot    flags 0, 0x20000 bytes at 0x10000, a record behind 1,000 data bytes
//   2 kernel  flags 1, 0x10000 bytes at 0x30000
//   3 rootfs  flags 1, 0x8000 bytes at 0x40000, right behind kernel
//   5 nvram   flags 1, 0x100 bytes at 0x48000, right behind rootfs, CRC "NCRC"
// A second DMH at 0x200, whose blocks lie beyond the reach of the first one's accepted growths:
//   8 pad     flags 1, 0x2000 bytes at offset 0x4A000
//   9 raw     flags 0, 0x10000 bytes at offset 0x4C000, right behind pad, ending in a record's signature
//             that its offset off 64 KiB hides; a growth of pad by 0x4000 would move it onto 0x50000
QByteArray testImage()
{
    TestDmh dmh;
    dmh.flashSize = imageLength;
    dmh.dataCapacity = 0x400000;
    dmh.entries = { testEntry(6, 0x70000, 0x100, "spare"), testEntry(1, 0x10000, 0x20000, "boot", 0),
        testEntry(2, 0x30000, 0x10000, "kernel"), testEntry(3, 0x40000, 0x8000, "rootfs"),
        testEntry(5, 0x48000, 0x100, "nvram") };
    ImageBuilder builder(imageLength);
    builder.block(0, dmh.entries[0], ImageBuilder::randomBytes(0x100, 6), false);
    builder.block(0, dmh.entries[1], ImageBuilder::randomBytes(1000, 1), true);
    builder.block(0, dmh.entries[2], ImageBuilder::randomBytes(0x10000, 2), false);
    builder.block(0, dmh.entries[3], ImageBuilder::randomBytes(0x8000, 3), false);
    builder.block(0, dmh.entries[4], ImageBuilder::randomBytes(0x80, 4), false);
    for (TestEntry& entry : dmh.entries)
        entry.crc = ImageBuilder::crcOf(builder.image().mid(int(entry.offset), int(entry.size)));
    dmh.entries[4].crc = BlockEntry::noCrcMarker;
    builder.dmh(0, dmh);
    TestDmh second;
    second.flashSize = imageLength;
    second.entries = { testEntry(8, 0x4A000, 0x2000, "pad"), testEntry(9, 0x4C000, 0x10000, "raw", 0) };
    builder.block(0x200, second.entries[0], ImageBuilder::randomBytes(0x2000, 8), false);
    builder.block(0x200, second.entries[1], ImageBuilder::randomBytes(0x100, 9), true);
    builder.dmh(0x200, second);
    return builder.image();
}

// The moment the window stamped into a record, as seconds since the epoch: given to the CLI as
// SOURCE_DATE_EPOCH, it makes the CLI read the same local time from its clock.
qint64 stampedEpoch(const QByteArray& output, qint64 recordPosition)
{
    const uchar* time
        = reinterpret_cast<const uchar*>(output.constData()) + recordPosition + BlockInfo::timeOffset;
    const QDate date(ImageLayout::readU16(time), time[2], time[3]);
    return QDateTime(date, QTime(time[4], time[5], time[6]), Qt::LocalTime).toSecsSinceEpoch();
}

} // namespace

// The window and tessel-cli act on the same image, block and replacement: the same bytes come out, or
// the same refusal.
class TestWindowAndCli : public QObject {
    Q_OBJECT

private slots:
    void sameOutcome_data();
    void sameOutcome();
};

void TestWindowAndCli::sameOutcome_data()
{
    QTest::addColumn<QString>("idText");
    // -1: export; otherwise the length of a replacement.
    QTest::addColumn<int>("replacementLength");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("export, record: data only") << "1" << -1 << true;
    QTest::newRow("export, whole block") << "2" << -1 << true;
    QTest::newRow("export, NCRC block") << "5" << -1 << true;
    QTest::newRow("replace, record") << "1" << 5000 << true;
    QTest::newRow("replace, record, full") << "1" << 0x1FFC0 << true;
    QTest::newRow("replace, record, one byte too many") << "1" << 0x1FFC1 << false;
    QTest::newRow("replace, record, longer than the block") << "1" << 0x20001 << false;
    QTest::newRow("replace, padded") << "2" << 1000 << true;
    QTest::newRow("replace, padded, 64 KiB multiple") << "2" << 0 << true;
    QTest::newRow("replace, padded, NCRC") << "5" << 0x80 << true;
    QTest::newRow("replace, grow, two blocks move") << "2" << 0x12000 << true;
    QTest::newRow("replace, grow last block") << "5" << 0x200 << true;
    QTest::newRow("replace, grow onto another block") << "3" << 0x38000 << false;
    QTest::newRow("replace, grow, blocks after it lie before it") << "6" << 0x200 << false;
    QTest::newRow("replace, grow, a raw block would read as a record") << "8" << 0x6000 << false;
}

void TestWindowAndCli::sameOutcome()
{
    QFETCH(QString, idText);
    QFETCH(int, replacementLength);
    QFETCH(bool, succeeds);

    const TestFolder folder;
    const QString imagePath = folder.create("image.bin", testImage());
    const bool exporting = replacementLength < 0;
    const QString replacement = folder.filePath("replacement.img");
    if (!exporting)
        folder.create("replacement.img", ImageBuilder::randomBytes(replacementLength, 9));
    const QString windowOutput = folder.filePath("window.out");
    const QString cliOutput = folder.filePath("cli.out");
    const QStringList answers
        = exporting ? QStringList { windowOutput } : QStringList { replacement, windowOutput };

    WindowDriver driver;
    driver.dropFile(imagePath);
    QAbstractItemModel* model = driver.table()->model();
    QVERIFY(model);
    const QModelIndexList rows
        = model->match(model->index(0, 0), Qt::DisplayRole, idText, -1, Qt::MatchExactly);
    QCOMPARE(rows.size(), 1);
    driver.selectRow(rows.first().row());
    QVERIFY(!driver.trigger(exporting ? "Save as..." : "Replace with...", answers).unexpected);
    const QString windowMessage = driver.status().replace(windowOutput, QStringLiteral("OUT"));
    const bool windowSucceeded = driver.statusColour() == successColour;
    QVERIFY2(windowSucceeded == succeeds, qPrintable(windowMessage));
    const QByteArray windowBytes = readFile(windowOutput);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The record variant stamps the clock; the CLI is given the moment the window read.
    if (succeeds && idText == "1" && !exporting)
        environment.insert(QStringLiteral("SOURCE_DATE_EPOCH"),
            QString::number(stampedEpoch(windowBytes, 0x10000 + 0x20000 - BlockInfo::recordSize)));
    const QStringList arguments = exporting
        ? QStringList { "export", imagePath, idText, "-o", cliOutput }
        : QStringList { "replace", imagePath, idText, replacement, "-o", cliOutput };
    const CliRun run = runCliProcess(arguments, environment);
    QCOMPARE(run.exitCode, succeeds ? 0 : 1);
    // The status text comes first; the CLI may explain it on the lines after.
    QString cliMessage = QString::fromUtf8(succeeds ? run.out : run.err).trimmed().section('\n', 0, 0);
    QCOMPARE(cliMessage.replace(cliOutput, QStringLiteral("OUT")), windowMessage);

    QCOMPARE(QFile::exists(cliOutput), QFile::exists(windowOutput));
    QCOMPARE(QFile::exists(cliOutput), succeeds);
    QVERIFY2(readFile(cliOutput) == windowBytes, "the window and the CLI write the same bytes");
}

QTEST_MAIN(TestWindowAndCli)
#include "tst_windowandcli.moc"
