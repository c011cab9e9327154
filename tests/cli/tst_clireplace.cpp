#include "clitestcase.h"

#include "fixedclock.h"
#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "model/imagelayout.h"

#include <QtTest>

// tessel-cli replace: the operation's bytes, the stamp, dry runs, several pairs and warnings.
class TestCliReplace : public CliTestCase {
    Q_OBJECT

private slots:
    void replaceWritesWhatTheOperationWrites_data();
    void replaceWritesWhatTheOperationWrites();
    void replaceStampsSourceDateEpoch();
    void dryRunWritesNothingAndShowsThePlan_data();
    void dryRunWritesNothingAndShowsThePlan();
    void severalPairsAreTheChainOfSingleRuns_data();
    void severalPairsAreTheChainOfSingleRuns();
    void surprisingReplacementsWarn_data();
    void surprisingReplacementsWarn();
};

void TestCliReplace::replaceWritesWhatTheOperationWrites_data()
{
    QTest::addColumn<QString>("idText");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QString>("message");

    const QString replaced = "Replace block successfully!!!";
    const QString grown = "Replace Block successfully!!!";
    QTest::newRow("padded") << "10" << ImageBuilder::randomBytes(0x123, 7) << replaced;
    QTest::newRow("padded, 64 KiB multiple") << "21" << QByteArray() << replaced;
    QTest::newRow("record") << "20" << ImageBuilder::randomBytes(2000, 8) << replaced;
    QTest::newRow("record, empty") << "20" << QByteArray() << replaced;
    QTest::newRow("grow") << "21" << ImageBuilder::randomBytes(0x10800, 9) << grown;
    QTest::newRow("grow last block") << "22" << ImageBuilder::randomBytes(0x1100, 10) << grown;
}

void TestCliReplace::replaceWritesWhatTheOperationWrites()
{
    QFETCH(QString, idText);
    QFETCH(QByteArray, replacement);
    QFETCH(QString, message);

    const QString replacementPath = create("replacement.bin", replacement);
    const QString output = path("new.bin");
    const CliRun run = runCommand({ "replace", imagePath, idText, replacementPath, "-o", output });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.out).trimmed(),
        message + QStringLiteral("\nWrote the new image, %1 bytes, to %2.").arg(imageSize).arg(output));

    const Outcome outcome = replaceInProcess(idText, "replacement.bin", "expected.bin");
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    QCOMPARE(outcome.message, message);
    const QByteArray written = readFile(output);
    QCOMPARE(written.size(), int(imageSize));
    QVERIFY2(written == readFile(path("expected.bin")), "the CLI writes the operation's bytes");
    QVERIFY2(written != StandardImages::fiveBlocks(), "the block was replaced");
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());
}

void TestCliReplace::replaceStampsSourceDateEpoch()
{
    const QString replacementPath = create("replacement.bin", QByteArray(300, 'k'));
    const QString output = path("new.bin");
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

void TestCliReplace::dryRunWritesNothingAndShowsThePlan_data()
{
    QTest::addColumn<QString>("idText");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<bool>("withOutput");

    QTest::newRow("padded") << "10" << ImageBuilder::randomBytes(0x123, 7) << true;
    QTest::newRow("record") << "20" << ImageBuilder::randomBytes(2000, 8) << false;
    QTest::newRow("grow") << "21" << ImageBuilder::randomBytes(0x10800, 9) << true;
}

void TestCliReplace::dryRunWritesNothingAndShowsThePlan()
{
    QFETCH(QString, idText);
    QFETCH(QByteArray, replacement);
    QFETCH(bool, withOutput);

    const QString replacementPath = create("replacement.bin", replacement);
    const QStringList outputArguments = withOutput ? QStringList { "-o", path("new.bin") } : QStringList {};
    const QStringList before = fixture->entries();

    ReplacePlan expected;
    const Outcome outcome = replaceInProcess(idText, "replacement.bin", QString(), &expected);
    QVERIFY2(outcome.success, qPrintable(outcome.message));

    const CliRun run
        = runCommand(QStringList { "replace", "--dry-run", "--json", imagePath, idText, replacementPath }
            + outputArguments);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(fixture->entries(), before);
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());

    const QJsonObject plan = run.json().value("plan").toObject();
    checkFields(plan,
        { { "variant", variantName(expected.variant) }, { "replacementLength", replacement.size() },
            { "changedStart", double(expected.changedStart) },
            { "changedLength", double(expected.changedLength) } });
    const QJsonArray fields = plan.value("fields").toArray();
    QCOMPARE(fields.size(), expected.fields.size());
    for (int index = 0; index < fields.size(); ++index) {
        const FieldChange& change = expected.fields[index];
        checkFields(fields[index].toObject(),
            { { "field", fieldName(change.field) }, { "position", double(change.position) } });
        checkFields(fields[index].toObject(),
            change.field == ChangedField::RecordTime
                ? QJsonObject { { "newText", "2026/3/5/7/8/9" } }
                : QJsonObject { { "old", double(change.oldValue) }, { "new", double(change.newValue) } });
    }
    const QJsonArray moves = plan.value("moves").toArray();
    QCOMPARE(moves.size(), expected.moves.size());
    // fs grows by 0x800; the block behind it moves by as much.
    if (expected.variant == ReplaceVariant::Grow) {
        QCOMPARE(moves.size(), 1);
        checkFields(
            moves[0].toObject(), { { "idText", "22" }, { "from", dmhPosition + 0x30000 }, { "by", 0x800 } });
    }

    const CliRun text = runCommand(
        QStringList { "replace", "--dry-run", imagePath, idText, replacementPath } + outputArguments);
    QCOMPARE(text.exitCode, 0);
    QVERIFY2(text.out.contains(variantName(expected.variant).toUtf8()), text.out.constData());
    QVERIFY2(text.out.contains("Dry run: nothing was written."), text.out.constData());
    QCOMPARE(fixture->entries(), before);
}

void TestCliReplace::severalPairsAreTheChainOfSingleRuns_data()
{
    QTest::addColumn<QStringList>("blocks");
    QTest::addColumn<QList<int>>("lengths");
    // The pair that is refused, counted from 0; -1 when none is.
    QTest::addColumn<int>("failedPair");

    const auto row = [](const char* tag, const QStringList& blocks, const QList<int>& lengths,
                         int failedPair = -1) { QTest::newRow(tag) << blocks << lengths << failedPair; };
    // The standard image: 10 plain, 20 with a record, 21 "NCRC" with 22 right behind it.
    row("padded, then record", { "10", "20" }, { 0x123, 2000 });
    row("record, then growth", { "20", "21" }, { 1500, 0x10800 });
    row("growth, then the block it moved", { "21", "22" }, { 0x10800, 0x100 });
    row("three variants", { "10", "20", "21" }, { 0x10, 0x20, 0x10001 });
    row("by name and by DMH:ID", { "name:kernel", "0:10" }, { 100, 50 });
    row("refusal in the last pair", { "10", "20" }, { 0x100, 0x10000 }, 1);
    row("unknown block in the first pair", { "99", "20" }, { 1, 2 }, 0);
}

void TestCliReplace::severalPairsAreTheChainOfSingleRuns()
{
    QFETCH(QStringList, blocks);
    QFETCH(QList<int>, lengths);
    QFETCH(int, failedPair);
    const int exitCode = failedPair < 0 ? 0 : 1;

    QStringList pairArguments;
    for (int index = 0; index < blocks.size(); ++index) {
        pairArguments << blocks[index]
                      << create(QStringLiteral("replacement%1.bin").arg(index),
                             ImageBuilder::randomBytes(lengths[index], quint32(20 + index)));
    }

    // The chain of single runs, each on the output of the one before.
    QString input = imagePath;
    CliRun single;
    for (int index = 0; index < blocks.size(); ++index) {
        const QString output = path(QStringLiteral("chain%1.bin").arg(index));
        const QStringList block = blocks[index].startsWith("name:")
            ? QStringList { "--name", blocks[index].mid(5) }
            : blocks.mid(index, 1);
        single = runCommand(QStringList { "replace", input } + block
            + QStringList { pairArguments[2 * index + 1], "-o", output });
        if (single.exitCode != 0)
            break;
        input = output;
    }

    const QString output = path("pairs.bin");
    const CliRun pairs = runCommand(
        QStringList { "replace", "--json", imagePath } + pairArguments + QStringList { "-o", output });
    QCOMPARE(pairs.exitCode, exitCode);
    QCOMPARE(single.exitCode, exitCode);
    QCOMPARE(pairs.json().value("message").toString(),
        QString::fromUtf8(single.exitCode == 0 ? single.out : single.err).section('\n', 0, 0));
    if (exitCode != 0) {
        // All or nothing: no output, and the explanation names the pair that was refused.
        QVERIFY(!QFile::exists(output));
        QCOMPARE(pairs.json().value("failedPair").toObject().value("index").toInt(), failedPair);
        QVERIFY2(pairs.json().value("detail").toString().startsWith(QStringLiteral("Pair ")),
            pairs.err.constData());
        return;
    }
    QVERIFY2(readFile(output) == readFile(input), "several pairs write what the chain of single runs writes");
    QCOMPARE(pairs.json().value("steps").toArray().size(), blocks.size());

    // The dry run shows each pair's plan, in order, and writes nothing.
    const QStringList before = fixture->entries();
    const CliRun dryRun = runCommand(QStringList { "replace", "--dry-run", imagePath } + pairArguments);
    QCOMPARE(dryRun.exitCode, 0);
    for (int index = 0; index < blocks.size(); ++index) {
        const QString pair
            = QStringLiteral("Pair %1 of %2: %3").arg(index + 1).arg(blocks.size()).arg(blocks[index]);
        QVERIFY2(dryRun.out.contains(pair.toUtf8()), dryRun.out.constData());
    }
    QCOMPARE(fixture->entries(), before);
}

void TestCliReplace::surprisingReplacementsWarn_data()
{
    QTest::addColumn<bool>("container");
    QTest::addColumn<QString>("block");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QStringList>("options");

    // Padded replacements refresh the entry CRC (--update-crc) unless the row is about the stale one.
    const QStringList updateCrc { "--update-crc" };
    QTest::newRow("new bytes hold a DMH")
        << false << "10" << (QByteArray(0x40, 'x') + ImageBuilder::dmhHeader(TestDmh {}))
        << "The new bytes of block 10 (boot) hold a DMH at 0x40 into the block" << updateCrc;
    QTest::newRow("growth over NCRC")
        << false << "21" << ImageBuilder::randomBytes(0x10800, 3)
        << "The entry of block 21 (fs) held the \"NCRC\" marker" << QStringList();
    QTest::newRow("bytes inside a container block")
        << true << "10" << QByteArray(0x10, 'c') << "lie inside block 30 (all) of DMH 0 (0x100 to 0x100ff)"
        << updateCrc;
    QTest::newRow("padded: entry CRC left as it was")
        << false << "10" << QByteArray(0x10, 'c')
        << "the entry CRC of block 10 (DMH 0, entry 0) stays 2e77a92e, but the new bytes have CRC 63965a8f"
        << QStringList();
    QTest::newRow("nothing surprising") << false << "10" << QByteArray(0x10, 'c') << QString() << updateCrc;
}

void TestCliReplace::surprisingReplacementsWarn()
{
    QFETCH(bool, container);
    QFETCH(QString, block);
    QFETCH(QByteArray, replacement);
    QFETCH(QString, warning);
    QFETCH(QStringList, options);

    if (container) {
        // A last entry that lists the first 64 KiB behind the DMH as one block of its own.
        QByteArray image = StandardImages::fiveBlocks();
        TestDmh dmh = StandardImages::fiveBlocksDmh();
        dmh.entries.append(testEntry(0x30, 0, 0x10000, "all"));
        overlay(image, dmhPosition, ImageBuilder::dmhHeader(dmh));
        QVERIFY(fixture->write("image.bin", image));
    }
    const CliRun run = runCommand(QStringList { "replace", "--dry-run", "--json", imagePath, block,
                                      create("replacement.bin", replacement) }
        + options);
    QCOMPARE(run.exitCode, 0);
    const QJsonArray warnings = run.json().value("warnings").toArray();
    if (warning.isEmpty()) {
        QVERIFY2(warnings.isEmpty(), run.err.constData());
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().toString().contains(warning), qPrintable(warnings.first().toString()));
    QVERIFY2(run.err.startsWith("warning: "), run.err.constData());
}

QTEST_GUILESS_MAIN(TestCliReplace)
#include "tst_clireplace.moc"
