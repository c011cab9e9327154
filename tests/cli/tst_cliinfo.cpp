#include "clitestcase.h"

#include "imagebuilder.h"
#include "testfiles.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

// tessel-cli info: the summary and the DMHs of an image.
class TestCliInfo : public CliTestCase {
    Q_OBJECT

private slots:
    void infoReportsSummaryAndDmhs();
    void secondDmhCountsFromItsOwnPosition();
};

void TestCliInfo::infoReportsSummaryAndDmhs()
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
    QCOMPARE(json.value("schemaVersion").toInt(), 1);
    QCOMPARE(json.value("command").toString(), QStringLiteral("info"));
    QCOMPARE(json.value("success").toBool(), true);
    QCOMPARE(json.value("imageSize").toDouble(), double(imageSize));
    QCOMPARE(json.value("sdramSize").toDouble(), 67108864.0);
    QCOMPARE(json.value("flashSize").toDouble(), double(imageSize));
    QCOMPARE(json.value("blockNumber").toInt(), 5);
    QCOMPARE(json.value("softwareVersion").toString(), QStringLiteral("V1.2.3"));
    const QJsonArray dmhs = json.value("dmhs").toArray();
    QCOMPARE(dmhs.size(), 1);
    const QJsonObject dmh = dmhs[0].toObject();
    QCOMPARE(dmh.value("position").toDouble(), double(dmhPosition));
    QCOMPARE(dmh.value("positionText").toString(), QStringLiteral("100"));
    QCOMPARE(dmh.value("dataCapacity").toDouble(), double(0x01000000));
    QCOMPARE(dmh.value("entryCount").toInt(), 5);
    QCOMPARE(dmh.value("entrySize").toInt(), 48);
}

void TestCliInfo::secondDmhCountsFromItsOwnPosition()
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
    QCOMPARE(info.value("blockNumber").toInt(), 3);
    QCOMPARE(info.value("sdramSize").toInt(), 2);
    QCOMPARE(info.value("dmhs").toArray().size(), 2);

    const QJsonArray blocks = runCommand({ "list", "--json", imagePath }).json().value("blocks").toArray();
    QCOMPARE(blocks.size(), 3);
    QCOMPARE(blocks[0].toObject().value("start").toInt(), 0x100);
    QCOMPARE(blocks[1].toObject().value("start").toInt(), 0x8100);
    QCOMPARE(blocks[1].toObject().value("dmhIndex").toInt(), 1);

    // ID 5 finds the first DMH's block, as in the window, and says that it is listed twice; the second
    // one cannot be reached by its name, but DMH:ID reaches it.
    const QString output = path("block.out");
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
    QCOMPARE(qualified.json().value("block").toObject().value("dmhIndex").toInt(), 1);
    QVERIFY2(qualified.err.isEmpty(), "ID 5 is listed once in DMH 1");
}

QTEST_GUILESS_MAIN(TestCliInfo)
#include "tst_cliinfo.moc"
