#include "clitestcase.h"

#include "fixedclock.h"
#include "testfiles.h"

#include <QtTest>

// tessel-cli sbom: a CycloneDX document that describes the image and its blocks, the same bytes for the
// same image and time. Its validity against the CycloneDX schema is checked by validatesbom.py.
class TestCliSbom : public CliTestCase {
    Q_OBJECT

private slots:
    void sbomIsReproducibleAndNamesTheHashes_data();
    void sbomIsReproducibleAndNamesTheHashes();
};

void TestCliSbom::sbomIsReproducibleAndNamesTheHashes_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("five blocks") << StandardImages::fiveBlocks();
    QTest::newRow("two DMHs, a block past the end") << StandardImages::twoDmhs();
}

void TestCliSbom::sbomIsReproducibleAndNamesTheHashes()
{
    QFETCH(QByteArray, image);
    QVERIFY(fixture->write("image.bin", image));
    const CliRun first = runCommand({ "sbom", imagePath, "-o", path("first.json") });
    QVERIFY2(first.exitCode == 0, first.err.constData());
    const CliRun printed = runCommand({ "sbom", imagePath });
    QCOMPARE(printed.exitCode, 0);
    const QByteArray bytes = readFile(path("first.json"));
    QCOMPARE(printed.out, bytes);

    const QJsonObject bom = QJsonDocument::fromJson(bytes).object();
    const QString imageHash
        = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    const QJsonObject component = bom.value("metadata").toObject().value("component").toObject();
    QCOMPARE(component.value("hashes").toArray().first().toObject().value("content").toString(), imageHash);
    QCOMPARE(component.value("name").toString(), QString("image.bin"));
    // The timestamp is the fixed clock's SOURCE_DATE_EPOCH.
    QCOMPARE(bom.value("metadata").toObject().value("timestamp").toString(),
        QDateTime::fromSecsSinceEpoch(fixedEpoch, Qt::UTC).toString(Qt::ISODate));
    QVERIFY(bom.value("serialNumber").toString().startsWith("urn:uuid:"));

    // The blocks as list --hashes gives them, in table order, with a hash exactly where list has one.
    const QJsonArray listed
        = runCommand({ "list", "--hashes", "--json", imagePath }).json().value("blocks").toArray();
    const QJsonArray components = bom.value("components").toArray();
    QCOMPARE(components.size(), listed.size());
    for (int row = 0; row < listed.size(); ++row) {
        const QJsonObject block = listed[row].toObject();
        const QJsonObject blockComponent = components[row].toObject();
        const QJsonValue hash = block.value("sha256");
        QCOMPARE(blockComponent.contains("hashes"), !hash.isNull());
        if (!hash.isNull())
            QCOMPARE(blockComponent.value("hashes").toArray().first().toObject().value("content"), hash);
        QCOMPARE(blockComponent.value("name").toString(), block.value("nameText").toString());
    }

    // Another image, another serial number; the same image a second time, the same bytes.
    QVERIFY(fixture->write("other.bin", image + QByteArray(1, '\0')));
    const QJsonObject other = QJsonDocument::fromJson(runCommand({ "sbom", path("other.bin") }).out).object();
    QVERIFY(other.value("serialNumber") != bom.value("serialNumber"));
    QCOMPARE(runCommand({ "sbom", imagePath, "-o", path("second.json") }).exitCode, 0);
    QCOMPARE(readFile(path("second.json")), bytes);
}

QTEST_GUILESS_MAIN(TestCliSbom)
#include "tst_clisbom.moc"
