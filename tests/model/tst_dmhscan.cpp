#include "imagebuilder.h"
#include "model/dmhscan.h"
#include "model/imagelayout.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

// Every position tested one by one: what the scan must find, in order.
QVector<qint64> positionsTestedOneByOne(const QByteArray& bytes)
{
    const uchar* data = reinterpret_cast<const uchar*>(bytes.constData());
    QVector<qint64> found;
    for (qint64 position = 0; position + ImageLayout::dmhHeaderSize <= bytes.size(); ++position) {
        if (ImageLayout::isDmhAt(data + position))
            found.append(position);
    }
    return found;
}

QVector<qint64> positionsScanned(const QByteArray& bytes)
{
    const uchar* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 last = bytes.size() - ImageLayout::dmhHeaderSize;
    QVector<qint64> found;
    for (qint64 position = DmhScan::findNext(data, 0, last); position >= 0;
         position = DmhScan::findNext(data, position + 1, last))
        found.append(position);
    return found;
}

} // namespace

class TestDmhScan : public QObject {
    Q_OBJECT

private slots:
    void findsEveryHeaderAndNothingElse_data();
    void findsEveryHeaderAndNothingElse();
    void findsHeadersAtEveryPositionNearTheEnds();
};

void TestDmhScan::findsEveryHeaderAndNothingElse_data()
{
    QTest::addColumn<char>("fill");
    QTest::addColumn<bool>("randomFill");
    QTest::addColumn<quint32>("seed");

    for (quint32 seed = 1; seed <= 4; ++seed) {
        QTest::addRow("0xFF fill, seed %u", seed) << '\xFF' << false << seed;
        QTest::addRow("'*' fill, seed %u", seed) << '*' << false << seed;
        QTest::addRow("random fill, seed %u", seed) << '\0' << true << seed;
    }
}

void TestDmhScan::findsEveryHeaderAndNothingElse()
{
    QFETCH(char, fill);
    QFETCH(bool, randomFill);
    QFETCH(quint32, seed);
    const int size = 20000 + int(seed);
    QByteArray bytes = randomFill ? ImageBuilder::randomBytes(size, seed) : QByteArray(size, fill);
    const QByteArray header = ImageBuilder::dmhHeader(TestDmh {});
    QRandomGenerator generator(seed);
    // Whole headers, headers without their recognition byte, and magics cut short after 1 to 11 bytes,
    // at random places that may overlap one another.
    for (int round = 0; round < 60; ++round) {
        const int position = int(generator.bounded(size));
        QByteArray piece = header;
        switch (round % 3) {
        case 1:
            piece[ImageLayout::recognitionByteOffset] = 0x31;
            break;
        case 2:
            piece = header.left(1 + int(generator.bounded(ImageLayout::dmhMagicLength - 1)));
            break;
        }
        bytes.replace(position, qMin(piece.size(), size - position), piece.left(size - position));
    }
    const QVector<qint64> expected = positionsTestedOneByOne(bytes);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(positionsScanned(bytes), expected);
}

void TestDmhScan::findsHeadersAtEveryPositionNearTheEnds()
{
    // A header at every possible place in buffers of many lengths: the
    // scan's wide steps must neither skip the tail nor read past it.
    const QByteArray header = ImageBuilder::dmhHeader(TestDmh {});
    for (int size = ImageLayout::dmhHeaderSize; size < 200; size += 7) {
        for (int position = 0; position + ImageLayout::dmhHeaderSize <= size; ++position) {
            QByteArray bytes(size, '\xFF');
            bytes.replace(position, header.size(), header);
            QVERIFY2(positionsScanned(bytes) == QVector<qint64> { position },
                qPrintable(QStringLiteral("header at %1 of %2 bytes").arg(position).arg(size)));
        }
    }
}

QTEST_GUILESS_MAIN(TestDmhScan)
#include "tst_dmhscan.moc"
