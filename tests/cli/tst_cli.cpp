#include "fixedclock.h"
#include "imagebuilder.h"
#include "inprocesscli.h"
#include "standardimages.h"
#include "testbytes.h"
#include "testfiles.h"
#include "testfolder.h"
#include "truncationguard.h"
#include "model/flashimage.h"
#include "model/imagebuffer.h"
#include "model/imagelayout.h"
#include "ops/blockexport.h"
#include "ops/blockreplace.h"
#include "ops/filesystemcalls.h"

#include <QBitArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every test starts from the standard image StandardImages::fiveBlocks().
constexpr qint64 dmhPosition = StandardImages::fiveBlocksDmhPosition;
constexpr qint64 imageSize = StandardImages::fiveBlocksLength;

// Image position of a field of entry `index` of the standard DMH.
qint64 entryField(int index, int fieldOffset)
{
    return dmhPosition + ImageLayout::dmhHeaderSize + BlockEntry::byteSize * index + fieldOffset;
}

// The commands run in this process, with the clock fixed as SOURCE_DATE_EPOCH and TZ=UTC fix it.
CliRun runCommand(const QStringList& arguments)
{
    return runCliInProcess(arguments);
}

// What the operations themselves write for the same image, block, replacement and clock.
Outcome replaceInProcess(const QString& imagePath, const QString& idText, const QString& replacementPath,
    const QString& outputPath, ReplacePlan* plan = nullptr)
{
    FlashImage image;
    if (!image.load(imagePath.toStdWString()))
        return Outcome::refused(QStringLiteral("load failed"));
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplaceRequest request;
    request.idText = idText;
    request.replacementPath = replacementPath;
    request.outputPath = outputPath;
    request.loadedImagePath = imagePath;
    request.stampTime = StampTime::fromDateTime(QDateTime::fromSecsSinceEpoch(fixedEpoch, Qt::UTC));
    request.dryRun = outputPath.isEmpty();
    return replaceBlock(image, catalogue, request, plan);
}

// Two DMHs: ID 5 twice in DMH 0 (no BLOCK reaches the second entry) and again in DMH 1, names a file name
// cannot carry as they are, an empty name, a block outside the image and a record whose data length
// reaches into the record.
QByteArray twoDmhImage()
{
    TestDmh first;
    first.flashSize = 0x40000;
    first.entries = { testEntry(5, 0x100, 0x100, "boot"), testEntry(5, 0x200, 0x100, "boot2"),
        testEntry(7, 0x300, 0x40, "a b/c") };
    const TestEntry record = testEntry(0xb, 0x10000, 0x10000, "rec", 0);
    TestDmh second = first;
    second.entries = { testEntry(5, 0x1000, 0x100, "late"), testEntry(8, 0x1100, 0x10, ""),
        testEntry(9, 0x1200, 0x10, "\xe9t\xe9"), testEntry(0xa, 0x8000, 0x100000, "far"), record };
    ImageBuilder builder(0x40000);
    builder.dmh(0, first).dmh(0x10000, second);
    builder.fill(0x100, 0x100, 'a').fill(0x200, 0x100, 'b').fill(0x300, 0x40, 'c');
    builder.fill(0x11000, 0x100, 'L').fill(0x11100, 0x10, 'e').fill(0x11200, 0x10, 'n');
    builder.block(0x10000, record, ImageBuilder::randomBytes(100, 5), true);
    builder.bytes(0x20000 + 0x10000 - 64 + 24, u32Bytes(0x10000 - 63));
    return builder.image();
}

QJsonObject blockWithId(const QJsonArray& blocks, const QString& idText)
{
    for (const QJsonValue& block : blocks) {
        if (block.toObject().value(QStringLiteral("idText")).toString() == idText)
            return block.toObject();
    }
    return {};
}

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

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void usage_data();
    void usage();
    void unreadableImage_data();
    void unreadableImage();

    void infoReportsSummaryAndDmhs();
    void listShowsTableTextsAndRecords();
    void listColumnsAreAligned();
    void secondDmhCountsFromItsOwnPosition();

    void verifyReportsFacts_data();
    void verifyReportsFacts();
    void verifyRefusesWorkBeyondTheImage();

    void exportWritesWhatTheOperationWrites_data();
    void exportWritesWhatTheOperationWrites();
    void replaceWritesWhatTheOperationWrites_data();
    void replaceWritesWhatTheOperationWrites();
    void replaceStampsSourceDateEpoch();
    void dryRunWritesNothingAndShowsThePlan_data();
    void dryRunWritesNothingAndShowsThePlan();
    void verifyFlagsPaddedReplacement();
    void severalPairsAreTheChainOfSingleRuns_data();
    void severalPairsAreTheChainOfSingleRuns();
    void surprisingReplacementsWarn_data();
    void surprisingReplacementsWarn();

    void exportAllEqualsSingleExports_data();
    void exportAllEqualsSingleExports();
    void exportAllFolderRules_data();
    void exportAllFolderRules();

    void refusals_data();
    void refusals();
    void forceReplacesAnExistingOutput();
    void outputOptionForms_data();
    void outputOptionForms();
    void blockNamesAcrossDmhs_data();
    void blockNamesAcrossDmhs();
    void layoutThatTheFlashSizeContradicts_data();
    void layoutThatTheFlashSizeContradicts();
    void textEscapesWhatATerminalWouldObey_data();
    void textEscapesWhatATerminalWouldObey();
    void imageCutShortWhileMappedStopsCleanly_data();
    void imageCutShortWhileMappedStopsCleanly();

    void diffReportsEachBlock_data();
    void diffReportsEachBlock();
    void diffOfUnreadableImages_data();
    void diffOfUnreadableImages();

private:
    QString path(const QString& name) const { return directory->filePath(name); }

    std::unique_ptr<TestFolder> directory;
    QString imagePath;
};

void TestCli::initTestCase()
{
    qputenv("SOURCE_DATE_EPOCH", QByteArray::number(fixedEpoch));
    qputenv("TZ", "UTC");
    tzset();
}

void TestCli::init()
{
    directory = std::make_unique<TestFolder>();
    QVERIFY2(directory->isValid(), "cannot make a temporary directory");
    imagePath = path(QStringLiteral("image.bin"));
    QVERIFY2(writeFile(imagePath, StandardImages::fiveBlocks()), "cannot write the standard image");
}

void TestCli::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    // What stdout starts with after a success, stderr after a failure.
    QTest::addColumn<QString>("textStart");

    QTest::newRow("no command") << QStringList {} << 2 << QString();
    QTest::newRow("unknown command") << QStringList { "dump", "x.bin" } << 2 << QString();
    QTest::newRow("general help") << QStringList { "--help" } << 0 << "Usage: tessel-cli COMMAND";
    for (const char* command : { "info", "list", "verify", "export", "replace", "diff" }) {
        QTest::newRow(qPrintable(QStringLiteral("%1 --help").arg(QLatin1String(command))))
            << QStringList { command, "--help" } << 0
            << QStringLiteral("Usage: tessel-cli %1").arg(QLatin1String(command));
    }
    QTest::newRow("info without image") << QStringList { "info" } << 2 << QString();
    QTest::newRow("info with two images") << QStringList { "info", "a.bin", "b.bin" } << 2 << QString();
    QTest::newRow("unknown option") << QStringList { "list", "--colour", "a.bin" } << 2 << QString();
    QTest::newRow("export without -o") << QStringList { "export", "a.bin", "10" } << 2 << QString();
    QTest::newRow("export with BLOCK and --name")
        << QStringList { "export", "a.bin", "10", "--name", "boot", "-o", "out" } << 2 << QString();
    QTest::newRow("replace without FILE")
        << QStringList { "replace", "a.bin", "10", "-o", "out" } << 2 << QString();
    QTest::newRow("replace without -o")
        << QStringList { "replace", "a.bin", "10", "r.bin" } << 2 << QString();
    QTest::newRow("pair without FILE")
        << QStringList { "replace", "a.bin", "10", "r.bin", "20", "-o", "x" } << 2 << QString();
    QTest::newRow("block named by two pairs")
        << QStringList { "replace", "a.bin", "10", "r.bin", "10", "s.bin", "-o", "x" } << 2 << QString();
    QTest::newRow("empty name in a pair")
        << QStringList { "replace", "a.bin", "10", "r.bin", "name:", "s.bin", "-o", "x" } << 2 << QString();
    QTest::newRow("-o given twice") << QStringList { "export", "a.bin", "10", "-o", "x", "-o", "y" } << 2
                                    << QString();
    QTest::newRow("--name given twice")
        << QStringList { "export", "a.bin", "--name", "a", "--name", "b", "-o", "x" } << 2 << QString();
    QTest::newRow("--json given twice") << QStringList { "list", "--json", "a.bin", "--json" } << 2
                                        << "Option --json is given more than once.";
    QTest::newRow("--force given twice") << QStringList { "export", "a.bin", "10", "--force", "--force", "-o",
        "x" } << 2 << "Option --force is given more than once.";
    QTest::newRow("--dry-run given twice") << QStringList { "replace", "--dry-run", "a.bin", "10", "r.bin",
        "--dry-run" } << 2 << "Option --dry-run is given more than once.";
    QTest::newRow("empty BLOCK") << QStringList { "export", "a.bin", "", "-o", "x" } << 2 << QString();
    QTest::newRow("empty FILE") << QStringList { "replace", "a.bin", "10", "", "-o", "x" } << 2 << QString();
    QTest::newRow("empty NAME") << QStringList { "export", "a.bin", "--name=", "-o", "x" } << 2 << QString();
    QTest::newRow("empty OUT") << QStringList { "export", "a.bin", "10", "-o", "" } << 2 << QString();
    QTest::newRow("switch with a value")
        << QStringList { "export", "a.bin", "10", "--force=yes", "-o", "x" } << 2 << QString();
    QTest::newRow("single-dash word") << QStringList { "list", "-json", "a.bin" } << 2 << QString();
    QTest::newRow("usage error with --json prints no JSON")
        << QStringList { "list", "--json", "--colour", "a.bin" } << 2 << QString();
    // With an image that loads, so that only the arguments can be refused.
    QTest::newRow("export --all with BLOCK") << QStringList { "export", "IMAGE", "10", "--all", "-o", "d" }
                                             << 2 << "--all exports every block; it takes no BLOCK.";
    QTest::newRow("export --all with --name") << QStringList { "export", "IMAGE", "--all", "--name", "boot",
        "-o", "d" } << 2 << "--all exports every block; it takes no --name.";
    QTest::newRow("export --all without -o")
        << QStringList { "export", "IMAGE", "--all" } << 2 << "-o DIR is required.";
    QTest::newRow("export --all to standard output") << QStringList { "export", "IMAGE", "--all", "-o",
        "-" } << 2 << "--all writes a folder of files; -o - (standard output) cannot hold one.";
    QTest::newRow("export --json to standard output") << QStringList { "export", "--json", "IMAGE", "10",
        "-o", "-" } << 2 << "--json and -o - both write to standard output.";
    QTest::newRow("replace --json to standard output") << QStringList { "replace", "IMAGE", "10", "IMAGE",
        "-o", "-", "--json" } << 2 << "--json and -o - both write to standard output.";
    QTest::newRow("ID and DMH:ID of one block in two pairs")
        << QStringList { "replace", "IMAGE", "10", "r.bin", "0:10", "s.bin", "-o", "x" } << 2
        << "Pairs 1 (BLOCK 10, FILE r.bin) and 2 (BLOCK 0:10, FILE s.bin) both reach block 10 (DMH 0, entry "
           "0); each block is replaced once per run.";
    QTest::newRow("--name and ID of one block in two pairs, --json")
        << QStringList { "replace", "--json", "IMAGE", "--name", "kernel", "r.bin", "10", "s.bin", "20",
               "t.bin", "--dry-run" }
        << 2
        << "Pairs 1 (BLOCK name:kernel, FILE r.bin) and 3 (BLOCK 20, FILE t.bin) both reach block 20 (DMH 0, "
           "entry 2)";
}

void TestCli::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, textStart);

    for (QString& argument : arguments)
        argument.replace(QLatin1String("IMAGE"), imagePath);
    const CliRun run = runCommand(arguments);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY2(run.out.startsWith(textStart.toUtf8()), run.out.constData());
        QVERIFY(run.err.isEmpty());
    } else {
        QVERIFY2(!run.err.isEmpty(), "a usage error says what is wrong on stderr");
        QVERIFY2(run.err.startsWith(textStart.toUtf8()), run.err.constData());
        QVERIFY2(run.out.isEmpty(), run.out.constData());
    }
}

void TestCli::unreadableImage_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("message");
    // The explanation after the status text; FILE is the image's path.
    QTest::addColumn<QString>("detail");

    const QString noDmh = QStringLiteral(
        "FILE holds no DMH: none of its %1 bytes starts the 12 bytes \"*^_^*DM(^o^)\" with 0x30 "
        "26 bytes after their start.");
    QTest::newRow("missing file") << QByteArray() << false << QString() << "FILE: No such file or directory.";
    QTest::newRow("empty file") << QByteArray() << true << "Can not find DMH." << noDmh.arg(0);
    QTest::newRow("no DMH") << QByteArray(4096, '\xFF') << true << "Can not find DMH." << noDmh.arg(4096);
    QByteArray wrongRecognition = ImageBuilder(4096).dmh(0, TestDmh { 0, 0, 4096, -1, 0x31, {} }).image();
    QTest::newRow("magic without recognition byte")
        << wrongRecognition << true << "Can not find DMH." << noDmh.arg(4096);
    // Read at once rather than waiting for a writer that may never come.
    QTest::newRow("FIFO") << QByteArray("fifo") << false
                          << " is a FIFO; an image is read from a file or a block device." << QString();
}

void TestCli::unreadableImage()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);
    QFETCH(QString, message);
    QFETCH(QString, detail);

    const QString file = path(QStringLiteral("input.bin"));
    if (exists)
        QVERIFY(writeFile(file, content));
    QString expected = exists ? message : file + QStringLiteral("is not exist!");
    if (content == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        expected = file + message;
    }
    detail.replace(QLatin1String("FILE"), file);
    const QString expectedError = detail.isEmpty() ? expected : expected + QLatin1Char('\n') + detail;
    for (const QString& command :
        { QStringLiteral("info"), QStringLiteral("list"), QStringLiteral("verify") }) {
        const CliRun run = runCommand({ command, file });
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(QString::fromUtf8(run.err).trimmed(), expectedError);
        QVERIFY(run.out.isEmpty());

        const CliRun json = runCommand({ command, "--json", file });
        QCOMPARE(json.exitCode, 2);
        QCOMPARE(json.json().value(QStringLiteral("success")).toBool(true), false);
        QCOMPARE(json.json().value(QStringLiteral("exitStatus")).toInt(), 2);
        QCOMPARE(json.json().value(QStringLiteral("message")).toString(), expected);
        QCOMPARE(json.json().value(QStringLiteral("detail")).toString(), detail);
    }
}

void TestCli::infoReportsSummaryAndDmhs()
{
    const CliRun text = runCommand({ "info", imagePath });
    QCOMPARE(text.exitCode, 0);
    const QString output = QString::fromUtf8(text.out);
    for (const char* line : { "SDRAM Size:        67108864", "Flash Size:        393216",
             "Block Number:      5", "Software Version:  V1.2.3", "Image Size:        393216" })
        QVERIFY2(output.contains(QLatin1String(line)), qPrintable(output));

    const CliRun run = runCommand({ "info", "--json", imagePath });
    QCOMPARE(run.exitCode, 0);
    const QJsonObject json = run.json();
    QCOMPARE(json.value(QStringLiteral("schemaVersion")).toInt(), 1);
    QCOMPARE(json.value(QStringLiteral("command")).toString(), QStringLiteral("info"));
    QCOMPARE(json.value(QStringLiteral("success")).toBool(), true);
    QCOMPARE(json.value(QStringLiteral("imageSize")).toDouble(), double(imageSize));
    QCOMPARE(json.value(QStringLiteral("sdramSize")).toDouble(), 67108864.0);
    QCOMPARE(json.value(QStringLiteral("flashSize")).toDouble(), double(imageSize));
    QCOMPARE(json.value(QStringLiteral("blockNumber")).toInt(), 5);
    QCOMPARE(json.value(QStringLiteral("softwareVersion")).toString(), QStringLiteral("V1.2.3"));
    const QJsonArray dmhs = json.value(QStringLiteral("dmhs")).toArray();
    QCOMPARE(dmhs.size(), 1);
    const QJsonObject dmh = dmhs[0].toObject();
    QCOMPARE(dmh.value(QStringLiteral("position")).toDouble(), double(dmhPosition));
    QCOMPARE(dmh.value(QStringLiteral("positionText")).toString(), QStringLiteral("100"));
    QCOMPARE(dmh.value(QStringLiteral("dataCapacity")).toDouble(), double(0x01000000));
    QCOMPARE(dmh.value(QStringLiteral("entryCount")).toInt(), 5);
    QCOMPARE(dmh.value(QStringLiteral("entrySize")).toInt(), 48);
}

void TestCli::listShowsTableTextsAndRecords()
{
    const CliRun run = runCommand({ "list", "--json", imagePath });
    QCOMPARE(run.exitCode, 0);
    const QJsonArray blocks = run.json().value(QStringLiteral("blocks")).toArray();
    FlashImage image;
    QVERIFY(image.load(imagePath.toStdWString()));
    const QVector<BlockEntry>& entries = image.dmhRecords().first().entries;
    QCOMPARE(blocks.size(), entries.size());
    for (int row = 0; row < entries.size(); ++row) {
        const BlockEntry& entry = entries[row];
        const QJsonObject block = blocks[row].toObject();
        const QStringList cells { entry.idText(), entry.sizeCellText(), entry.crcCellText(),
            entry.nameCellText(), entry.versionCellText(), entry.timeCellText() };
        QCOMPARE(block.value(QStringLiteral("cells")).toVariant().toStringList(), cells);
        QCOMPARE(block.value(QStringLiteral("id")).toInt(), int(entry.id));
        QCOMPARE(block.value(QStringLiteral("size")).toDouble(), double(entry.size));
        QCOMPARE(block.value(QStringLiteral("crc")).toDouble(), double(entry.crc));
        QCOMPARE(block.value(QStringLiteral("offset")).toDouble(), double(entry.offset));
        QCOMPARE(block.value(QStringLiteral("start")).toDouble(), double(dmhPosition + entry.offset));
        QCOMPARE(block.value(QStringLiteral("flags")).toInt(), int(entry.flags));
        QCOMPARE(block.value(QStringLiteral("dmhIndex")).toInt(), 0);
        QCOMPARE(block.value(QStringLiteral("nameText")).toString(), QString::fromLatin1(entry.nameText()));
    }
    // The table's texts, checked by value: lower-case hex IDs, "NCRC" as its hex, names padded to 8.
    QCOMPARE(blocks[1].toObject().value(QStringLiteral("idText")).toString(), QStringLiteral("ab"));
    QCOMPARE(blocks[3].toObject().value(QStringLiteral("crcText")).toString(), QStringLiteral("4352434e"));
    QCOMPARE(
        blocks[2].toObject().value(QStringLiteral("name")).toString(), QString::fromLatin1("kernel\0\0", 8));
    QCOMPARE(
        blocks[0].toObject().value(QStringLiteral("time")).toString(), QStringLiteral("2014/3/5/14/7/9"));

    for (int row = 0; row < blocks.size(); ++row) {
        const QJsonObject block = blocks[row].toObject();
        const bool record = row == 2;
        QCOMPARE(block.value(QStringLiteral("hasBlockInfo")).toBool(), record);
        QCOMPARE(block.value(QStringLiteral("dataLength")).isNull(), !record);
    }
    QCOMPARE(blocks[2].toObject().value(QStringLiteral("dataLength")).toInt(), 1000);
}

void TestCli::listColumnsAreAligned()
{
    const CliRun run = runCommand({ "list", imagePath });
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 6);
    const QString& header = lines[0];
    // The kernel row: each value starts under its column's header.
    const QString& kernel = lines[3];
    const QVector<QPair<QString, QString>> columns { { "ID", "20" }, { "Size(Bytes)", "65536" },
        { "Name", "kernel" }, { "Time(Y/M/D/H/M/S)", "2014/3/5/14/7/9" }, { "Offset(hex)", "10000" },
        { "Record", "yes" }, { "Data length", "1000" } };
    for (const auto& column : columns) {
        const int headerColumn = header.indexOf(column.first);
        QVERIFY2(headerColumn >= 0, qPrintable(header));
        QVERIFY2(kernel.mid(headerColumn).startsWith(column.second + QLatin1Char(' '))
                || kernel.mid(headerColumn) == column.second,
            qPrintable(QStringLiteral("%1 not under %2 in\n%3\n%4")
                           .arg(column.second, column.first, header, kernel)));
    }
}

void TestCli::secondDmhCountsFromItsOwnPosition()
{
    // Both DMHs list ID 5 at offset 0x100, so each block lies 0x100 bytes after its own DMH.
    ImageBuilder builder(0x10000);
    TestDmh first;
    first.flashSize = 0x10000;
    first.sdramSize = 1;
    first.entries = { testEntry(5, 0x100, 0x10, "first") };
    TestDmh second = first;
    second.sdramSize = 2;
    second.entries = { testEntry(5, 0x100, 0x10, "second"), testEntry(6, 0x200, 0x10, "other") };
    builder.dmh(0, first).dmh(0x8000, second);
    builder.fill(0x100, 0x10, 'a').fill(0x8100, 0x10, 'b');
    QVERIFY(writeFile(imagePath, builder.image()));

    const QJsonObject info = runCommand({ "info", "--json", imagePath }).json();
    QCOMPARE(info.value(QStringLiteral("blockNumber")).toInt(), 3);
    QCOMPARE(info.value(QStringLiteral("sdramSize")).toInt(), 2);
    QCOMPARE(info.value(QStringLiteral("dmhs")).toArray().size(), 2);

    const QJsonArray blocks
        = runCommand({ "list", "--json", imagePath }).json().value(QStringLiteral("blocks")).toArray();
    QCOMPARE(blocks.size(), 3);
    QCOMPARE(blocks[0].toObject().value(QStringLiteral("start")).toInt(), 0x100);
    QCOMPARE(blocks[1].toObject().value(QStringLiteral("start")).toInt(), 0x8100);
    QCOMPARE(blocks[1].toObject().value(QStringLiteral("dmhIndex")).toInt(), 1);

    // ID 5 finds the first DMH's block, as in the window, and says that it is listed twice; the second
    // one cannot be reached by its name, but DMH:ID reaches it.
    const QString output = path(QStringLiteral("block.out"));
    const CliRun byId = runCommand({ "export", imagePath, "5", "-o", output });
    QCOMPARE(byId.exitCode, 0);
    QCOMPARE(readFile(output), QByteArray(0x10, 'a'));
    QVERIFY2(
        byId.err.startsWith("warning: ID 5 is listed 2 times in the image; the first entry (DMH 0, entry 0)"),
        byId.err.constData());
    const CliRun byName = runCommand({ "export", imagePath, "--name", "second", "-o", path("second.out") });
    QCOMPARE(byName.exitCode, 1);
    QCOMPARE(byName.err.trimmed(),
        QByteArray(
            "Block second has ID 5, but that ID finds another block first (DMH 0, entry 0); use 1:5 to "
            "act on it."));
    QVERIFY(!QFile::exists(path("second.out")));
    const CliRun qualified = runCommand({ "export", "--json", imagePath, "1:5", "-o", path("second.out") });
    QCOMPARE(qualified.exitCode, 0);
    QCOMPARE(readFile(path("second.out")), QByteArray(0x10, 'b'));
    QCOMPARE(
        qualified.json().value(QStringLiteral("block")).toObject().value(QStringLiteral("dmhIndex")).toInt(),
        1);
    QVERIFY2(qualified.err.isEmpty(), "ID 5 is listed once in DMH 1");
}

void TestCli::verifyReportsFacts_data()
{
    QTest::addColumn<qint64>("patchPosition");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<QString>("crcStatus");
    QTest::addColumn<QString>("recordStatus");

    const QByteArray image = StandardImages::fiveBlocks();
    const auto flipped
        = [&image](qint64 position) { return QByteArray(1, char(image[int(position)] ^ 0x01)); };
    const qint64 kernelStart = dmhPosition + 0x10000;

    QTest::newRow("untouched: a block") << qint64(0) << QByteArray() << 0 << "10"
                                        << "ok" << QString();
    QTest::newRow("untouched: record") << qint64(0) << QByteArray() << 0 << "20"
                                       << "ok"
                                       << "ok";
    QTest::newRow("untouched: NCRC") << qint64(0) << QByteArray() << 0 << "21"
                                     << "not-checked" << QString();
    QTest::newRow("flipped byte in a block")
        << dmhPosition + 0x1000 + 0x7FF << flipped(dmhPosition + 0x1000 + 0x7FF) << 1 << "10"
        << "mismatch" << QString();
    QTest::newRow("flipped byte in a record's data")
        << kernelStart + 999 << flipped(kernelStart + 999) << 1 << "20"
        << "mismatch"
        << "mismatch";
    QTest::newRow("flipped byte in a record's fill")
        << kernelStart + 1000 << flipped(kernelStart + 1000) << 1 << "20"
        << "mismatch"
        << "ok";
    QTest::newRow("flipped byte in an NCRC block")
        << dmhPosition + 0x20000 << flipped(dmhPosition + 0x20000) << 0 << "21"
        << "not-checked" << QString();
    QTest::newRow("flipped stored CRC")
        << entryField(0, BlockEntry::crcOffset) << flipped(entryField(0, BlockEntry::crcOffset)) << 1 << "10"
        << "mismatch" << QString();
    QTest::newRow("data length reaching into the record")
        << kernelStart + 0x10000 - 64 + 24 << u32Bytes(0x10000 - 63) << 1 << "20"
        << "mismatch"
        << "length-exceeds-block";
    QTest::newRow("block reaching outside the image")
        << entryField(4, BlockEntry::sizeOffset) << u32Bytes(0x40000) << 1 << "22"
        << "not-read" << QString();
}

void TestCli::verifyReportsFacts()
{
    QFETCH(qint64, patchPosition);
    QFETCH(QByteArray, patch);
    QFETCH(int, exitCode);
    QFETCH(QString, idText);
    QFETCH(QString, crcStatus);
    QFETCH(QString, recordStatus);

    QByteArray image = StandardImages::fiveBlocks();
    image.replace(int(patchPosition), patch.size(), patch);
    QVERIFY(writeFile(imagePath, image));

    const CliRun run = runCommand({ "verify", "--json", imagePath });
    QCOMPARE(run.exitCode, exitCode);
    const QJsonObject json = run.json();
    QCOMPARE(json.value(QStringLiteral("holds")).toBool(), exitCode == 0);
    QCOMPARE(json.value(QStringLiteral("blocksFailing")).toInt(), exitCode == 0 ? 0 : 1);
    const QJsonObject block = blockWithId(json.value(QStringLiteral("blocks")).toArray(), idText);
    QVERIFY2(!block.isEmpty(), "the block is reported");
    const QJsonObject crc = block.value(QStringLiteral("crc")).toObject();
    QCOMPARE(crc.value(QStringLiteral("status")).toString(), crcStatus);
    QCOMPARE(block.value(QStringLiteral("insideImage")).toBool(), crcStatus != QLatin1String("not-read"));
    QCOMPARE(block.value(QStringLiteral("holds")).toBool(), exitCode == 0);
    if (crcStatus == QLatin1String("ok") || crcStatus == QLatin1String("mismatch")) {
        // The computed CRC is the block's own, stored or not.
        FlashImage loaded;
        QVERIFY(loaded.load(imagePath.toStdWString()));
        const BlockLocation location = findBlock(loaded.dmhRecords(), idText);
        const quint32 expected = ImageBuilder::crcOf(image.mid(int(location.start()), int(location.size)));
        QCOMPARE(crc.value(QStringLiteral("computed")).toDouble(), double(expected));
        QCOMPARE(crc.value(QStringLiteral("computedText")).toString(), QString::number(expected, 16));
        QCOMPARE(crc.value(QStringLiteral("stored")).toDouble(), double(location.entry.crc));
    }
    const QJsonValue record = block.value(QStringLiteral("record"));
    QCOMPARE(record.isNull(), recordStatus.isEmpty());
    if (!recordStatus.isEmpty())
        QCOMPARE(record.toObject().value(QStringLiteral("status")).toString(), recordStatus);

    const CliRun text = runCommand({ "verify", imagePath });
    QCOMPARE(text.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY2(text.out.contains("All 5 blocks hold."), text.out.constData());
        QVERIFY(text.err.isEmpty());
    } else {
        QCOMPARE(text.err.trimmed(), QByteArray("1 of 5 blocks do not hold."));
    }
}

void TestCli::verifyRefusesWorkBeyondTheImage()
{
    // 20 distinct ranges of 0x800 bytes in a 0x1000-byte image: 40960 bytes to read, more than 8 times it.
    TestDmh dmh;
    dmh.flashSize = 0x1000;
    for (quint32 index = 0; index < 20; ++index)
        dmh.entries.append(testEntry(quint8(index), 0x400 + index, 0x800, "overlap"));
    QVERIFY(writeFile(imagePath, ImageBuilder(0x1000).dmh(0, dmh).image()));

    const QString message("Verifying would read 40960 bytes, more than 8 times the image's 4096 bytes.");
    const CliRun text = runCommand({ "verify", imagePath });
    QCOMPARE(text.exitCode, 1);
    QVERIFY(text.out.isEmpty());
    const QStringList lines = QString::fromUtf8(text.err).trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), message);
    QVERIFY2(lines.size() > 1 && lines.at(1).contains("20 different byte ranges in 20 entries"),
        text.err.constData());
    const CliRun json = runCommand({ "verify", "--json", imagePath });
    QCOMPARE(json.exitCode, 1);
    QCOMPARE(json.json().value(QStringLiteral("message")).toString(), message);
    QCOMPARE(json.json().value(QStringLiteral("holds")).toBool(true), false);
}

void TestCli::exportWritesWhatTheOperationWrites_data()
{
    QTest::addColumn<QStringList>("block");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<int>("length");

    QTest::newRow("whole block") << QStringList { "10" } << "10" << 0x800;
    QTest::newRow("record: data only") << QStringList { "20" } << "20" << 1000;
    QTest::newRow("by name") << QStringList { "--name", "kernel" } << "20" << 1000;
    QTest::newRow("name:NAME") << QStringList { "name:kernel" } << "20" << 1000;
    QTest::newRow("DMH:ID") << QStringList { "0:10" } << "10" << 0x800;
    QTest::newRow("NCRC block") << QStringList { "21" } << "21" << 0x10000;
}

void TestCli::exportWritesWhatTheOperationWrites()
{
    QFETCH(QStringList, block);
    QFETCH(QString, idText);
    QFETCH(int, length);

    const QString output = path(QStringLiteral("block.out"));
    const CliRun run = runCommand(QStringList { "export", imagePath } + block + QStringList { "-o", output });
    QCOMPARE(run.exitCode, 0);
    // The status text, then what was written.
    const QString part = length == 1000 ? QStringLiteral("the data part") : QStringLiteral("all");
    QCOMPARE(QString::fromUtf8(run.out).trimmed(),
        QStringLiteral("Save block %1 successfully!!!\nWrote %2 bytes, %3 of block %4, to %1.")
            .arg(output, QString::number(length), part, idText));
    QVERIFY(run.err.isEmpty());

    FlashImage image;
    QVERIFY(image.load(imagePath.toStdWString()));
    const QString expectedPath = path(QStringLiteral("expected.out"));
    const Outcome outcome
        = exportBlock(ImageView::of(image), findBlock(image.dmhRecords(), idText), expectedPath);
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    const QByteArray written = readFile(output);
    QCOMPARE(written.size(), length);
    QCOMPARE(written, readFile(expectedPath));
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());

    const QString jsonOutput = path(QStringLiteral("block.json.out"));
    const CliRun json = runCommand(
        QStringList { "export", "--json", imagePath } + block + QStringList { "-o", jsonOutput });
    QCOMPARE(json.exitCode, 0);
    QCOMPARE(json.json().value(QStringLiteral("length")).toInt(), length);
    QCOMPARE(json.json().value(QStringLiteral("block")).toObject().value(QStringLiteral("idText")).toString(),
        idText);
    QCOMPARE(readFile(jsonOutput), written);
}

void TestCli::exportAllEqualsSingleExports_data()
{
    QTest::addColumn<QByteArray>("image");
    // The file of each entry in table order; empty for an entry that cannot be exported.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("standard image") << StandardImages::fiveBlocks()
                                    << QStringList { "d0-e00-id10-boot.bin", "d0-e01-idab-ssdata.bin",
                                           "d0-e02-id20-kernel.bin", "d0-e03-id21-fs.bin",
                                           "d0-e04-id22-boot.bin" }
                                    << 0;
    QTest::newRow("two DMHs") << twoDmhImage()
                              << QStringList { "d0-e00-id5-boot.bin", "d0-e01-id5-boot2.bin",
                                     "d0-e02-id7-a_b_c.bin", "d1-e00-id5-late.bin", "d1-e01-id8.bin",
                                     "d1-e02-id9-_t_.bin", "", "" }
                              << 1;
}

void TestCli::exportAllEqualsSingleExports()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, files);
    QFETCH(int, exitCode);

    QVERIFY(writeFile(imagePath, image));
    const QString folder = path(QStringLiteral("blocks"));
    const CliRun run = runCommand({ "export", imagePath, "--all", "-o", folder });
    QVERIFY2(run.exitCode == exitCode, run.err.constData());

    QJsonObject index = QJsonDocument::fromJson(readFile(folder + QStringLiteral("/index.json"))).object();
    const QJsonArray indexBlocks = index.take(QStringLiteral("blocks")).toArray();
    QCOMPARE(indexBlocks.size(), files.size());
    QJsonArray listedBlocks;
    QStringList written { QStringLiteral("index.json") };
    qint64 bytes = readFile(folder + QStringLiteral("/index.json")).size();
    QStringList reasons;
    for (int row = 0; row < indexBlocks.size(); ++row) {
        QJsonObject block = indexBlocks[row].toObject();
        const QString file = block.take(QStringLiteral("file")).toString();
        const QString reason = block.take(QStringLiteral("reason")).toString();
        listedBlocks.append(block);
        QCOMPARE(file, files[row]);
        if (file.isEmpty()) {
            QVERIFY2(reason.contains(QLatin1String(" bytes")), qPrintable(reason));
            reasons << reason;
            continue;
        }
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
        written << file;
        const QByteArray content = readFile(folder + QLatin1Char('/') + file);
        bytes += content.size();

        // The entry's single export: DMH:ID reaches the first entry with the ID in its DMH; a later one no
        // BLOCK reaches is the entry's own bytes (its data part when it ends in a record).
        const int dmhIndex = block.value(QStringLiteral("dmhIndex")).toInt();
        const QString idText = block.value(QStringLiteral("idText")).toString();
        bool first = true;
        for (int earlier = 0; earlier < row; ++earlier) {
            const QJsonObject other = indexBlocks[earlier].toObject();
            first = first
                && !(other.value(QStringLiteral("dmhIndex")).toInt() == dmhIndex
                    && other.value(QStringLiteral("idText")).toString() == idText);
        }
        if (first) {
            const QString single = path(QStringLiteral("single.bin"));
            const CliRun one = runCommand({ "export", imagePath,
                QStringLiteral("%1:%2").arg(dmhIndex).arg(idText), "--force", "-o", single });
            QCOMPARE(one.exitCode, 0);
            QCOMPARE(content, readFile(single));
        } else {
            const bool record = block.value(QStringLiteral("hasBlockInfo")).toBool();
            const int length
                = block.value(record ? QStringLiteral("dataLength") : QStringLiteral("size")).toInt();
            QCOMPARE(content, image.mid(block.value(QStringLiteral("start")).toInt(), length));
        }
    }

    // index.json is the list document, with each block's file or the reason it has none.
    QJsonObject listed = runCommand({ "list", "--json", imagePath }).json();
    QCOMPARE(listed.take(QStringLiteral("blocks")).toArray(), listedBlocks);
    QCOMPARE(index, listed);
    QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    entries.sort();
    written.sort();
    QCOMPARE(entries, written);

    if (exitCode == 0) {
        QCOMPARE(QString::fromUtf8(run.out),
            QStringLiteral("Wrote %1 block files and index.json (%2 bytes) to %3.\n")
                .arg(written.size() - 1)
                .arg(bytes)
                .arg(folder));
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    } else {
        QVERIFY2(run.out.isEmpty(), run.out.constData());
        const QStringList lines = QString::fromUtf8(run.err).trimmed().split(QLatin1Char('\n'));
        QCOMPARE(lines.first(),
            QStringLiteral(
                "Wrote %1 block files and index.json (%2 bytes) to %3; %4 of %5 blocks could not be "
                "exported.")
                .arg(written.size() - 1)
                .arg(bytes)
                .arg(folder)
                .arg(reasons.size())
                .arg(files.size()));
        QCOMPARE(lines.size(), 1 + reasons.size());
        for (int line = 0; line < reasons.size(); ++line)
            QVERIFY2(lines[1 + line].endsWith(reasons[line]), qPrintable(lines[1 + line]));
    }

    const CliRun json = runCommand({ "export", "--json", imagePath, "--all", "-o", path("blocks2") });
    QCOMPARE(json.exitCode, exitCode);
    const QJsonObject document = json.json();
    QCOMPARE(document.value(QStringLiteral("blocks")).toArray(), indexBlocks);
    QCOMPARE(document.value(QStringLiteral("filesWritten")).toInt(), written.size());
    QCOMPARE(document.value(QStringLiteral("bytesWritten")).toDouble(), double(bytes));
    QCOMPARE(document.value(QStringLiteral("output")).toString(), path("blocks2"));
}

void TestCli::exportAllFolderRules_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("force");
    // Empty: the blocks are written and nothing of what was there before is left.
    QTest::addColumn<QString>("refusal");

    QTest::newRow("new folder") << QString() << false << QString();
    QTest::newRow("new folder, trailing slash") << "slash" << false << QString();
    QTest::newRow("empty folder") << "empty" << false << QString();
    QTest::newRow("empty folder, --force") << "empty" << true << QString();
    // A folder with something in it is replaced only when an earlier export --all wrote it.
    const QString onlyExports
        = "; --force replaces only an empty folder or one that export --all wrote, so nothing was written.";
    QTest::newRow("folder with files")
        << "full" << false << "DIR is not empty and holds no index.json" + onlyExports;
    QTest::newRow("folder with files, --force")
        << "full" << true << "DIR is not empty and holds no index.json" + onlyExports;
    QTest::newRow("earlier export") << "export" << false
                                    << "DIR already exists and is not empty; use --force to replace it.";
    QTest::newRow("earlier export, --force") << "export" << true << QString();
    QTest::newRow("symlink to an earlier export, --force") << "link" << true << QString();
    QTest::newRow("earlier export with a file beside index.json, --force")
        << "extra" << true << "DIR holds notes.txt, which is not a file its index.json lists" + onlyExports;
    QTest::newRow("earlier export with its index cut short, --force")
        << "cut index" << true << "DIR/index.json is not the index export --all writes" + onlyExports;
    QTest::newRow("current folder, an earlier export, --force")
        << "current" << true << "DIR is the current folder; it is never replaced.";
    QTest::newRow("folder above the current one, --force")
        << "parent" << true << "DIR holds the current folder CWD; it is never replaced.";
    QTest::newRow("too little free space")
        << "no room" << false
        << "DIR needs NEEDED bytes for its 6 files, but the file system it goes on has 4096 bytes free; "
           "nothing was written.";
    QTest::newRow("too few free files")
        << "no files" << false
        << "DIR needs 6 files, but the file system it goes on has room for 3 more; nothing was written.";
    QTest::newRow("file, --force")
        << "file" << true << "DIR is a file; -o names the folder that --all writes, so nothing was written.";
    QTest::newRow("FIFO") << "fifo" << false
                          << "DIR is a FIFO; -o names the folder that --all writes, so nothing was written.";
    QTest::newRow("no parent folder")
        << "no parent" << false << "DIR cannot be created: there is no folder PARENT.";
    QTest::newRow("symlink to nothing, --force")
        << "dangling" << true
        << "DIR is a symlink to GONE, which does not exist; -o names the folder that --all writes, so "
           "nothing was written.";
    QTest::newRow("folder holding the image, --force")
        << "holds image" << true << "DIR holds the input file IMAGE; it is never replaced.";
}

void TestCli::exportAllFolderRules()
{
    QFETCH(QString, setup);
    QFETCH(bool, force);
    QFETCH(QString, refusal);

    QDir top(directory->path());
    QString folder = path(QStringLiteral("out"));
    // The folder the blocks land in: the symlink's target for a symlink.
    QString target = folder;
    const auto fillWithOldFiles = [this](const QString& name) {
        QDir(directory->path()).mkpath(name + QStringLiteral("/sub"));
        return writeFile(path(name + QStringLiteral("/old.bin")), "old")
            && writeFile(path(name + QStringLiteral("/sub/deep.bin")), "deep");
    };
    // What export --all wrote from another image, so that none of its files is among the new ones.
    const auto earlierExport = [this](const QString& name) {
        return writeFile(path(QStringLiteral("other.bin")), twoDmhImage())
            && runCommand({ "export", path(QStringLiteral("other.bin")), "--all", "-o", path(name) }).exitCode
            == 1;
    };
    const QString previousFolder = QDir::currentPath();
    const auto restoreCurrentFolder = qScopeGuard([&previousFolder] { QDir::setCurrent(previousFolder); });
    // The file system as it reports its free space; where a row leaves it, as it is.
    struct CrampedFileSystem : FileSystemCalls {
        fsblkcnt_t freeBlocks = 0;
        fsfilcnt_t freeFiles = 0;
        int freeSpace(int fileSystemFolder, struct statvfs* result) override
        {
            if (FileSystemCalls::freeSpace(fileSystemFolder, result) != 0)
                return -1;
            result->f_frsize = 4096;
            if (freeBlocks != 0)
                result->f_bavail = freeBlocks;
            if (freeFiles != 0) {
                result->f_files = 1000;
                result->f_favail = freeFiles;
            }
            return 0;
        }
    } fileSystem;
    const FileSystemCalls::Override seam(fileSystem);
    // Without room the refusal states what the files would take: what they take when there is room,
    // and one 4 KiB block for each file's end and the folder's own.
    qint64 neededBytes = 0;
    if (setup == QLatin1String("no room")) {
        const CliRun reference
            = runCommand({ "export", "--json", imagePath, "--all", "-o", path("reference") });
        QCOMPARE(reference.exitCode, 0);
        const QJsonObject written = reference.json();
        neededBytes = qint64(written.value(QStringLiteral("bytesWritten")).toDouble())
            + 4096 * (written.value(QStringLiteral("filesWritten")).toInt() + 1);
        fileSystem.freeBlocks = 1;
    }
    if (setup == QLatin1String("no files"))
        fileSystem.freeFiles = 3;
    if (setup == QLatin1String("empty"))
        QVERIFY(top.mkdir(QStringLiteral("out")));
    if (setup == QLatin1String("full"))
        QVERIFY(fillWithOldFiles(QStringLiteral("out")));
    if (setup == QLatin1String("export") || setup == QLatin1String("extra")
        || setup == QLatin1String("cut index") || setup == QLatin1String("current"))
        QVERIFY(earlierExport(QStringLiteral("out")));
    if (setup == QLatin1String("extra"))
        QVERIFY(writeFile(path(QStringLiteral("out/notes.txt")), "not the export's"));
    if (setup == QLatin1String("cut index")) {
        const QByteArray index = readFile(path(QStringLiteral("out/index.json")));
        QVERIFY(writeFile(path(QStringLiteral("out/index.json")), index.left(index.size() / 2)));
    }
    if (setup == QLatin1String("current")) {
        QVERIFY(QDir::setCurrent(folder));
        folder = QStringLiteral(".");
    }
    if (setup == QLatin1String("parent")) {
        QVERIFY(top.mkpath(QStringLiteral("out/inner")));
        QVERIFY(QDir::setCurrent(path(QStringLiteral("out/inner"))));
        folder = QStringLiteral("..");
    }
    if (setup == QLatin1String("link")) {
        QVERIFY(earlierExport(QStringLiteral("real")));
        QVERIFY(QFile::link(path(QStringLiteral("real")), folder));
        target = path(QStringLiteral("real"));
    }
    if (setup == QLatin1String("file"))
        QVERIFY(writeFile(folder, "a file"));
    if (setup == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(folder).constData(), 0600), 0);
    if (setup == QLatin1String("dangling"))
        QVERIFY(QFile::link(path(QStringLiteral("gone")), folder));
    if (setup == QLatin1String("no parent"))
        folder = path(QStringLiteral("missing/out"));
    if (setup == QLatin1String("holds image"))
        folder = target = directory->path();
    QStringList arguments { "export", imagePath, "--all", "-o",
        setup == QLatin1String("slash") ? folder + QLatin1Char('/') : folder };
    if (force)
        arguments << QStringLiteral("--force");
    const QMap<QString, QByteArray> before = folderTree(directory->path());

    const CliRun run = runCommand(arguments);
    if (refusal.isEmpty()) {
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QStringList entries = QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(entries.size(), 6);
        QVERIFY2(entries.contains(QStringLiteral("index.json")), qPrintable(entries.join(", ")));
        QVERIFY2(!entries.contains(QStringLiteral("old.bin")), "the old folder is replaced whole");
        if (setup == QLatin1String("link"))
            QCOMPARE(QFileInfo(folder).symLinkTarget(), target);
        // Nothing but the folder changed, and no hidden folder is left beside it.
        const QString inside = target.mid(directory->path().size()) + QLatin1Char('/');
        const auto outside = [&inside](QMap<QString, QByteArray> tree) {
            for (auto entry = tree.begin(); entry != tree.end();)
                entry = entry.key().startsWith(inside) ? tree.erase(entry) : std::next(entry);
            return tree;
        };
        QMap<QString, QByteArray> expected = outside(before);
        expected.insert(inside.chopped(1), "folder");
        QCOMPARE(outside(folderTree(directory->path())), expected);
    } else {
        const QString message = QString(refusal)
                                    .replace(QLatin1String("PARENT"), path(QStringLiteral("missing")))
                                    .replace(QLatin1String("GONE"), path(QStringLiteral("gone")))
                                    .replace(QLatin1String("DIR"), folder)
                                    .replace(QLatin1String("IMAGE"), imagePath)
                                    .replace(QLatin1String("CWD"), path(QStringLiteral("out/inner")))
                                    .replace(QLatin1String("NEEDED"), QString::number(neededBytes));
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(QString::fromUtf8(run.err).trimmed(), message);
        QCOMPARE(folderTree(directory->path()), before);
    }
}

void TestCli::replaceWritesWhatTheOperationWrites_data()
{
    QTest::addColumn<QString>("idText");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QString>("message");

    QTest::newRow("padded") << "10" << ImageBuilder::randomBytes(0x123, 7) << "Replace block successfully!!!";
    QTest::newRow("padded, 64 KiB multiple") << "21" << QByteArray() << "Replace block successfully!!!";
    QTest::newRow("record") << "20" << ImageBuilder::randomBytes(2000, 8) << "Replace block successfully!!!";
    QTest::newRow("record, empty") << "20" << QByteArray() << "Replace block successfully!!!";
    QTest::newRow("grow") << "21" << ImageBuilder::randomBytes(0x10800, 9) << "Replace Block successfully!!!";
    QTest::newRow("grow last block") << "22" << ImageBuilder::randomBytes(0x1100, 10)
                                     << "Replace Block successfully!!!";
}

void TestCli::replaceWritesWhatTheOperationWrites()
{
    QFETCH(QString, idText);
    QFETCH(QByteArray, replacement);
    QFETCH(QString, message);

    const QString replacementPath = path(QStringLiteral("replacement.bin"));
    QVERIFY(writeFile(replacementPath, replacement));
    const QString output = path(QStringLiteral("new.bin"));
    const CliRun run = runCommand({ "replace", imagePath, idText, replacementPath, "-o", output });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.out).trimmed(),
        message + QStringLiteral("\nWrote the new image, %1 bytes, to %2.").arg(imageSize).arg(output));

    const QString expectedPath = path(QStringLiteral("expected.bin"));
    const Outcome outcome = replaceInProcess(imagePath, idText, replacementPath, expectedPath);
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    QCOMPARE(outcome.message, message);
    const QByteArray written = readFile(output);
    QCOMPARE(written.size(), int(imageSize));
    QVERIFY2(written == readFile(expectedPath), "the CLI writes the operation's bytes");
    QVERIFY2(written != StandardImages::fiveBlocks(), "the block was replaced");
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());
}

void TestCli::replaceStampsSourceDateEpoch()
{
    const QString replacementPath = path(QStringLiteral("replacement.bin"));
    QVERIFY(writeFile(replacementPath, QByteArray(300, 'k')));
    const QString output = path(QStringLiteral("new.bin"));
    const CliRun run = runCommand({ "replace", imagePath, "20", replacementPath, "-o", output });
    QCOMPARE(run.exitCode, 0);
    const QByteArray written = readFile(output);
    const int record = int(dmhPosition + 0x20000 - 64);
    QCOMPARE(written.mid(record + 48, 7), QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7));
    QCOMPARE(ImageLayout::readU32(reinterpret_cast<const uchar*>(written.constData()) + record + 24), 300u);

    qputenv("SOURCE_DATE_EPOCH", "yesterday");
    const CliRun refused
        = runCommand({ "replace", imagePath, "20", replacementPath, "-o", path("other.bin") });
    qputenv("SOURCE_DATE_EPOCH", QByteArray::number(fixedEpoch));
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(refused.err.contains("SOURCE_DATE_EPOCH"));
    QVERIFY(!QFile::exists(path("other.bin")));
}

void TestCli::dryRunWritesNothingAndShowsThePlan_data()
{
    QTest::addColumn<QString>("idText");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<bool>("withOutput");

    QTest::newRow("padded") << "10" << ImageBuilder::randomBytes(0x123, 7) << true;
    QTest::newRow("record") << "20" << ImageBuilder::randomBytes(2000, 8) << false;
    QTest::newRow("grow") << "21" << ImageBuilder::randomBytes(0x10800, 9) << true;
}

void TestCli::dryRunWritesNothingAndShowsThePlan()
{
    QFETCH(QString, idText);
    QFETCH(QByteArray, replacement);
    QFETCH(bool, withOutput);

    const QString replacementPath = path(QStringLiteral("replacement.bin"));
    QVERIFY(writeFile(replacementPath, replacement));
    const QString output = path(QStringLiteral("new.bin"));
    const QStringList outputArguments = withOutput ? QStringList { "-o", output } : QStringList {};
    const QStringList before = QDir(directory->path()).entryList(QDir::Files | QDir::Hidden);

    ReplacePlan expected;
    const Outcome outcome = replaceInProcess(imagePath, idText, replacementPath, QString(), &expected);
    QVERIFY2(outcome.success, qPrintable(outcome.message));

    const CliRun run
        = runCommand(QStringList { "replace", "--dry-run", "--json", imagePath, idText, replacementPath }
            + outputArguments);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QDir(directory->path()).entryList(QDir::Files | QDir::Hidden), before);
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());

    const QJsonObject plan = run.json().value(QStringLiteral("plan")).toObject();
    QCOMPARE(plan.value(QStringLiteral("variant")).toString(), variantName(expected.variant));
    QCOMPARE(plan.value(QStringLiteral("replacementLength")).toDouble(), double(replacement.size()));
    QCOMPARE(plan.value(QStringLiteral("changedStart")).toDouble(), double(expected.changedStart));
    QCOMPARE(plan.value(QStringLiteral("changedLength")).toDouble(), double(expected.changedLength));
    const QJsonArray fields = plan.value(QStringLiteral("fields")).toArray();
    QCOMPARE(fields.size(), expected.fields.size());
    for (int index = 0; index < fields.size(); ++index) {
        const QJsonObject field = fields[index].toObject();
        const FieldChange& change = expected.fields[index];
        QCOMPARE(field.value(QStringLiteral("field")).toString(), fieldName(change.field));
        QCOMPARE(field.value(QStringLiteral("position")).toDouble(), double(change.position));
        if (change.field != ChangedField::RecordTime) {
            QCOMPARE(field.value(QStringLiteral("old")).toDouble(), double(change.oldValue));
            QCOMPARE(field.value(QStringLiteral("new")).toDouble(), double(change.newValue));
        } else {
            QCOMPARE(field.value(QStringLiteral("newText")).toString(), QStringLiteral("2026/3/5/7/8/9"));
        }
    }
    const QJsonArray moves = plan.value(QStringLiteral("moves")).toArray();
    QCOMPARE(moves.size(), expected.moves.size());
    if (expected.variant == ReplaceVariant::Grow) {
        // fs grows by 0x800; the block behind it moves by as much.
        QCOMPARE(moves.size(), 1);
        const QJsonObject move = moves[0].toObject();
        QCOMPARE(move.value(QStringLiteral("idText")).toString(), QStringLiteral("22"));
        QCOMPARE(move.value(QStringLiteral("from")).toDouble(), double(dmhPosition + 0x30000));
        QCOMPARE(move.value(QStringLiteral("by")).toInt(), 0x800);
    }

    const CliRun text = runCommand(
        QStringList { "replace", "--dry-run", imagePath, idText, replacementPath } + outputArguments);
    QCOMPARE(text.exitCode, 0);
    QVERIFY2(text.out.contains(variantName(expected.variant).toUtf8()), text.out.constData());
    QVERIFY2(text.out.contains("Dry run: nothing was written."), text.out.constData());
    QCOMPARE(QDir(directory->path()).entryList(QDir::Files | QDir::Hidden), before);
}

void TestCli::verifyFlagsPaddedReplacement()
{
    // The padded variant keeps the entry's CRC as it was, so the replaced block no longer matches it.
    const QString replacementPath = path(QStringLiteral("replacement.bin"));
    QVERIFY(writeFile(replacementPath, QByteArray(0x100, 'p')));
    const QString output = path(QStringLiteral("new.bin"));
    QCOMPARE(runCommand({ "replace", imagePath, "10", replacementPath, "-o", output }).exitCode, 0);
    const CliRun run = runCommand({ "verify", "--json", output });
    QCOMPARE(run.exitCode, 1);
    const QJsonArray blocks = run.json().value(QStringLiteral("blocks")).toArray();
    QCOMPARE(blockWithId(blocks, "10")
                 .value(QStringLiteral("crc"))
                 .toObject()
                 .value(QStringLiteral("status"))
                 .toString(),
        QStringLiteral("mismatch"));
    QCOMPARE(run.json().value(QStringLiteral("blocksFailing")).toInt(), 1);

    // The record variant refreshes both CRCs, so its output verifies.
    const QString recordOutput = path(QStringLiteral("record.bin"));
    QCOMPARE(runCommand({ "replace", imagePath, "20", replacementPath, "-o", recordOutput }).exitCode, 0);
    QCOMPARE(runCommand({ "verify", recordOutput }).exitCode, 0);
}

void TestCli::severalPairsAreTheChainOfSingleRuns_data()
{
    QTest::addColumn<QStringList>("blocks");
    QTest::addColumn<QList<int>>("lengths");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("failedPair");

    // The standard image: 10 plain, 20 with a record, 21 "NCRC" with 22 right behind it.
    QTest::newRow("padded, then record")
        << QStringList { "10", "20" } << QList<int> { 0x123, 2000 } << 0 << -1;
    QTest::newRow("record, then growth")
        << QStringList { "20", "21" } << QList<int> { 1500, 0x10800 } << 0 << -1;
    QTest::newRow("growth, then the block it moved")
        << QStringList { "21", "22" } << QList<int> { 0x10800, 0x100 } << 0 << -1;
    QTest::newRow("three variants") << QStringList { "10", "20", "21" } << QList<int> { 0x10, 0x20, 0x10001 }
                                    << 0 << -1;
    QTest::newRow("by name and by DMH:ID")
        << QStringList { "name:kernel", "0:10" } << QList<int> { 100, 50 } << 0 << -1;
    QTest::newRow("refusal in the last pair")
        << QStringList { "10", "20" } << QList<int> { 0x100, 0x10000 } << 1 << 1;
    QTest::newRow("unknown block in the first pair")
        << QStringList { "99", "20" } << QList<int> { 1, 2 } << 1 << 0;
}

void TestCli::severalPairsAreTheChainOfSingleRuns()
{
    QFETCH(QStringList, blocks);
    QFETCH(QList<int>, lengths);
    QFETCH(int, exitCode);
    QFETCH(int, failedPair);

    QStringList pairArguments;
    for (int index = 0; index < blocks.size(); ++index) {
        const QString replacement = path(QStringLiteral("replacement%1.bin").arg(index));
        QVERIFY(writeFile(replacement, ImageBuilder::randomBytes(lengths[index], quint32(20 + index))));
        pairArguments << blocks[index] << replacement;
    }

    // The chain of single runs, each on the output of the one before.
    QString input = imagePath;
    CliRun single;
    for (int index = 0; index < blocks.size(); ++index) {
        const QString output = path(QStringLiteral("chain%1.bin").arg(index));
        QStringList arguments { "replace", input };
        if (blocks[index].startsWith(QLatin1String("name:")))
            arguments << "--name" << blocks[index].mid(5);
        else
            arguments << blocks[index];
        arguments << pairArguments[2 * index + 1] << "-o" << output;
        single = runCommand(arguments);
        if (single.exitCode != 0)
            break;
        input = output;
    }

    const QString output = path(QStringLiteral("pairs.bin"));
    const CliRun pairs = runCommand(
        QStringList { "replace", "--json", imagePath } + pairArguments + QStringList { "-o", output });
    QCOMPARE(pairs.exitCode, exitCode);
    QCOMPARE(single.exitCode, exitCode);
    QCOMPARE(pairs.json().value(QStringLiteral("message")).toString(),
        QString::fromUtf8(single.exitCode == 0 ? single.out : single.err).section(QLatin1Char('\n'), 0, 0));
    if (exitCode != 0) {
        // All or nothing: no output, and the explanation names the pair that was refused.
        QVERIFY(!QFile::exists(output));
        const QJsonObject failed = pairs.json().value(QStringLiteral("failedPair")).toObject();
        QCOMPARE(failed.value(QStringLiteral("index")).toInt(), failedPair);
        QVERIFY2(pairs.json().value(QStringLiteral("detail")).toString().startsWith(QStringLiteral("Pair ")),
            pairs.err.constData());
        return;
    }
    QVERIFY2(readFile(output) == readFile(input), "several pairs write what the chain of single runs writes");
    QCOMPARE(pairs.json().value(QStringLiteral("steps")).toArray().size(), blocks.size());

    // The dry run shows each pair's plan, in order, and writes nothing.
    const QStringList before = QDir(directory->path()).entryList(QDir::Files | QDir::Hidden);
    const CliRun dryRun = runCommand(QStringList { "replace", "--dry-run", imagePath } + pairArguments);
    QCOMPARE(dryRun.exitCode, 0);
    for (int index = 0; index < blocks.size(); ++index)
        QVERIFY2(dryRun.out.contains(QStringLiteral("Pair %1 of %2: %3")
                                         .arg(index + 1)
                                         .arg(blocks.size())
                                         .arg(blocks[index])
                                         .toUtf8()),
            dryRun.out.constData());
    QCOMPARE(QDir(directory->path()).entryList(QDir::Files | QDir::Hidden), before);
}

void TestCli::surprisingReplacementsWarn_data()
{
    QTest::addColumn<bool>("container");
    QTest::addColumn<QString>("block");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QString>("warning");

    TestDmh nested;
    nested.entryCount = 0;
    QTest::newRow("new bytes hold a DMH")
        << false << "10" << (QByteArray(0x40, 'x') + ImageBuilder::dmhHeader(nested))
        << "The new bytes of block 10 (boot) hold a DMH at 0x40 into the block";
    QTest::newRow("growth over NCRC") << false << "21" << ImageBuilder::randomBytes(0x10800, 3)
                                      << "The entry of block 21 (fs) held the \"NCRC\" marker";
    QTest::newRow("bytes inside a container block")
        << true << "10" << QByteArray(0x10, 'c') << "lie inside block 30 (all) of DMH 0 (0x100 to 0x100ff)";
    QTest::newRow("nothing surprising") << false << "10" << QByteArray(0x10, 'c') << QString();
}

void TestCli::surprisingReplacementsWarn()
{
    QFETCH(bool, container);
    QFETCH(QString, block);
    QFETCH(QByteArray, replacement);
    QFETCH(QString, warning);

    if (container) {
        // A last entry that lists the first 64 KiB behind the DMH as one block of its own.
        QByteArray image = StandardImages::fiveBlocks();
        TestDmh dmh = StandardImages::fiveBlocksDmh();
        dmh.entries.append(testEntry(0x30, 0, 0x10000, "all"));
        overlay(image, dmhPosition, ImageBuilder::dmhHeader(dmh));
        QVERIFY(writeFile(imagePath, image));
    }
    const QString replacementPath = path(QStringLiteral("replacement.bin"));
    QVERIFY(writeFile(replacementPath, replacement));
    const CliRun run = runCommand({ "replace", "--dry-run", "--json", imagePath, block, replacementPath });
    QCOMPARE(run.exitCode, 0);
    const QJsonArray warnings = run.json().value(QStringLiteral("warnings")).toArray();
    if (warning.isEmpty()) {
        QVERIFY2(warnings.isEmpty(), run.err.constData());
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().toString().contains(warning), qPrintable(warnings.first().toString()));
    QVERIFY2(run.err.startsWith("warning: "), run.err.constData());
}

void TestCli::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("existingOutput");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("detail");

    // Paths: IMAGE, OUT and REPL are filled in by the test.
    QTest::newRow("existing output") << QStringList { "export", "IMAGE", "10", "-o", "OUT" } << "old" << 1
                                     << "OUT already exists; use --force to replace it." << QString();
    QTest::newRow("output is the image")
        << QStringList { "export", "IMAGE", "10", "--force", "-o", "IMAGE" } << QString() << 1
        << "IMAGE is an input file; it is never written in place." << QString();
    QTest::newRow("output is the replacement")
        << QStringList { "replace", "IMAGE", "10", "REPL", "--force", "-o", "REPL" } << QString() << 1
        << "REPL is an input file; it is never written in place." << QString();
    QTest::newRow("output links to the image")
        << QStringList { "export", "IMAGE", "10", "--force", "-o", "OUT" } << "symlink" << 1
        << "OUT is an input file; it is never written in place." << QString();
    QTest::newRow("output is a hard link to the image")
        << QStringList { "replace", "IMAGE", "10", "REPL", "--force", "-o", "OUT" } << "hardlink" << 1
        << "OUT is an input file; it is never written in place." << QString();
    QTest::newRow("unknown ID") << QStringList { "export", "IMAGE", "99", "-o", "OUT" } << QString() << 1
                                << "Can not find the DMH." << QString("No DMH lists a block with ID 99.");
    QTest::newRow("ID in upper case") << QStringList { "replace", "IMAGE", "AB", "REPL", "-o", "OUT" }
                                      << QString() << 1 << "Can not find the DMH."
                                      << QString("IDs are written as the table shows them, in lower-case hex "
                                                 "without prefix or leading zeros: ab.");
    QTest::newRow("ID with leading zero")
        << QStringList { "export", "IMAGE", "010", "-o", "OUT" } << QString() << 1 << "Can not find the DMH."
        << QString("IDs are written as the table shows them, in lower-case hex without prefix or leading "
                   "zeros: 10.");
    QTest::newRow("ambiguous name")
        << QStringList { "export", "IMAGE", "--name", "boot", "-o", "OUT" } << QString() << 1
        << "Block name boot is ambiguous; use one of the IDs: 10 (DMH 0), 22 (DMH 0)." << QString();
    QTest::newRow("unknown name") << QStringList { "replace", "IMAGE", "--name", "boo", "REPL", "-o", "OUT" }
                                  << QString() << 1 << "No block is named boo." << QString();
    QTest::newRow("record variant: too long")
        << QStringList { "replace", "IMAGE", "20", "REPL", "-o", "OUT" } << "long" << 1
        << "File size is over max size, can not replace!!!"
        << QString("The replacement is 65473 bytes, 1 over the 65472 bytes of data block 20 (kernel) holds "
                   "(its 65536 bytes less the 64-byte block-info record).");
    QTest::newRow("replacement is a folder")
        << QStringList { "replace", "IMAGE", "10", "FOLDER", "-o", "OUT" } << QString() << 2
        << "Can not open FOLDER!!!" << QString("FOLDER is a folder, not a file.");
    QTest::newRow("missing replacement")
        << QStringList { "replace", "IMAGE", "10", "MISSING", "-o", "OUT" } << QString() << 2
        << "Can not open MISSING!!!" << QString("MISSING: No such file or directory.");
    QTest::newRow("output is a dangling symlink")
        << QStringList { "export", "IMAGE", "10", "-o", "OUT" } << "dangling" << 1
        << "OUT already exists; use --force to replace it." << QString();
    QTest::newRow("output is a folder")
        << QStringList { "export", "IMAGE", "10", "--force", "-o", "OUT" } << "folder" << 1
        << "OUT is a folder; -o names the file to write." << QString();
    // A dry run says what the run itself would.
    QTest::newRow("missing folder") << QStringList { "replace", "IMAGE", "10", "REPL", "-o",
        "MISSING/out.bin" } << QString()
                                    << 1 << "Can not open MISSING/out.bin!!!"
                                    << QString(
                                           "MISSING/out.bin cannot be created: there is no folder MISSING.");
    QTest::newRow("dry run: missing folder")
        << QStringList { "replace", "IMAGE", "10", "REPL", "--dry-run", "-o", "MISSING/out.bin" } << QString()
        << 1 << "Can not open MISSING/out.bin!!!"
        << QString("MISSING/out.bin cannot be created: there is no folder MISSING.");
    QTest::newRow("export: missing folder")
        << QStringList { "export", "IMAGE", "10", "-o", "MISSING/out.bin" } << QString() << 1
        << "Can not open MISSING/out.bin"
        << QString("MISSING/out.bin cannot be created: there is no folder MISSING.");
    QTest::newRow("dry run: folder that is a file")
        << QStringList { "replace", "IMAGE", "10", "REPL", "--dry-run", "-o", "REPL/out.bin" } << QString()
        << 1 << "Can not open REPL/out.bin!!!"
        << QString("REPL/out.bin cannot be created: there is no folder REPL.");
    QTest::newRow("dry run: output is a folder")
        << QStringList { "replace", "IMAGE", "10", "REPL", "--dry-run", "-o", "OUT" } << "folder" << 1
        << "OUT is a folder; -o names the file to write." << QString();
}

void TestCli::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, existingOutput);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, detail);

    const QString output = path(QStringLiteral("out.bin"));
    const QString replacementPath = path(QStringLiteral("replacement.bin"));
    const QString missing = path(QStringLiteral("missing.bin"));
    QVERIFY(writeFile(replacementPath,
        existingOutput == QLatin1String("long") ? QByteArray(0x10000 - 63, 'r') : QByteArray(16, 'r')));
    if (existingOutput == QLatin1String("old"))
        QVERIFY(writeFile(output, "old"));
    if (existingOutput == QLatin1String("symlink"))
        QVERIFY(QFile::link(imagePath, output));
    if (existingOutput == QLatin1String("dangling"))
        QVERIFY(QFile::link(missing, output));
    if (existingOutput == QLatin1String("folder"))
        QVERIFY(QDir(directory->path()).mkdir(QStringLiteral("out.bin")));
    if (existingOutput == QLatin1String("hardlink"))
        QCOMPARE(::link(QFile::encodeName(imagePath).constData(), QFile::encodeName(output).constData()), 0);
    const auto fill = [&](QString text) {
        return text.replace(QLatin1String("IMAGE"), imagePath)
            .replace(QLatin1String("OUT"), output)
            .replace(QLatin1String("REPL"), replacementPath)
            .replace(QLatin1String("MISSING"), missing)
            .replace(QLatin1String("FOLDER"), directory->path());
    };
    QStringList filled;
    for (const QString& argument : arguments)
        filled << fill(argument);
    const QByteArray outputBefore = readFile(output);

    const CliRun run = runCommand(filled);
    QCOMPARE(run.exitCode, exitCode);
    // The status text, then the explanation with the file and the numbers, when there is one.
    const QString expectedError
        = detail.isEmpty() ? fill(message) : fill(message) + QLatin1Char('\n') + fill(detail);
    QCOMPARE(QString::fromUtf8(run.err).trimmed(), expectedError);
    QVERIFY2(run.out.isEmpty(), run.out.constData());
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());
    QCOMPARE(readFile(output), outputBefore);
    if (existingOutput.isEmpty())
        QVERIFY2(!QFile::exists(output), "a refused action creates no file");

    const CliRun json = runCommand(QStringList { filled.first(), "--json" } + filled.mid(1));
    QCOMPARE(json.exitCode, exitCode);
    const QJsonObject document = json.json();
    QCOMPARE(document.value(QStringLiteral("success")).toBool(true), false);
    QCOMPARE(document.value(QStringLiteral("message")).toString(), fill(message));
    QCOMPARE(document.value(QStringLiteral("detail")).toString(), fill(detail));
    QCOMPARE(QString::fromUtf8(json.err).trimmed(), expectedError);
    // A refusal carries every field of its command that is known by then.
    QCOMPARE(document.value(QStringLiteral("output")).toString(), filled.value(filled.indexOf("-o") + 1));
    if (filled.first() == QLatin1String("replace")) {
        QCOMPARE(
            document.value(QStringLiteral("dryRun")).toBool(), filled.contains(QStringLiteral("--dry-run")));
        QVERIFY(document.value(QStringLiteral("replacement")).isString());
    }
    const bool named = message.startsWith(QLatin1String("No block"))
        || message.contains(QLatin1String("ambiguous")) || message == QLatin1String("Can not find the DMH.");
    QCOMPARE(document.contains(QStringLiteral("block")), !named);
}

// A read-only file too (root may replace it), and the new file keeps its permission bits.
void TestCli::forceReplacesAnExistingOutput()
{
    const QString output = path(QStringLiteral("out.bin"));
    QVERIFY(writeFile(output, "old"));
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    // The "User" flags say what this user may do (root may write anything); the others are the bits.
    const QFile::Permissions bits = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(output, readOnly));
    const CliRun run = runCommand({ "export", imagePath, "10", "--force", "-o", output });
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(readFile(output), StandardImages::fiveBlocks().mid(int(dmhPosition + 0x1000), 0x800));
    QCOMPARE(QFile::permissions(output) & bits, readOnly);
}

void TestCli::outputOptionForms_data()
{
    QTest::addColumn<QStringList>("option");

    QTest::newRow("-o OUT") << QStringList { "-o", "OUT" };
    QTest::newRow("-oOUT") << QStringList { "-oOUT" };
    QTest::newRow("--output OUT") << QStringList { "--output", "OUT" };
    QTest::newRow("--output=OUT") << QStringList { "--output=OUT" };
}

void TestCli::outputOptionForms()
{
    QFETCH(QStringList, option);

    const QString output = path(QStringLiteral("out.bin"));
    QStringList arguments { "export", imagePath, "10" };
    for (const QString& part : option)
        arguments << QString(part).replace(QLatin1String("OUT"), output);
    const CliRun run = runCommand(arguments);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(output), StandardImages::fiveBlocks().mid(int(dmhPosition + 0x1000), 0x800));
}

void TestCli::blockNamesAcrossDmhs_data()
{
    QTest::addColumn<bool>("emptyFirstDmh");
    QTest::addColumn<QStringList>("block");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    // DMH 0 lists 5 "boot" (or nothing), DMH 1 lists 5 "boot" and 6 "late", DMH 2 lists 6 "spare".
    QTest::newRow("name in two DMHs with one ID")
        << false << QStringList { "--name", "boot" } << 1
        << "Block name boot is ambiguous; use one of the IDs: 5 (DMH 0), 1:5.";
    QTest::newRow("name behind an empty DMH") << true << QStringList { "--name", "late" } << 1
                                              << "Block late has ID 6, but the search by ID ends at DMH 0, "
                                                 "which has no entries; use 1:6 to act on it.";
    QTest::newRow("ID behind an empty DMH")
        << true << QStringList { "6" } << 1
        << "Can not find the DMH.\nThe search by ID ends at DMH 0, which has no "
           "entries; 1:6 reaches the block behind it.";
    QTest::newRow("DMH:ID behind an empty DMH") << true << QStringList { "1:6" } << 0 << QString();
    QTest::newRow("DMH:ID of the last DMH") << false << QStringList { "2:6" } << 0 << QString();
    QTest::newRow("DMH:ID of a DMH that is not there")
        << false << QStringList { "3:5" } << 1
        << "Can not find the DMH.\nThe image has 3 DMH(s), numbered from 0; there is no DMH 3.";
    QTest::newRow("DMH:ID not in that DMH")
        << false << QStringList { "0:6" } << 1 << "Can not find the DMH.\nDMH 0 lists no block with ID 6.";
}

void TestCli::blockNamesAcrossDmhs()
{
    QFETCH(bool, emptyFirstDmh);
    QFETCH(QStringList, block);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    ImageBuilder builder(0x30000);
    TestDmh first;
    first.flashSize = 0x30000;
    if (!emptyFirstDmh)
        first.entries = { testEntry(5, 0x100, 0x10, "boot") };
    TestDmh second = first;
    second.entries = { testEntry(5, 0x100, 0x10, "boot"), testEntry(6, 0x200, 0x10, "late") };
    TestDmh third = first;
    third.entries = { testEntry(6, 0x100, 0x10, "spare") };
    builder.dmh(0, first).dmh(0x10000, second).dmh(0x20000, third);
    builder.fill(0x10200, 0x10, 'L').fill(0x20100, 0x10, 'S');
    QVERIFY(writeFile(imagePath, builder.image()));

    const QString output = path(QStringLiteral("out.bin"));
    const CliRun run = runCommand(QStringList { "export", imagePath } + block + QStringList { "-o", output });
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0) {
        const char expected = block.first() == QLatin1String("1:6") ? 'L' : 'S';
        QCOMPARE(readFile(output), QByteArray(0x10, expected));
    } else {
        QCOMPARE(QString::fromUtf8(run.err).trimmed(), message);
        QVERIFY(!QFile::exists(output));
    }
}

void TestCli::layoutThatTheFlashSizeContradicts_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QStringList>("problems");

    const QByteArray standard = StandardImages::fiveBlocks();
    QTest::newRow("whole") << standard << QStringList {};
    QTest::newRow("cut short") << standard.left(0x50000) << QStringList { "image-shorter-than-flash" };

    // A DMH look-alike in the data of fs, stating half the flash size: it is parsed last, so it rules.
    QByteArray nested = standard;
    TestDmh lookAlike;
    lookAlike.flashSize = 0x30000;
    overlay(nested, dmhPosition + 0x20000 + 0x40, ImageBuilder::dmhHeader(lookAlike));
    QTest::newRow("nested look-alike")
        << nested << QStringList { "flash-sizes-disagree", "block-beyond-flash", "block-beyond-flash" };

    QByteArray small = standard;
    overlay(small, dmhPosition + ImageLayout::flashSizeOffset, u32Bytes(0x100));
    QTest::newRow("DMH beyond the flash size")
        << small
        << QStringList { "dmh-beyond-flash", "block-beyond-flash", "block-beyond-flash", "block-beyond-flash",
               "block-beyond-flash", "block-beyond-flash" };
}

void TestCli::layoutThatTheFlashSizeContradicts()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, problems);

    QVERIFY(writeFile(imagePath, image));
    const CliRun verify = runCommand({ "verify", "--json", imagePath });
    QCOMPARE(verify.exitCode, problems.isEmpty() ? 0 : 1);
    QStringList kinds;
    for (const QJsonValue& problem : verify.json().value(QStringLiteral("layoutProblems")).toArray())
        kinds << problem.toObject().value(QStringLiteral("kind")).toString();
    QCOMPARE(kinds, problems);
    QCOMPARE(verify.json().value(QStringLiteral("holds")).toBool(), problems.isEmpty());

    // info describes the image all the same and reports the same facts as warnings.
    const CliRun info = runCommand({ "info", "--json", imagePath });
    QCOMPARE(info.exitCode, 0);
    QCOMPARE(info.json().value(QStringLiteral("warnings")).toArray().size(), problems.size());
    QCOMPARE(info.err.count("warning: "), problems.size());
}

void TestCli::textEscapesWhatATerminalWouldObey_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("shown");

    QTest::newRow("escape sequence") << QByteArray("\x1b[2J") << "\\x1b[2J";
    QTest::newRow("C1 control") << QByteArray("a\xc2\x9b"
                                              "2J")
                                << "a\\x9b2J";
    QTest::newRow("right-to-left override") << QByteArray("\xe2\x80\xae"
                                                          "abc")
                                            << "\\u{202e}abc";
    QTest::newRow("isolate") << QByteArray("\xe2\x81\xa6"
                                           "ab")
                             << "\\u{2066}ab";
    QTest::newRow("plain") << QByteArray("kernel") << "kernel";
}

void TestCli::textEscapesWhatATerminalWouldObey()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, shown);

    // The crafted text is both a block's name and the software version in its ssdata block.
    ImageBuilder builder(0x10000);
    TestDmh dmh;
    dmh.flashSize = 0x10000;
    dmh.entries = { testEntry(1, 0x1000, 0x100, name), testEntry(2, 0x2000, 0x100, "ssdata") };
    builder.dmh(0, dmh).bytes(0x2000, name + QByteArray(1, '\0'));
    QVERIFY(writeFile(imagePath, builder.image()));

    const QString list = QString::fromUtf8(runCommand({ "list", imagePath }).out);
    QVERIFY2(list.contains(QStringLiteral("  %1  ").arg(shown)), qPrintable(list));
    const QString info = QString::fromUtf8(runCommand({ "info", imagePath }).out);
    QVERIFY2(info.contains(QStringLiteral("Software Version:  %1\n").arg(shown)), qPrintable(info));
    for (const QString& output : { list, info }) {
        for (const ushort code : { 0x1b, 0x9b, 0x202e, 0x2066 })
            QVERIFY2(!output.contains(QChar(code)), "no character a terminal obeys reaches it");
    }
}

void TestCli::diffReportsEachBlock_data()
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

void TestCli::diffReportsEachBlock()
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
        const Outcome outcome = replaceInProcess(imagePath, replacedId, replacementPath, pathB);
        QVERIFY2(outcome.success, qPrintable(outcome.message));
        b = readFile(pathB);
    }
    const QStringList filesBefore = QDir(directory->path()).entryList(QDir::Files | QDir::Hidden);

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
    QCOMPARE(QDir(directory->path()).entryList(QDir::Files | QDir::Hidden), filesBefore);
}

void TestCli::diffOfUnreadableImages_data()
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

void TestCli::diffOfUnreadableImages()
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
    const QStringList filesBefore = QDir(directory->path()).entryList(QDir::Files | QDir::Hidden);

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
    QCOMPARE(QDir(directory->path()).entryList(QDir::Files | QDir::Hidden), filesBefore);
}

void TestCli::imageCutShortWhileMappedStopsCleanly_data()
{
    QTest::addColumn<QString>("naming");
    QTest::addColumn<bool>("named");
    QTest::newRow("its mapping named") << "mapping" << true;
    // While an image loads its mapping is not known yet; its scan reads every page.
    QTest::newRow("being loaded") << "loading" << true;
    QTest::newRow("another mapping named") << "other" << false;
}

void TestCli::imageCutShortWhileMappedStopsCleanly()
{
    QFETCH(QString, naming);
    QFETCH(bool, named);
    // The commands map their images; another process cuts one short. The next read of a lost page
    // raises SIGBUS, which tessel-cli turns into one line on stderr naming the input and exit status 2.
    // In a child, since it ends the process.
    const QString file = path(QStringLiteral("shrinking.bin"));
    constexpr int length = 1 << 20;
    QVERIFY(writeFile(file, QByteArray(length, 'x')));
    int errorPipe[2];
    QCOMPARE(::pipe(errorPipe), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::dup2(errorPipe[1], STDERR_FILENO);
        stopCleanlyWhenAnInputShrinks();
        const int descriptor = ::open(QFile::encodeName(file).constData(), O_RDONLY);
        ImageBuffer image;
        if (descriptor < 0 || !image.mapFile(descriptor, length)
            || ::truncate(QFile::encodeName(file).constData(), 0) != 0)
            ::_exit(100);
        static const uchar elsewhere[16] = {};
        if (naming == QLatin1String("loading"))
            nameInputForTruncation(file);
        else
            nameInputForTruncation(naming == QLatin1String("mapping") ? file : QStringLiteral("other.bin"),
                naming == QLatin1String("mapping") ? image.data() : elsewhere,
                naming == QLatin1String("mapping") ? length : 16);
        const volatile uchar lastByte = image.data()[length - 1];
        ::_exit(lastByte == 'x' ? 101 : 102);
    }
    ::close(errorPipe[1]);
    QByteArray error;
    char chunk[256];
    for (ssize_t got; (got = ::read(errorPipe[0], chunk, sizeof chunk)) > 0;)
        error.append(chunk, int(got));
    ::close(errorPipe[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), "the child ends by itself, not by the signal");
    QCOMPARE(WEXITSTATUS(status), 2);
    QCOMPARE(error,
        "tessel-cli: " + (named ? QFile::encodeName(file) + ": " : QByteArray())
            + "an input file was cut short while it was being read; stopped.\n");
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
