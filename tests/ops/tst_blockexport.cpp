#include "imagebuilder.h"
#include "imagefixture.h"
#include "testbytes.h"
#include "testfiles.h"

#include "ops/blockexport.h"
#include "ops/blocklocation.h"
#include "ops/blockinfo.h"

#include <QtTest>

namespace {

constexpr qint64 imageLength = 0x80000;

// One DMH at 0 with one block whose first bytes are `data`.
QByteArray oneBlockImage(const TestEntry& entry, const QByteArray& data, bool withRecord)
{
    ImageBuilder builder(imageLength);
    builder.dmh(0, testDmh({ entry }, imageLength));
    builder.block(0, entry, data, withRecord);
    return builder.image();
}

DmhRecord dmhRecord(quint32 position, const QVector<quint8>& ids)
{
    DmhRecord record;
    record.position = position;
    for (quint8 id : ids)
        record.entries.append(testEntry(id, 0x100 * id, 0x10).toEntry());
    record.entryCount = quint16(ids.size());
    return record;
}

} // namespace

Q_DECLARE_METATYPE(DmhRecord)

class TestBlockExport : public QObject {
    Q_OBJECT

private slots:
    void findsFirstMatchingEntry_data();
    void findsFirstMatchingEntry();
    void exportsBlockOrDataPart_data();
    void exportsBlockOrDataPart();
    void refusesAndWritesNothing_data();
    void refusesAndWritesNothing();
    void reportsOutputThatCannotBeOpened();
};

void TestBlockExport::findsFirstMatchingEntry_data()
{
    QTest::addColumn<QVector<DmhRecord>>("catalogue");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<int>("dmhIndex");
    QTest::addColumn<int>("entryIndex");
    QTest::addColumn<quint32>("dmhPosition");

    const QVector<DmhRecord> two { dmhRecord(0x40, { 1, 0x0a, 0x10 }), dmhRecord(0x9000, { 2, 0x0a }) };
    QTest::newRow("lower-case hex") << two << "a" << 0 << 1 << 0x40u;
    QTest::newRow("two digits") << two << "10" << 0 << 2 << 0x40u;
    QTest::newRow("second DMH") << two << "2" << 1 << 0 << 0x9000u;
    QTest::newRow("upper case does not match") << two << "A" << -1 << -1 << 0u;
    QTest::newRow("leading zero does not match") << two << "01" << -1 << -1 << 0u;
    QTest::newRow("empty text") << two << "" << -1 << -1 << 0u;
    QTest::newRow("empty catalogue") << QVector<DmhRecord>() << "1" << -1 << -1 << 0u;
    QTest::newRow("empty DMH ends the search")
        << QVector<DmhRecord> { dmhRecord(0x40, { 1 }), dmhRecord(0x800, {}), dmhRecord(0x9000, { 2 }) }
        << "2" << -1 << -1 << 0u;
}

void TestBlockExport::findsFirstMatchingEntry()
{
    QFETCH(QVector<DmhRecord>, catalogue);
    QFETCH(QString, idText);
    QFETCH(int, dmhIndex);
    QFETCH(int, entryIndex);
    QFETCH(quint32, dmhPosition);

    const BlockLocation location = findBlock(catalogue, idText);
    QCOMPARE(location.found(), dmhIndex >= 0);
    QCOMPARE(location.dmhIndex, dmhIndex);
    QCOMPARE(location.entryIndex, entryIndex);
    if (!location.found())
        return;
    const BlockEntry& entry = catalogue.at(dmhIndex).entries.at(entryIndex);
    QCOMPARE(location.dmhPosition, dmhPosition);
    QCOMPARE(location.offset, entry.offset);
    QCOMPARE(location.size, entry.size);
    QVERIFY(location.entry == entry);
}

void TestBlockExport::exportsBlockOrDataPart_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("expectedLength");

    const QByteArray data = ImageBuilder::randomBytes(1000, 7);
    TestEntry recordBlock = testEntry(1, 0x10000, 0x20000, "boot", 0);
    QTest::newRow("record, 1000 data bytes")
        << oneBlockImage(recordBlock, data, true) << qint64(0x10000) << qint64(1000);
    QTest::newRow("record, no data") << oneBlockImage(recordBlock, {}, true) << qint64(0x10000) << qint64(0);

    TestEntry unaligned = testEntry(1, 0x18000, 0x20000, "boot", 0);
    QTest::newRow("unaligned offset: whole block, record included")
        << oneBlockImage(unaligned, data, true) << qint64(0x18000) << qint64(0x20000);
    TestEntry flagged = testEntry(1, 0x10000, 0x20000, "boot", 1);
    QTest::newRow("flags 1: whole block")
        << oneBlockImage(flagged, data, true) << qint64(0x10000) << qint64(0x20000);

    QByteArray damaged = oneBlockImage(recordBlock, data, true);
    damaged[0x10000 + 0x20000 - BlockInfo::recordSize + 11] = 1;
    QTest::newRow("damaged signature: whole block") << damaged << qint64(0x10000) << qint64(0x20000);

    QByteArray atRecordStart = oneBlockImage(recordBlock, data, true);
    overlay(atRecordStart, 0x10000 + 0x20000 - BlockInfo::recordSize + BlockInfo::dataLengthOffset,
        u32Bytes(0x20000 - BlockInfo::recordSize));
    QTest::newRow("data length up to the record") << atRecordStart << qint64(0x10000) << qint64(0x1FFC0);
}

void TestBlockExport::exportsBlockOrDataPart()
{
    QFETCH(QByteArray, image);
    QFETCH(qint64, start);
    QFETCH(qint64, expectedLength);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    const QString output = fixture.path("block.out");
    const Outcome outcome = fixture.exportBlock("1", "block.out");
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    QCOMPARE(outcome.message, QStringLiteral("Save block %1 successfully!!!").arg(output));
    QVERIFY(QFileInfo::exists(output));
    QCOMPARE(readFile(output), image.mid(int(start), int(expectedLength)));
}

void TestBlockExport::refusesAndWritesNothing_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<bool>("outputExists");
    QTest::addColumn<QString>("message");

    TestEntry recordBlock = testEntry(1, 0x10000, 0x20000, "boot", 0);
    QByteArray pastRecord = oneBlockImage(recordBlock, {}, true);
    overlay(pastRecord, 0x10000 + 0x20000 - BlockInfo::recordSize + BlockInfo::dataLengthOffset,
        u32Bytes(0x20000 - BlockInfo::recordSize + 1));
    QByteArray huge = oneBlockImage(recordBlock, {}, true);
    overlay(
        huge, 0x10000 + 0x20000 - BlockInfo::recordSize + BlockInfo::dataLengthOffset, u32Bytes(0xFFFFFFFF));
    const QByteArray beyond = oneBlockImage(testEntry(1, 0x70000, 0x20000, "boot"), {}, false);
    const QByteArray fine = oneBlockImage(recordBlock, {}, true);

    for (bool exists : { false, true }) {
        const char* const where = exists ? ", file there" : ", no file";
        QTest::newRow(qPrintable(QStringLiteral("data length into record%1").arg(where)))
            << pastRecord << "1" << exists << "Save block %1 failed!!!";
        QTest::newRow(qPrintable(QStringLiteral("data length 0xFFFFFFFF%1").arg(where)))
            << huge << "1" << exists << "Save block %1 failed!!!";
        QTest::newRow(qPrintable(QStringLiteral("block past image end%1").arg(where)))
            << beyond << "1" << exists << "Block is out of the image!!!";
        QTest::newRow(qPrintable(QStringLiteral("ID not found%1").arg(where)))
            << fine << "9" << exists << "Can not find the DMH.";
    }
}

void TestBlockExport::refusesAndWritesNothing()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, idText);
    QFETCH(bool, outputExists);
    QFETCH(QString, message);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    const QByteArray before = imageBytes(*fixture.image);
    const QString output = fixture.path("block.out");
    const QByteArray earlier("what the user had");
    if (outputExists)
        QVERIFY(fixture.write("block.out", earlier));

    const Outcome outcome = fixture.exportBlock(idText, "block.out");
    QVERIFY(!outcome.success);
    QCOMPARE(outcome.message, message.contains("%1") ? message.arg(output) : message);
    QCOMPARE(QFileInfo::exists(output), outputExists);
    if (outputExists)
        QCOMPARE(readFile(output), earlier);
    QCOMPARE(fixture.entries().size(), outputExists ? 2 : 1);
    QCOMPARE(imageBytes(*fixture.image), before);
}

void TestBlockExport::reportsOutputThatCannotBeOpened()
{
    ImageFixture fixture;
    QVERIFY(fixture.load(oneBlockImage(testEntry(1, 0x10000, 0x20000), {}, false)));
    const QString output = fixture.path("missing-folder/block.out");
    const Outcome outcome = fixture.exportBlock("1", "missing-folder/block.out");
    QVERIFY(!outcome.success);
    QCOMPARE(outcome.message, QStringLiteral("Can not open %1").arg(output));
    QVERIFY(!QFileInfo::exists(output));
}

QTEST_GUILESS_MAIN(TestBlockExport)
#include "tst_blockexport.moc"
