#include "ops/record/backgroundsha256.h"
#include "ops/record/sha256.h"

#include <QCryptographicHash>
#include <QtTest>

class TestSha256 : public QObject {
    Q_OBJECT

private slots:
    void knownAnswers_data();
    void knownAnswers();
};

// FIPS 180-4 example vectors, the million-'a' message that crosses many blocks, and a longer patterned
// message held to Qt's own SHA-256.
void TestSha256::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char* name, const QByteArray& message, const QByteArray& expected) {
        QTest::newRow(name) << message << expected;
    };
    row("empty", QByteArray(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    row("abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    row("two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    row("million a", QByteArray(1000000, 'a'),
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    QByteArray patterned(300000, '\0');
    for (int i = 0; i < patterned.size(); ++i)
        patterned[i] = char(i * 131 + i / 7);
    row("300,000 patterned bytes", patterned,
        QCryptographicHash::hash(patterned, QCryptographicHash::Sha256).toHex());
}

// The same digest at once, fed in pieces that split blocks, on a thread of its own, and fed on that
// thread in uneven pieces; a feed that cannot give every byte has no digest.
void TestSha256::knownAnswers()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, expected);
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    QCOMPARE(Sha256::hex(bytes, message.size()), expected);

    Sha256 inPieces;
    for (qint64 at = 0; at < message.size(); at += 65537)
        inPieces.add(bytes + at, std::min<qint64>(65537, message.size() - at));
    QCOMPARE(inPieces.finishHex(), expected);

    BackgroundSha256 whole(bytes, message.size());
    QVERIFY(whole.covers(bytes, message.size()));
    QCOMPARE(whole.result(), expected);
    QCOMPARE(whole.bytesDone(), qint64(message.size()));

    BackgroundSha256 fedInPieces([&](BackgroundSha256::Sink& sink) {
        for (qint64 at = 0; at < message.size(); at += 7001) {
            if (!sink.add(bytes + at, std::min<qint64>(7001, message.size() - at)))
                return false;
        }
        return true;
    });
    QVERIFY(!fedInPieces.covers(bytes, message.size()));
    QVERIFY(fedInPieces.finishedWithin(std::chrono::seconds(10)));
    QCOMPARE(fedInPieces.result(), expected);

    BackgroundSha256 cutShort(
        [&](BackgroundSha256::Sink& sink) { return sink.add(bytes, message.size()) && false; });
    QVERIFY(cutShort.result().isNull());
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
