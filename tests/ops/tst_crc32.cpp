#include "imagebuilder.h"
#include "replacementmodel.h"

#include "ops/record/crc32.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

const uchar* bytesOf(const QByteArray& bytes)
{
    return reinterpret_cast<const uchar*>(bytes.constData());
}

} // namespace

class TestCrc32 : public QObject {
    Q_OBJECT

private slots:
    void checkValues_data();
    void checkValues();
    void fastPathMatchesTable_data();
    void fastPathMatchesTable();
    void fastPathMatchesTableAtRandomLengths();
};

void TestCrc32::checkValues_data()
{
    QTest::addColumn<QByteArray>("text");
    // How many of its bytes are given.
    QTest::addColumn<int>("length");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("catalogue check value") << QByteArray("123456789") << 9 << 0x340BC6D9u;
    QTest::newRow("abc") << QByteArray("abc") << 3 << 0xCADBBE3Du;
    QTest::newRow("one byte") << QByteArray("a") << 1 << 0x174841BCu;
    QTest::newRow("a sentence") << QByteArray("The quick brown fox jumps over the lazy dog") << 43
                                << 0xBEB05CC6u;
    QTest::newRow("prefix only") << QByteArray("abcdef") << 3 << 0xCADBBE3Du;
    // No bytes give the initial register.
    QTest::newRow("nothing") << QByteArray() << 0 << 0xFFFFFFFFu;
    QTest::newRow("no bytes of abc") << QByteArray("abc") << 0 << 0xFFFFFFFFu;
    QTest::newRow("no bytes of one") << QByteArray("\x42") << 0 << 0xFFFFFFFFu;
    QTest::newRow("negative length") << QByteArray("abc") << -5 << 0xFFFFFFFFu;
    QTest::newRow("length -1 of one byte") << QByteArray("\x42") << -1 << 0xFFFFFFFFu;
}

void TestCrc32::checkValues()
{
    QFETCH(QByteArray, text);
    QFETCH(int, length);
    QFETCH(quint32, expected);
    const Crc32 crc;
    QCOMPARE(crc.compute(bytesOf(text), length), expected);
    QCOMPARE(Crc32::compute64(bytesOf(text), length), expected);
    // Below zero only the entry points that take a signed length are asked.
    if (length < 0)
        return;
    QCOMPARE(crc.computeWithTable(bytesOf(text), length), expected);
    // The tests' reference model computes its own, bit by bit.
    QCOMPARE(ReplacementModel::crc(bytesOf(text), length), expected);
}

void TestCrc32::fastPathMatchesTable_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("misalignment");

    // Around the widths a vectorised CRC folds in (8, 16, 64, 256 bytes), at every alignment class that
    // matters for unaligned heads and tails.
    for (const int length :
        { 0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 63, 64, 65, 127, 255, 256, 257, 1021, 4096, 65537 }) {
        for (const int misalignment : { 0, 1, 3, 7 })
            QTest::addRow("%d bytes at +%d", length, misalignment) << length << misalignment;
    }
}

void TestCrc32::fastPathMatchesTable()
{
    QFETCH(int, length);
    QFETCH(int, misalignment);
    const QByteArray bytes
        = ImageBuilder::randomBytes(length + misalignment, quint32(length * 31 + misalignment));
    const uchar* start = bytesOf(bytes) + misalignment;
    const Crc32 crc;
    const quint32 reference = crc.computeWithTable(start, length);
    QCOMPARE(Crc32::compute64(start, length), reference);
    QCOMPARE(crc.compute(start, length), reference);
}

void TestCrc32::fastPathMatchesTableAtRandomLengths()
{
    const QByteArray bytes = ImageBuilder::randomBytes(1 << 20, 2026);
    QRandomGenerator generator(7);
    const Crc32 crc;
    for (int round = 0; round < 300; ++round) {
        const int start = int(generator.bounded(1 << 10));
        const int length = int(generator.bounded(bytes.size() - start + 1));
        const quint32 fast = Crc32::compute64(bytesOf(bytes) + start, length);
        const quint32 reference = crc.computeWithTable(bytesOf(bytes) + start, length);
        QVERIFY2(fast == reference,
            qPrintable(
                QString::asprintf("%d bytes at %d: %08x instead of %08x", length, start, fast, reference)));
    }
}

QTEST_GUILESS_MAIN(TestCrc32)
#include "tst_crc32.moc"
