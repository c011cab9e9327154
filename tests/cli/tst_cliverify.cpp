#include "clitestcase.h"

#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "model/imagelayout.h"
#include "ops/export/blockexport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <climits>

namespace {

QJsonObject blockWithId(const QJsonArray& blocks, const QString& idText)
{
    for (const QJsonValue& block : blocks) {
        if (block.toObject().value("idText").toString() == idText)
            return block.toObject();
    }
    return {};
}

// The line of verify's table whose ID column (the second) is `idText`.
QString tableRowOf(const QString& table, const QString& idText)
{
    for (const QString& line : table.split('\n')) {
        if (line.simplified().section(' ', 1, 1) == idText)
            return line;
    }
    return {};
}

} // namespace

// tessel-cli verify: the facts about every block's CRC and record, and the layout's problems.
class TestCliVerify : public CliTestCase {
    Q_OBJECT

private slots:
    void verifyReportsFacts_data();
    void verifyReportsFacts();
    void verifyRefusesWorkBeyondTheImage();
    void verifyFlagsPaddedReplacement_data();
    void verifyFlagsPaddedReplacement();
    void layoutThatTheFlashSizeContradicts_data();
    void layoutThatTheFlashSizeContradicts();
    void expectComparesWithTheManifest_data();
    void expectComparesWithTheManifest();

private:
    QString makeManifest(const QString& kind, const QString& edit);
};

void TestCliVerify::verifyReportsFacts_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<QString>("crcStatus");
    QTest::addColumn<QString>("recordStatus");

    const QByteArray standard = StandardImages::fiveBlocks();
    const auto patched = [&standard](qint64 position, const QByteArray& bytes) {
        QByteArray image = standard;
        overlay(image, position, bytes);
        return image;
    };
    const auto flipped = [&](qint64 position) {
        return patched(position, QByteArray(1, char(standard[int(position)] ^ 1)));
    };
    const qint64 kernelStart = dmhPosition + 0x10000;
    // clang-format off
    QTest::newRow("untouched: a block") << standard << 0 << "10" << "ok" << QString();
    QTest::newRow("untouched: record") << standard << 0 << "20" << "ok" << "ok";
    QTest::newRow("untouched: NCRC") << standard << 0 << "21" << "not-checked" << QString();
    QTest::newRow("flipped byte in a block") << flipped(dmhPosition + 0x1000 + 0x7FF) << 1 << "10" << "mismatch" << QString();
    QTest::newRow("flipped byte in a record's data") << flipped(kernelStart + 999) << 1 << "20" << "mismatch" << "mismatch";
    QTest::newRow("flipped byte in a record's fill") << flipped(kernelStart + 1000) << 1 << "20" << "mismatch" << "ok";
    QTest::newRow("flipped byte in an NCRC block") << flipped(dmhPosition + 0x20000) << 0 << "21" << "not-checked" << QString();
    QTest::newRow("flipped stored CRC") << flipped(entryField(0, BlockEntry::crcOffset)) << 1 << "10" << "mismatch" << QString();
    QTest::newRow("data length reaching into the record") << patched(kernelStart + 0x10000 - 64 + 24, u32Bytes(0x10000 - 63))
        << 1 << "20" << "mismatch" << "length-exceeds-block";
    QTest::newRow("block reaching outside the image") << patched(entryField(4, BlockEntry::sizeOffset), u32Bytes(0x40000))
        << 1 << "22" << "not-read" << QString();
    // clang-format on
}

void TestCliVerify::verifyReportsFacts()
{
    QFETCH(QByteArray, image);
    QFETCH(int, exitCode);
    QFETCH(QString, idText);
    QFETCH(QString, crcStatus);
    QFETCH(QString, recordStatus);

    QVERIFY(fixture->load(image));
    const CliRun run = runCommand({ "verify", "--json", imagePath });
    CLI_COMPARE_EXIT(run, exitCode);
    checkFields(run.json(), { { "holds", exitCode == 0 }, { "blocksFailing", exitCode == 0 ? 0 : 1 } });
    const QJsonObject block = blockWithId(run.json().value("blocks").toArray(), idText);
    QVERIFY2(!block.isEmpty(), "the block is reported");
    const QJsonObject crc = block.value("crc").toObject();
    QCOMPARE(crc.value("status").toString(), crcStatus);
    checkFields(block, { { "insideImage", crcStatus != "not-read" }, { "holds", exitCode == 0 } });
    if (crcStatus == "ok" || crcStatus == "mismatch") {
        // The computed CRC is the block's own, stored or not.
        const BlockLocation location = findBlock(fixture->catalogue, idText);
        const quint32 expected = ImageBuilder::crcOf(image.mid(int(location.start()), int(location.size)));
        checkFields(crc,
            { { "computed", double(expected) }, { "computedText", QString::number(expected, 16) },
                { "stored", double(location.entry.crc) } });
    }
    const QJsonValue record = block.value("record");
    QCOMPARE(record.isNull(), recordStatus.isEmpty());
    if (!recordStatus.isEmpty())
        QCOMPARE(record.toObject().value("status").toString(), recordStatus);

    // The table's Result cell; a failing block is named on stderr as well, with the same problems.
    const CliRun text = runCommand({ "verify", imagePath });
    CLI_COMPARE_EXIT(text, exitCode);
    const QString row = tableRowOf(QString::fromUtf8(text.out), idText);
    if (exitCode == 0) {
        QVERIFY2(text.out.contains("All 5 blocks hold."), text.out.constData());
        QVERIFY(text.err.isEmpty());
        QVERIFY2(row.endsWith(crcStatus == "not-checked" ? "  not checked" : "  ok"), qPrintable(row));
    } else {
        const QStringList lines = QString::fromUtf8(text.err).trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.first(), QString("1 of 5 blocks do not hold."));
        const QString problems = block.value("problems").toVariant().toStringList().join("; ");
        QVERIFY2(
            lines.last().startsWith("Block " + idText + " (") && lines.last().endsWith(": " + problems + "."),
            qPrintable(lines.last()));
        QVERIFY2(row.endsWith("  " + problems), qPrintable(row));
    }
}

void TestCliVerify::verifyRefusesWorkBeyondTheImage()
{
    // 20 distinct ranges of 0x800 bytes in a 0x1000-byte image: 40960 bytes to read, more than 8 times it.
    TestDmh dmh = testDmh({}, 0x1000);
    for (quint32 index = 0; index < 20; ++index)
        dmh.entries.append(testEntry(quint8(index), 0x400 + index, 0x800, "overlap"));
    QVERIFY(fixture->write("image.bin", ImageBuilder(0x1000).dmh(0, dmh).image()));

    const QString message("Verifying would read 40960 bytes, more than 8 times the image's 4096 bytes.");
    const CliRun text = runCommand({ "verify", imagePath });
    CLI_COMPARE_EXIT(text, 1);
    QVERIFY(text.out.isEmpty());
    const QStringList lines = QString::fromUtf8(text.err).trimmed().split('\n');
    QCOMPARE(lines.first(), message);
    QVERIFY2(lines.size() > 1 && lines.at(1).contains("20 different byte ranges in 20 entries"),
        text.err.constData());
    const CliRun json = runCommand({ "verify", "--json", imagePath });
    CLI_COMPARE_EXIT(json, 1);
    checkFields(json.json(), { { "message", message }, { "holds", false } });
}

void TestCliVerify::verifyFlagsPaddedReplacement_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("block");
    QTest::addColumn<bool>("holds");

    // The padded variant keeps the entry's CRC as it was, so the replaced block no longer matches it and
    // replace says so; --update-crc writes the new block's CRC, an "NCRC" entry keeps its marker.
    QTest::newRow("padded") << QStringList {} << "10" << false;
    QTest::newRow("padded, --update-crc") << QStringList { "--update-crc" } << "10" << true;
    QTest::newRow("padded, NCRC entry, --update-crc") << QStringList { "--update-crc" } << "21" << true;
    QTest::newRow("padded, NCRC entry") << QStringList {} << "21" << true;
    // The record variant refreshes both CRCs, so its output verifies.
    QTest::newRow("record variant") << QStringList {} << "20" << true;
}

void TestCliVerify::verifyFlagsPaddedReplacement()
{
    QFETCH(QStringList, options);
    QFETCH(QString, block);
    QFETCH(bool, holds);

    const QString replacementPath = create("replacement.bin", QByteArray(0x100, 'p'));
    const QString output = path("new.bin");
    const CliRun replaced = runCommand(
        QStringList { "replace", "--json", imagePath, block, replacementPath, "-o", output } + options);
    CLI_COMPARE_EXIT(replaced, 0);
    const QStringList warnings = replaced.json().value("warnings").toVariant().toStringList();
    QCOMPARE(warnings.size(), holds ? 0 : 1);
    if (!holds)
        QVERIFY2(warnings.first().contains("--update-crc")
                && replaced.err.contains("warning: the entry CRC of block 10"),
            replaced.err.constData());
    const CliRun run = runCommand({ "verify", "--json", output });
    CLI_COMPARE_EXIT(run, holds ? 0 : 1);
    const QJsonObject crc = blockWithId(run.json().value("blocks").toArray(), block).value("crc").toObject();
    QCOMPARE(crc.value("status").toString(), holds ? (block == "21" ? "not-checked" : "ok") : "mismatch");
    checkFields(run.json(), { { "blocksFailing", holds ? 0 : 1 } });
}

void TestCliVerify::layoutThatTheFlashSizeContradicts_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QStringList>("problems");

    const QByteArray standard = StandardImages::fiveBlocks();
    QTest::newRow("whole") << standard << QStringList {};
    QTest::newRow("cut short") << standard.left(0x50000) << QStringList { "image-shorter-than-flash" };

    // A DMH look-alike in the data of fs, stating half the flash size: it is parsed last, so it rules.
    QByteArray nested = standard;
    overlay(nested, dmhPosition + 0x20000 + 0x40, ImageBuilder::dmhHeader(testDmh({}, 0x30000)));
    QTest::newRow("nested look-alike")
        << nested << QStringList { "flash-sizes-disagree", "block-beyond-flash", "block-beyond-flash" };

    QByteArray small = standard;
    overlay(small, dmhPosition + ImageLayout::flashSizeOffset, u32Bytes(0x100));
    QTest::newRow("DMH beyond the flash size")
        << small
        << QStringList { "dmh-beyond-flash", "block-beyond-flash", "block-beyond-flash", "block-beyond-flash",
               "block-beyond-flash", "block-beyond-flash" };
}

void TestCliVerify::layoutThatTheFlashSizeContradicts()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, problems);

    QVERIFY(fixture->write("image.bin", image));
    const CliRun verify = runCommand({ "verify", "--json", imagePath });
    CLI_COMPARE_EXIT(verify, problems.isEmpty() ? 0 : 1);
    QStringList kinds;
    for (const QJsonValue& problem : verify.json().value("layoutProblems").toArray())
        kinds << problem.toObject().value("kind").toString();
    QCOMPARE(kinds, problems);
    QCOMPARE(verify.json().value("holds").toBool(), problems.isEmpty());

    // info describes the image all the same and reports the same facts as warnings.
    const CliRun info = runCommand({ "info", "--json", imagePath });
    CLI_COMPARE_EXIT(info, 0);
    QCOMPARE(info.json().value("warnings").toArray().size(), problems.size());
    QCOMPARE(info.err.count("warning: "), problems.size());
}

void TestCliVerify::expectComparesWithTheManifest_data()
{
    // The manifest is made from the standard image by the command `kind` names, then edited; verify
    // --expect compares `image` with it. `mismatches`: "status id fields" per block that does not match.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("mismatches");

    const QByteArray standard = StandardImages::fiveBlocks();
    QByteArray flipped = standard;
    flipped[int(dmhPosition + 0x20000 + 5)] = char(flipped[int(dmhPosition + 0x20000 + 5)] ^ 1);
    QByteArray renamed = standard;
    overlay(renamed, entryField(1, BlockEntry::nameOffset), QByteArray("sysdata", 8));
    for (const QString kind : { "list", "verify", "index", "sbom" }) {
        const auto row = [&kind](const char* name) -> QTestData& {
            return QTest::newRow(qPrintable(kind + ": " + name));
        };
        row("all match") << kind << QString() << standard << 0 << QStringList();
        row("a byte flipped in one block")
            << kind << QString() << flipped << 1 << QStringList { "differs 21 sha256" };
        row("a block missing") << kind << "add 33" << standard << 1 << QStringList { "missing 33 -" };
        row("an extra block") << kind << "drop last" << standard << 1 << QStringList { "extra 22 -" };
        row("a renamed block") << kind << QString() << renamed << 1 << QStringList { "differs ab name" };
        // Cut to the width of the fields they are compared with, these would name the first block.
        row("a DMH index 2^32 more") << kind << "dmhIndex + 4294967296" << standard << 2 << QStringList();
        row("an ID 256 more") << kind << "id + 256" << standard << 2 << QStringList();
    }
    QTest::newRow("not JSON") << "list"
                              << "cut" << standard << 2 << QStringList();
    QTest::newRow("list without hashes") << "list"
                                         << "no hashes" << standard << 2 << QStringList();
}

void TestCliVerify::expectComparesWithTheManifest()
{
    QFETCH(QString, kind);
    QFETCH(QString, edit);
    QFETCH(QByteArray, image);
    QFETCH(int, exitCode);
    QFETCH(QStringList, mismatches);

    const QString manifest = makeManifest(kind, edit);
    QVERIFY(fixture->write("image.bin", image));
    const CliRun run = runCommand({ "verify", "--json", imagePath, "--expect", manifest });
    CLI_COMPARE_EXIT(run, exitCode);
    const QJsonObject document = run.json();
    if (exitCode == 2) {
        // Named with the place of the fault: an offset into the text, or the field as a JSON pointer.
        const QString raised = edit.section(' ', 0, 0);
        QString fault = "missing field at /blocks/0/sha256";
        if (edit == "cut")
            fault = "not JSON: .* at offset \\d+";
        else if (kind == "sbom")
            fault = "no valid property tessel:" + raised + " at /components/0/properties";
        else if (edit.contains(" + "))
            fault = QStringLiteral("more than %1 at /blocks/0/%2")
                        .arg(raised == "id" ? 255 : INT_MAX)
                        .arg(raised);
        const QRegularExpression expected("is not a manifest: " + fault + "\\.$");
        QVERIFY2(expected.match(document.value("message").toString()).hasMatch(), run.err.constData());
        return;
    }
    QStringList found;
    for (const QJsonValue& value : document.value("mismatches").toArray()) {
        const QJsonObject mismatch = value.toObject();
        QStringList fields;
        for (const QJsonValue& field : mismatch.value("fields").toArray())
            fields << field.toObject().value("field").toString();
        found << QStringLiteral("%1 %2 %3")
                     .arg(mismatch.value("status").toString(), mismatch.value("idText").toString(),
                         fields.isEmpty() ? "-" : fields.join(','));
    }
    QCOMPARE(found, mismatches);
    QCOMPARE(document.value("manifestKind").toString(), kind);
    // The image's own hash is compared too: any change of its bytes shows there.
    QCOMPARE(
        document.value("expectedSha256") == document.value("sha256"), image == StandardImages::fiveBlocks());
    const CliRun text = runCommand({ "verify", imagePath, "--expect", manifest });
    CLI_COMPARE_EXIT(text, exitCode);
    for (const QString& mismatch : mismatches)
        QVERIFY2(text.out.contains(mismatch.section(' ', 0, 0).toUtf8()), text.out.constData());
}

// A manifest of the standard image (image.bin as the test starts) as the command `kind` writes it,
// edited: "add 33" repeats the first block as ID 0x33, "drop last" leaves out the last block, "cut"
// keeps only its first half, "no hashes" is the list document made without --hashes, "FIELD + N" adds N
// to the first block's dmhIndex or id.
QString TestCliVerify::makeManifest(const QString& kind, const QString& edit)
{
    QByteArray bytes;
    if (kind == "index") {
        runCommand({ "export", imagePath, "--all", "-o", path("blocks") });
        bytes = readFile(path("blocks/index.json"));
    } else if (kind == "sbom") {
        runCommand({ "sbom", imagePath, "-o", path("sbom.json") });
        bytes = readFile(path("sbom.json"));
    } else {
        const QStringList hashes = edit == "no hashes" ? QStringList() : QStringList { "--hashes" };
        bytes = runCommand(QStringList { kind, "--json", imagePath } + hashes).out;
    }
    QJsonObject document = QJsonDocument::fromJson(bytes).object();
    const QString listKey = kind == "sbom" ? "components" : "blocks";
    QJsonArray blocks = document.value(listKey).toArray();
    if (edit == "drop last")
        blocks.removeLast();
    if (edit == "add 33") {
        QJsonObject added = blocks.first().toObject();
        if (kind == "sbom") {
            QJsonArray properties = added.value("properties").toArray();
            for (int at = 0; at < properties.size(); ++at) {
                if (properties[at].toObject().value("name") == "tessel:id")
                    properties[at] = QJsonObject { { "name", "tessel:id" }, { "value", "33" } };
            }
            added.insert("properties", properties);
        } else {
            added.insert("id", 0x33);
        }
        blocks.append(added);
    }
    if (edit.contains(" + ")) {
        const QString field = edit.section(' ', 0, 0);
        const qint64 added = edit.section(' ', 2).toLongLong();
        QJsonObject first = blocks.first().toObject();
        if (kind == "sbom") {
            // The SBOM holds them as properties: the ID in hex, the DMH index in decimal.
            QJsonArray properties = first.value("properties").toArray();
            for (int at = 0; at < properties.size(); ++at) {
                if (properties[at].toObject().value("name") != "tessel:" + field)
                    continue;
                const int base = field == "id" ? 16 : 10;
                const qint64 value
                    = properties[at].toObject().value("value").toString().toLongLong(nullptr, base);
                properties[at] = QJsonObject { { "name", "tessel:" + field },
                    { "value", QString::number(value + added, base) } };
            }
            first.insert("properties", properties);
        } else {
            first.insert(field, double(first.value(field).toDouble() + double(added)));
        }
        blocks.replace(0, first);
    }
    document.insert(listKey, blocks);
    bytes = QJsonDocument(document).toJson();
    if (edit == "cut")
        bytes = bytes.left(bytes.size() / 2);
    return create("manifest.json", bytes);
}

QTEST_GUILESS_MAIN(TestCliVerify)
#include "tst_cliverify.moc"
