#include "imagebuilder.h"
#include "ops/record/blockinfo.h"
#include "ops/record/stamptime.h"

#include <QtTest>

Q_DECLARE_METATYPE(StampTime)

namespace {

constexpr quint32 dmhPosition = 0x100;

// An image with one aligned block of `size` bytes at offset `offset`, ending in a valid record.
QByteArray imageWithRecordBlock(quint32 offset, quint32 size)
{
    ImageBuilder builder(dmhPosition + offset + size + 0x100);
    builder.block(dmhPosition, testEntry(1, offset, size, "blk", 0), QByteArray(1000, 'd'), true);
    return builder.image();
}

const uchar* bytesOf(const QByteArray& data)
{
    return reinterpret_cast<const uchar*>(data.constData());
}

} // namespace

class TestBlockInfo : public QObject {
    Q_OBJECT

private slots:
    void recordRule_data();
    void recordRule();
    void noRecordOutsideTheBlockOrTheImage();
    void stampWritesOnlyItsFields();
    void stampTimeSplitsOneMoment_data();
    void stampTimeSplitsOneMoment();
    void stampTimeReadsTheLocalClock();
};

void TestBlockInfo::recordRule_data()
{
    QTest::addColumn<quint32>("offset");
    QTest::addColumn<quint32>("size");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("damagedByte");
    QTest::addColumn<bool>("carriesRecord");

    QTest::newRow("aligned, flags 0, signature") << 0x10000u << 0x20000u << 0 << -1 << true;
    QTest::newRow("64 KiB block") << 0x10000u << 0x10000u << 0 << -1 << true;
    QTest::newRow("first zero byte damaged") << 0x10000u << 0x20000u << 0 << 10 << false;
    QTest::newRow("second zero byte damaged") << 0x10000u << 0x20000u << 0 << 11 << false;
    QTest::newRow("signature text damaged") << 0x10000u << 0x20000u << 0 << 0 << false;
    QTest::newRow("flags 1") << 0x10000u << 0x20000u << 1 << -1 << false;
    QTest::newRow("offset 0x8000") << 0x8000u << 0x20000u << 0 << -1 << false;
    QTest::newRow("size not aligned") << 0x10000u << 0x18000u << 0 << -1 << false;
}

void TestBlockInfo::recordRule()
{
    QFETCH(quint32, offset);
    QFETCH(quint32, size);
    QFETCH(int, flags);
    QFETCH(int, damagedByte);
    QFETCH(bool, carriesRecord);
    QByteArray image = imageWithRecordBlock(offset, size);
    const qint64 record = dmhPosition + offset + size - BlockInfo::recordSize;
    if (damagedByte >= 0)
        image[int(record + damagedByte)] = 'X';
    BlockEntry entry = testEntry(1, offset, size, "blk", quint8(flags)).toEntry();
    QCOMPARE(BlockInfo::hasBlockInfo(bytesOf(image), image.size(), dmhPosition, entry), carriesRecord);
    if (carriesRecord) {
        QCOMPARE(BlockInfo::recordPosition(image.size(), dmhPosition, entry), std::optional<qint64>(record));
        QCOMPARE(BlockInfo::dataLength(bytesOf(image) + record), 1000u);
    }
}

// A block of size 0 has no room for a record, and a record past the image end is never read.
void TestBlockInfo::noRecordOutsideTheBlockOrTheImage()
{
    const QByteArray image = imageWithRecordBlock(0x10000, 0x10000);
    QVERIFY(!BlockInfo::recordPosition(image.size(), dmhPosition, testEntry(1, 0x10000, 0, "", 0).toEntry()));
    QVERIFY(!BlockInfo::hasBlockInfo(
        bytesOf(image), image.size(), dmhPosition, testEntry(1, 0x10000, 0x20000, "", 0).toEntry()));
    QVERIFY(!BlockInfo::hasBlockInfo(
        bytesOf(image), image.size(), 0xFFFFFFFF, testEntry(1, 0xFFFF0000, 0x10000, "", 0).toEntry()));
}

void TestBlockInfo::stampWritesOnlyItsFields()
{
    QByteArray block = ImageBuilder::randomBytes(0x200, 7);
    const QByteArray before = block;
    const StampTime time = StampTime::of(2026, 3, 5, 7, 8, 9);
    BlockInfo::stampBlockInfo(
        reinterpret_cast<uchar*>(block.data()), quint32(block.size()), 0x01020304, 0xA1B2C3D4, time);

    const int record = block.size() - 64;
    QCOMPARE(block.mid(record + 24, 8), QByteArray("\x04\x03\x02\x01\xD4\xC3\xB2\xA1", 8));
    QCOMPARE(block.mid(record + 48, 7), QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7));
    // Everything else, the signature area and byte 55 included, keeps its old value.
    QByteArray expected = before;
    expected.replace(record + 24, 8, block.mid(record + 24, 8));
    expected.replace(record + 48, 7, block.mid(record + 48, 7));
    QCOMPARE(block, expected);
}

void TestBlockInfo::stampTimeSplitsOneMoment_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<StampTime>("stamp");

    QTest::newRow("last millisecond of a year")
        << QDateTime(QDate(2025, 12, 31), QTime(23, 59, 59, 999)) << StampTime::of(2025, 12, 31, 23, 59, 59);
    QTest::newRow("first moment of a year")
        << QDateTime(QDate(2026, 1, 1), QTime(0, 0)) << StampTime::of(2026, 1, 1, 0, 0, 0);
    QTest::newRow("last millisecond of February, leap year")
        << QDateTime(QDate(2028, 2, 29), QTime(23, 59, 59, 999)) << StampTime::of(2028, 2, 29, 23, 59, 59);
    QTest::newRow("UTC moment, date of that moment") << QDateTime(QDate(2026, 3, 5), QTime(23, 59, 59, 999),
        Qt::UTC) << StampTime::of(2026, 3, 5, 23, 59, 59);
}

void TestBlockInfo::stampTimeSplitsOneMoment()
{
    QFETCH(QDateTime, moment);
    QFETCH(StampTime, stamp);
    QVERIFY(StampTime::fromDateTime(moment) == stamp);
}

// The stamp is the local time of one moment between two readings taken around it.
void TestBlockInfo::stampTimeReadsTheLocalClock()
{
    const QDateTime before = QDateTime::currentDateTime();
    const StampTime stamp = StampTime::fromLocalClock();
    const QDateTime after = QDateTime::currentDateTime();
    const QDateTime stamped(
        QDate(stamp.year, stamp.month, stamp.day), QTime(stamp.hour, stamp.minute, stamp.second));
    QVERIFY2(stamped.isValid(), "the stamp is no date and time");
    const QDateTime wholeSecondBefore = before.addMSecs(-before.time().msec());
    QVERIFY2(wholeSecondBefore <= stamped && stamped <= after,
        qPrintable(QStringLiteral("%1 is not between %2 and %3")
                       .arg(stamped.toString(Qt::ISODate), before.toString(Qt::ISODateWithMs),
                           after.toString(Qt::ISODateWithMs))));
}

QTEST_GUILESS_MAIN(TestBlockInfo)
#include "tst_blockinfo.moc"
