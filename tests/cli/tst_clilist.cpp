#include "clitestcase.h"

#include "testfiles.h"

#include <QtTest>

// tessel-cli list: the table's texts and records, in JSON and in aligned columns.
class TestCliList : public CliTestCase {
    Q_OBJECT

private slots:
    void listShowsTableTextsAndRecords();
    void textFieldsWithoutPadding_data();
    void textFieldsWithoutPadding();
    void listColumnsAreAligned();
    void hashesAreThoseOfTheExports_data();
    void hashesAreThoseOfTheExports();
};

void TestCliList::listShowsTableTextsAndRecords()
{
    const CliRun run = runCommand({ "list", "--json", imagePath });
    QCOMPARE(run.exitCode, 0);
    const QJsonArray blocks = run.json().value("blocks").toArray();
    QVERIFY(fixture->reload());
    const QVector<BlockEntry>& entries = fixture->catalogue.first().entries;
    QCOMPARE(blocks.size(), entries.size());
    for (int row = 0; row < entries.size(); ++row) {
        const BlockEntry& entry = entries[row];
        checkFields(blocks[row].toObject(),
            { { "cells",
                  QJsonArray::fromStringList({ entry.idText(), entry.sizeCellText(), entry.crcCellText(),
                      entry.nameCellText(), entry.versionCellText(), entry.timeCellText() }) },
                { "id", entry.id }, { "size", double(entry.size) },
                { "crc",
                    QJsonObject { { "stored", double(entry.crc) }, { "storedText", entry.crcCellText() } } },
                { "offset", double(entry.offset) }, { "start", double(dmhPosition + entry.offset) },
                { "flags", entry.flags }, { "dmhIndex", 0 },
                { "nameText", QString::fromLatin1(entry.nameText()) },
                // Only the kernel block ends in a record.
                { "hasBlockInfo", row == 2 }, { "dataLength", row == 2 ? QJsonValue(1000) : QJsonValue() } });
    }
    // The table's texts, checked by value: lower-case hex IDs, "NCRC" as its hex, names padded to 8.
    checkFields(blocks[1].toObject(), { { "idText", "ab" } });
    checkFields(blocks[3].toObject(), { { "crcText", "4352434e" } });
    checkFields(blocks[2].toObject(), { { "name", QString::fromLatin1("kernel\0\0", 8) } });
    checkFields(
        blocks[0].toObject(), { { "time", "2014/3/5/14/7/9" }, { "timeIso", "2014-03-05T14:07:09" } });
}

void TestCliList::textFieldsWithoutPadding_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("time");
    QTest::addColumn<QString>("versionText");
    QTest::addColumn<QJsonValue>("timeIso");

    // Year (2 bytes, little-endian), month, day, hour, minute, second, and a spare byte.
    // clang-format off
    QTest::newRow("padded version") << QByteArray("v1.2\0\0\0\0", 8) << QByteArray("\xE9\x07\x0B\x03\x09\x0C\x2C\x00", 8)
                                    << "v1.2" << QJsonValue("2025-11-03T09:12:44");
    QTest::newRow("all 8 bytes") << QByteArray("20240101") << QByteArray("\xE8\x07\x02\x1D\x17\x3B\x3B\x00", 8)
                                 << "20240101" << QJsonValue("2024-02-29T23:59:59");
    QTest::newRow("no calendar date") << QByteArray(8, '\0') << QByteArray("\xE9\x07\x02\x1E\x00\x00\x00\x00", 8)
                                      << "" << QJsonValue();
    QTest::newRow("erased flash") << QByteArray(8, '\xFF') << QByteArray(8, '\xFF')
                                  << QString::fromLocal8Bit(QByteArray(8, '\xFF')) << QJsonValue();
    // clang-format on
}

// versionText is the version up to its first zero byte; timeIso the time as ISO 8601, null when the bytes
// make no calendar time.
void TestCliList::textFieldsWithoutPadding()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, time);
    QFETCH(QString, versionText);
    QFETCH(QJsonValue, timeIso);

    QByteArray image = StandardImages::fiveBlocks();
    const qint64 entry = entryField(0, 0);
    image.replace(int(entry + BlockEntry::versionOffset), 8, version);
    image.replace(int(entry + BlockEntry::timeOffset), 8, time);
    QVERIFY(fixture->write("image.bin", image));
    const QJsonObject block
        = runCommand({ "list", "--json", imagePath }).json().value("blocks").toArray()[0].toObject();
    checkFields(block, { { "versionText", versionText }, { "timeIso", timeIso } });
}

void TestCliList::listColumnsAreAligned()
{
    const CliRun run = runCommand({ "list", imagePath });
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
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
        QVERIFY2(kernel.mid(headerColumn).startsWith(column.second + ' ')
                || kernel.mid(headerColumn) == column.second,
            qPrintable(QStringLiteral("%1 not under %2 in\n%3\n%4")
                           .arg(column.second, column.first, header, kernel)));
    }
}

void TestCliList::hashesAreThoseOfTheExports_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("five blocks") << StandardImages::fiveBlocks();
    QTest::newRow("record and two plain") << StandardImages::recordAndTwoPlain();
    QTest::newRow("four blocks") << StandardImages::fourBlocks();
    QTest::newRow("two DMHs, a block past the end") << StandardImages::twoDmhs();
    QTest::newRow("two entries") << StandardImages::twoEntries();
    QTest::newRow("empty DMH before two entries") << StandardImages::emptyDmhBeforeTwoEntries();
    QTest::newRow("empty DMH") << StandardImages::emptyDmh();
}

// Every block's sha256 is the hash of the file export writes for it (null where there is none), in every
// command that shows hashes; the image's is the hash of the file. Without --hashes no command has any.
void TestCliList::hashesAreThoseOfTheExports()
{
    QFETCH(QByteArray, image);
    const auto sha256 = [](const QByteArray& bytes) {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    };
    QVERIFY(fixture->write("image.bin", image));
    const CliRun exported = runCommand({ "export", imagePath, "--all", "-o", path("blocks") });
    QVERIFY2(exported.exitCode != 2, exported.err.constData());
    const QJsonArray files
        = QJsonDocument::fromJson(readFile(path("blocks/index.json"))).object().value("blocks").toArray();
    const QJsonObject listed = runCommand({ "list", "--hashes", "--json", imagePath }).json();
    QCOMPARE(listed.value("sha256").toString(), sha256(image));
    const QJsonArray blocks = listed.value("blocks").toArray();
    QCOMPARE(blocks.size(), files.size());
    // The same hashes in verify, in each side of a diff, and in the text's last column.
    const QJsonArray verified
        = runCommand({ "verify", "--hashes", "--json", imagePath }).json().value("blocks").toArray();
    const QJsonObject diff = runCommand({ "diff", "--hashes", "--json", imagePath, imagePath }).json();
    const QJsonArray diffBlocks = diff.value("blocks").toArray();
    QCOMPARE(verified.size(), blocks.size());
    QCOMPARE(diffBlocks.size(), blocks.size());
    const QStringList lines = QString::fromUtf8(runCommand({ "list", "--hashes", imagePath }).out)
                                  .split('\n', Qt::SkipEmptyParts);
    for (int row = 0; row < blocks.size(); ++row) {
        const QJsonValue file = files[row].toObject().value("file");
        const QJsonValue hash = blocks[row].toObject().value("sha256");
        QCOMPARE(hash.isNull(), file.isNull());
        if (!file.isNull())
            QCOMPARE(hash.toString(), sha256(readFile(path("blocks/") + file.toString())));
        QCOMPARE(verified[row].toObject().value("sha256"), hash);
        QCOMPARE(diffBlocks[row].toObject().value("a").toObject().value("sha256"), hash);
        QCOMPARE(diffBlocks[row].toObject().value("b").toObject().value("sha256"), hash);
        QVERIFY2(lines[row + 1].endsWith(" " + (hash.isNull() ? "-" : hash.toString())),
            qPrintable(lines[row + 1]));
    }
    QCOMPARE(diff.value("b").toObject().value("sha256").toString(), sha256(image));
    QCOMPARE(runCommand({ "info", "--hashes", "--json", imagePath }).json().value("sha256").toString(),
        sha256(image));

    for (const QStringList& command : { QStringList { "list" }, QStringList { "verify" },
             QStringList { "info" }, QStringList { "diff", imagePath } }) {
        const CliRun run = runCommand(QStringList { command.first(), "--json", imagePath } + command.mid(1));
        QVERIFY2(!run.out.contains("sha256"), qPrintable(command.first()));
    }
}

QTEST_GUILESS_MAIN(TestCliList)
#include "tst_clilist.moc"
