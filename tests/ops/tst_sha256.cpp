#include "ops/record/backgroundsha256.h"
#include "ops/record/sha256.h"

#include <QtTest>

#include <vector>

class TestSha256 : public QObject {
    Q_OBJECT

private slots:
    void knownAnswers_data();
    void knownAnswers();
    void piecesGiveTheWholeDigest();
};

// FIPS 180-4 example vectors, and the million-'a' message that crosses many blocks.
void TestSha256::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << QByteArray(
                                       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    QTest::newRow("million a") << QByteArray(
        1000000, 'a') << QByteArray("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The same digest at once, on a thread of its own, and fed on that thread in uneven pieces; a feed that
// cannot give every byte has no digest.
void TestSha256::knownAnswers()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, expected);
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    QCOMPARE(Sha256::hex(bytes, message.size()), expected);

    BackgroundSha256 whole(bytes, message.size());
    QVERIFY(whole.covers(bytes, message.size()));
    QCOMPARE(whole.result(), expected);
    QCOMPARE(whole.bytesDone(), qint64(message.size()));

    BackgroundSha256 inPieces([&](BackgroundSha256::Sink& sink) {
        for (qint64 at = 0; at < message.size(); at += 7001) {
            if (!sink.add(bytes + at, std::min<qint64>(7001, message.size() - at)))
                return false;
        }
        return true;
    });
    QVERIFY(!inPieces.covers(bytes, message.size()));
    QVERIFY(inPieces.finishedWithin(std::chrono::seconds(10)));
    QCOMPARE(inPieces.result(), expected);

    BackgroundSha256 cutShort(
        [&](BackgroundSha256::Sink& sink) { return sink.add(bytes, message.size()) && false; });
    QVERIFY(cutShort.result().isNull());
}

void TestSha256::piecesGiveTheWholeDigest()
{
    std::vector<uchar> bytes(300000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uchar(i * 131 + i / 7);
    Sha256 inPieces;
    for (size_t at = 0; at < bytes.size(); at += 65537)
        inPieces.add(bytes.data() + at, qint64(std::min<size_t>(65537, bytes.size() - at)));
    QCOMPARE(inPieces.finishHex(), Sha256::hex(bytes.data(), qint64(bytes.size())));
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
