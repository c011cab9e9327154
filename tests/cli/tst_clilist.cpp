#include "clitestcase.h"

#include "model/flashimage.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

// tessel-cli list: the table's texts and records, in JSON and in aligned columns.
class TestCliList : public CliTestCase {
    Q_OBJECT

private slots:
    void listShowsTableTextsAndRecords();
    void listColumnsAreAligned();
};

void TestCliList::listShowsTableTextsAndRecords()
{
    const CliRun run = runCommand({ "list", "--json", imagePath });
    QCOMPARE(run.exitCode, 0);
    const QJsonArray blocks = run.json().value("blocks").toArray();
    FlashImage image;
    QVERIFY(image.load(imagePath.toStdWString()));
    const QVector<BlockEntry>& entries = image.dmhRecords().first().entries;
    QCOMPARE(blocks.size(), entries.size());
    for (int row = 0; row < entries.size(); ++row) {
        const BlockEntry& entry = entries[row];
        const QJsonObject block = blocks[row].toObject();
        const QStringList cells { entry.idText(), entry.sizeCellText(), entry.crcCellText(),
            entry.nameCellText(), entry.versionCellText(), entry.timeCellText() };
        QCOMPARE(block.value("cells").toVariant().toStringList(), cells);
        QCOMPARE(block.value("id").toInt(), int(entry.id));
        QCOMPARE(block.value("size").toDouble(), double(entry.size));
        QCOMPARE(block.value("crc").toDouble(), double(entry.crc));
        QCOMPARE(block.value("offset").toDouble(), double(entry.offset));
        QCOMPARE(block.value("start").toDouble(), double(dmhPosition + entry.offset));
        QCOMPARE(block.value("flags").toInt(), int(entry.flags));
        QCOMPARE(block.value("dmhIndex").toInt(), 0);
        QCOMPARE(block.value("nameText").toString(), QString::fromLatin1(entry.nameText()));
    }
    // The table's texts, checked by value: lower-case hex IDs, "NCRC" as its hex, names padded to 8.
    QCOMPARE(blocks[1].toObject().value("idText").toString(), QStringLiteral("ab"));
    QCOMPARE(blocks[3].toObject().value("crcText").toString(), QStringLiteral("4352434e"));
    QCOMPARE(blocks[2].toObject().value("name").toString(), QString::fromLatin1("kernel\0\0", 8));
    QCOMPARE(blocks[0].toObject().value("time").toString(), QStringLiteral("2014/3/5/14/7/9"));

    for (int row = 0; row < blocks.size(); ++row) {
        const QJsonObject block = blocks[row].toObject();
        const bool record = row == 2;
        QCOMPARE(block.value("hasBlockInfo").toBool(), record);
        QCOMPARE(block.value("dataLength").isNull(), !record);
    }
    QCOMPARE(blocks[2].toObject().value("dataLength").toInt(), 1000);
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

QTEST_GUILESS_MAIN(TestCliList)
#include "tst_clilist.moc"
