#include "imagebuilder.h"
#include "imagefixture.h"
#include "testbytes.h"
#include "testfiles.h"

#include "ops/export/blockexport.h"
#include "ops/export/blockhashes.h"
#include "ops/base/blocklocation.h"
#include "ops/record/blockinfo.h"

#include <QCryptographicHash>
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
};

void TestBlockExport::findsFirstMatchingEntry_data()
{
    QTest::addColumn<QVector<DmhRecord>>("catalogue");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<int>("dmhIndex");
    QTest::addColumn<int>("entryIndex");

    const QVector<DmhRecord> two { dmhRecord(0x40, { 1, 0x0a, 0x10 }), dmhRecord(0x9000, { 2, 0x0a }) };
    QTest::newRow("lower-case hex") << two << "a" << 0 << 1;
    QTest::newRow("two digits") << two << "10" << 0 << 2;
    QTest::newRow("second DMH") << two << "2" << 1 << 0;
    QTest::newRow("upper case does not match") << two << "A" << -1 << -1;
    QTest::newRow("leading zero does not match") << two << "01" << -1 << -1;
    QTest::newRow("empty text") << two << "" << -1 << -1;
    QTest::newRow("empty catalogue") << QVector<DmhRecord>() << "1" << -1 << -1;
    QTest::newRow("empty DMH ends the search")
        << QVector<DmhRecord> { dmhRecord(0x40, { 1 }), dmhRecord(0x800, {}), dmhRecord(0x9000, { 2 }) }
        << "2" << -1 << -1;
}

void TestBlockExport::findsFirstMatchingEntry()
{
    QFETCH(QVector<DmhRecord>, catalogue);
    QFETCH(QString, idText);
    QFETCH(int, dmhIndex);
    QFETCH(int, entryIndex);

    const BlockLocation location = findBlock(catalogue, idText);
    QCOMPARE(location.found(), dmhIndex >= 0);
    QCOMPARE(location.dmhIndex, dmhIndex);
    QCOMPARE(location.entryIndex, entryIndex);
    if (!location.found())
        return;
    const BlockEntry& entry = catalogue.at(dmhIndex).entries.at(entryIndex);
    QCOMPARE(location.dmhPosition, catalogue.at(dmhIndex).position);
    QCOMPARE(location.offset, entry.offset);
    QCOMPARE(location.size, entry.size);
    QVERIFY(location.entry == entry);
}

void TestBlockExport::exportsBlockOrDataPart_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("idText");
    // The output's name; "earlier" names one that holds what the user had.
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    // What the output holds after a success; null for a refusal.
    QTest::addColumn<QByteArray>("written");

    // clang-format off
    const auto saves = [](const char* name, const QByteArray& image, const QByteArray& written) {
        QTest::newRow(name) << image << "1" << "block.out" << "Save block %1 successfully!!!" << written;
    };
    // Refusals write nothing, and leave an earlier output as it was.
    const auto refuses = [](const char* name, const QByteArray& image, const QString& id, const QString& message) {
        QTest::addRow("%s, no file", name) << image << id << "block.out" << message << QByteArray();
        QTest::addRow("%s, file there", name) << image << id << "earlier" << message << QByteArray();
    };
    // clang-format on
    const QByteArray data = ImageBuilder::randomBytes(1000, 7);
    const TestEntry recordBlock = testEntry(1, 0x10000, 0x20000, "boot", 0);
    const QByteArray withRecord = oneBlockImage(recordBlock, data, true);
    const QByteArray unaligned = oneBlockImage(testEntry(1, 0x18000, 0x20000, "boot", 0), data, true);
    const QByteArray flagged = oneBlockImage(testEntry(1, 0x10000, 0x20000, "boot", 1), data, true);
    QByteArray damaged = withRecord;
    damaged[0x10000 + 0x20000 - BlockInfo::recordSize + 11] = 1;
    // The record's data length set to `length`.
    const auto dataLength = [&recordBlock](quint32 length) {
        QByteArray image = oneBlockImage(recordBlock, {}, true);
        overlay(
            image, 0x10000 + 0x20000 - BlockInfo::recordSize + BlockInfo::dataLengthOffset, u32Bytes(length));
        return image;
    };
    const QByteArray upToRecord = dataLength(0x20000 - BlockInfo::recordSize);
    saves("record, 1000 data bytes", withRecord, data);
    saves("record, no data", oneBlockImage(recordBlock, {}, true), "");
    saves("unaligned offset: whole block, record included", unaligned, unaligned.mid(0x18000, 0x20000));
    saves("flags 1: whole block", flagged, flagged.mid(0x10000, 0x20000));
    saves("damaged signature: whole block", damaged, damaged.mid(0x10000, 0x20000));
    saves("data length up to the record", upToRecord, upToRecord.mid(0x10000, 0x1FFC0));
    const QString failed = "Save block %1 failed!!!";
    refuses("data length into record", dataLength(0x20000 - BlockInfo::recordSize + 1), "1", failed);
    refuses("data length 0xFFFFFFFF", dataLength(0xFFFFFFFF), "1", failed);
    refuses("block past image end", oneBlockImage(testEntry(1, 0x70000, 0x20000, "boot"), {}, false), "1",
        "Block is out of the image!!!");
    refuses("ID not found", withRecord, "9", "Can not find the DMH.");
    // clang-format off
    QTest::newRow("output that cannot be opened") << oneBlockImage(testEntry(1, 0x10000, 0x20000), {}, false) << "1"
        << "missing-folder/block.out" << "Can not open %1" << QByteArray();
    // clang-format on
}

void TestBlockExport::exportsBlockOrDataPart()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, idText);
    QFETCH(QString, output);
    QFETCH(QString, message);
    QFETCH(QByteArray, written);

    ImageFixture fixture;
    QVERIFY(fixture.load(image));
    const QByteArray earlier("what the user had");
    if (output == "earlier")
        QVERIFY(fixture.write(output, earlier));
    const QStringList before = fixture.entries();

    const Outcome outcome = fixture.exportBlock(idText, output);
    QCOMPARE(outcome.message, message.contains("%1") ? message.arg(fixture.path(output)) : message);
    QCOMPARE(outcome.success, !written.isNull());
    QCOMPARE(fixture.read(output), outcome.success ? written : output == "earlier" ? earlier : QByteArray());
    QCOMPARE(fixture.entries(), outcome.success ? QStringList({ "block.out", "image.bin" }) : before);
    if (outcome.success) {
        // The block's hash is that of exactly what its export writes, and the progress of the hashing ends
        // at the image and that block together.
        qint64 lastDone = -1;
        qint64 lastTotal = -1;
        const BlockHashes hashes = BlockHashes::compute(ImageView::of(*fixture.image),
            fixture.image->dmhRecords(), nullptr, [&](qint64 done, qint64 total) {
                QVERIFY(done >= lastDone);
                lastDone = done;
                lastTotal = total;
            });
        QCOMPARE(hashes.of(0, 0), QCryptographicHash::hash(written, QCryptographicHash::Sha256).toHex());
        QCOMPARE(hashes.image(), QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
        QCOMPARE(lastTotal, qint64(image.size() + written.size()));
        QCOMPARE(lastDone, lastTotal);
    }
    QCOMPARE(imageBytes(*fixture.image), image);
}

QTEST_GUILESS_MAIN(TestBlockExport)
#include "tst_blockexport.moc"
