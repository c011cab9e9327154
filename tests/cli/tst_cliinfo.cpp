#include "clitestcase.h"

#include "imagebuilder.h"
#include "testfiles.h"

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
        QVERIFY2(output.contains(line), qPrintable(output));

    const CliRun run = runCommand({ "info", "--json", imagePath });
    QCOMPARE(run.exitCode, 0);
    checkFields(run.json(),
        { { "schemaVersion", 2 }, { "command", "info" }, { "success", true }, { "imageSize", imageSize },
            { "sdramSize", 67108864 }, { "flashSize", imageSize }, { "blockNumber", 5 },
            { "softwareVersion", "V1.2.3" } });
    const QJsonArray dmhs = run.json().value("dmhs").toArray();
    QCOMPARE(dmhs.size(), 1);
    checkFields(dmhs[0].toObject(),
        { { "position", dmhPosition }, { "positionText", "100" }, { "dataCapacity", 0x01000000 },
            { "entryCount", 5 }, { "entrySize", 48 } });
}

void TestCliInfo::secondDmhCountsFromItsOwnPosition()
{
    // Both DMHs list ID 5 at offset 0x100, so each block lies 0x100 bytes after its own DMH.
    TestDmh first = testDmh({ testEntry(5, 0x100, 0x10, "first") }, 0x10000);
    first.sdramSize = 1;
    TestDmh second
        = testDmh({ testEntry(5, 0x100, 0x10, "second"), testEntry(6, 0x200, 0x10, "other") }, 0x10000);
    second.sdramSize = 2;
    QVERIFY(fixture->write("image.bin",
        ImageBuilder(0x10000)
            .dmh(0, first)
            .dmh(0x8000, second)
            .fill(0x100, 0x10, 'a')
            .fill(0x8100, 0x10, 'b')
            .image()));

    const QJsonObject info = runCommand({ "info", "--json", imagePath }).json();
    checkFields(info, { { "blockNumber", 3 }, { "sdramSize", 2 } });
    QCOMPARE(info.value("dmhs").toArray().size(), 2);

    const QJsonArray blocks = runCommand({ "list", "--json", imagePath }).json().value("blocks").toArray();
    QCOMPARE(blocks.size(), 3);
    checkFields(blocks[0].toObject(), { { "start", 0x100 } });
    checkFields(blocks[1].toObject(), { { "start", 0x8100 }, { "dmhIndex", 1 } });

    // ID 5 finds the first DMH's block, as in the window, and says that it is listed twice; the second
    // one cannot be reached by its name, but DMH:ID reaches it.
    const QString output = path("block.out");
    const CliRun byId = runCommand({ "export", imagePath, "5", "-o", output });
    QCOMPARE(byId.exitCode, 0);
    QCOMPARE(readFile(output), QByteArray(0x10, 'a'));
    QCOMPARE(byId.err,
        QByteArray(
            "warning: ID 5 is listed 2 times in the image; the first entry (DMH 0, entry 0) is acted on, "
            "as in the window. DMH:ID (for example 1:5) reaches the first entry of another DMH.\n"));
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

    // The example DMH:ID names a DMH that lists the ID, whichever it is, and none when only the DMH acted
    // on lists it again.
    QVERIFY(fixture->write("image.bin",
        ImageBuilder(0x10000)
            .dmh(0, testDmh({ testEntry(6, 0x100, 0x10, "six"), testEntry(9, 0x110, 0x10, "nine") }, 0x10000))
            .dmh(0x8000,
                testDmh({ testEntry(8, 0x100, 0x10, "a"), testEntry(8, 0x110, 0x10, "b"),
                            testEntry(9, 0x120, 0x10, "c"), testEntry(9, 0x130, 0x10, "d") },
                    0x10000))
            .image()));
    const QList<QPair<QString, QByteArray>> warnings {
        { "8",
            "warning: ID 8 is listed 2 times in the image; the first entry (DMH 1, entry 0) is acted on, as "
            "in "
            "the window.\n" },
        { "1:9",
            "warning: ID 9 is listed 2 times in DMH 1; the first entry (DMH 1, entry 2) is acted on, as in "
            "the "
            "window. DMH:ID (for example 0:9) reaches the first entry of another DMH.\n" },
    };
    for (const auto& [block, warning] : warnings) {
        const CliRun run = runCommand({ "export", imagePath, block, "-o", path(block + ".out") });
        CLI_COMPARE_EXIT(run, 0);
        QCOMPARE(run.err, warning);
    }
}

QTEST_GUILESS_MAIN(TestCliInfo)
#include "tst_cliinfo.moc"
