#include "clitestcase.h"

#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"

#include <QtTest>

namespace {

using StandardImages::fiveBlocks;

// fiveBlocks with data in the gaps between its blocks, 0xFF runs inside them too.
QByteArray gapsWithData()
{
    QByteArray image = fiveBlocks();
    image.replace(0x3000, 0x300, ImageBuilder::randomBytes(0x300, 7));
    image.replace(0x3100, 0x20, QByteArray(0x20, '\xff'));
    image.replace(0x50000, 5, "tail!");
    return image;
}

// A whole-image entry beside its blocks, one of which holds a second DMH, and ID 5 twice in one DMH.
QByteArray dmhInsideBlockRepeatedIds()
{
    ImageBuilder builder(0x40000);
    builder.dmh(0,
        testDmh({ testEntry(1, 0, 0x40000, "all"), testEntry(2, 0x10000, 0x8000, "inner"),
                    testEntry(5, 0x20000, 0x100, "five"), testEntry(5, 0x21000, 0x100, "again") },
            0x40000));
    builder.fill(0x10000, 0x8000, 'i');
    builder.dmh(0x10100, testDmh({ testEntry(6, 0x1000, 0x100, "six") }, 0x40000));
    builder.fill(0x20000, 0x100, 'f').fill(0x21000, 0x100, 'a');
    return builder.image();
}

// recordAndTwoPlain with bytes other than 0xFF between the kernel's data and its record.
QByteArray recordWithDirtyFill()
{
    QByteArray image = StandardImages::recordAndTwoPlain();
    image.replace(0x10000 + 2000, 100, QByteArray(100, '\0'));
    return image;
}

// A block that ends in the record signature off the 64 KiB alignment, so it has no record, behind one that a
// growth of 0x8000 bytes would move it past: at 0x30000 those bytes would read as a record.
QByteArray signatureOffAlignment()
{
    TestDmh dmh = testDmh(
        { testEntry(5, 0x20000, 0x8000, "boot"), testEntry(7, 0x28000, 0x10000, "tail", 0) }, 0x100000);
    dmh.dataCapacity = 0x100000;
    ImageBuilder builder(0x100000);
    builder.fill(0x20000, 0x8000, 'b').fill(0x28000, 0x10000 - 64, 't').blockInfo(0x38000 - 64, 0x100, 0);
    return builder.dmh(0, dmh).image();
}

// Gives `file` the modification time of the folder's index.json, as if export --all had written it.
bool backdate(const QString& file)
{
    QFile edited(file);
    const QDateTime indexTime = QFileInfo(QFileInfo(file).dir(), "index.json").lastModified();
    return edited.open(QIODevice::ReadWrite)
        && edited.setFileTime(indexTime, QFileDevice::FileModificationTime);
}

QJsonObject indexOf(const QString& folder)
{
    return QJsonDocument::fromJson(readFile(folder + "/index.json")).object();
}

} // namespace

// tessel-cli pack: the image back from export --all's folder, and the edited block files replaced as
// replace would replace them.
class TestCliPack : public CliTestCase {
    Q_OBJECT

private slots:
    void untouchedFolderGivesTheImageBack_data();
    void untouchedFolderGivesTheImageBack();
    void editsEqualReplace_data();
    void editsEqualReplace();
    void refusals_data();
    void refusals();

private:
    QString exportAll(const QByteArray& image);
};

QString TestCliPack::exportAll(const QByteArray& image)
{
    if (!fixture->write("image.bin", image))
        return {};
    const QString folder = path("unpacked");
    const CliRun run = runCommand({ "export", imagePath, "--all", "-o", folder });
    // Blocks outside the image are not exported (exit 1); the folder is there all the same.
    return run.exitCode <= 1 && QFile::exists(folder + "/index.json") ? folder : QString();
}

void TestCliPack::untouchedFolderGivesTheImageBack_data()
{
    QTest::addColumn<QByteArray>("image");

    QTest::newRow("five blocks, NCRC, a record") << fiveBlocks();
    QTest::newRow("record and two plain") << StandardImages::recordAndTwoPlain();
    QTest::newRow("four blocks") << StandardImages::fourBlocks();
    QTest::newRow("two DMHs, a block past the end") << StandardImages::twoDmhs();
    QTest::newRow("empty DMH before two entries") << StandardImages::emptyDmhBeforeTwoEntries();
    QTest::newRow("gaps holding data") << gapsWithData();
    QTest::newRow("DMH inside a block, repeated IDs") << dmhInsideBlockRepeatedIds();
    QTest::newRow("record with non-0xFF fill") << recordWithDirtyFill();
}

void TestCliPack::untouchedFolderGivesTheImageBack()
{
    QFETCH(QByteArray, image);

    const QString folder = exportAll(image);
    QVERIFY(!folder.isEmpty());
    const CliRun run = runCommand({ "pack", folder, "-o", path("packed.bin") });
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(readFile(path("packed.bin")) == image);
    // A second run gives the same bytes; the dry run lists no edit.
    QCOMPARE(runCommand({ "pack", folder, "-o", path("again.bin") }).exitCode, 0);
    QVERIFY(readFile(path("again.bin")) == image);
    const CliRun dryRun = runCommand({ "pack", "--json", "--dry-run", folder });
    QCOMPARE(dryRun.exitCode, 0);
    QCOMPARE(dryRun.json().value("edited").toArray().size(), 0);
    // Rest files hold only what no block file gives back: a mostly-0xFF image needs little.
    qint64 restBytes = 0;
    for (const QJsonValue& rest : indexOf(folder).value("layout").toObject().value("restFiles").toArray())
        restBytes += QFileInfo(folder + '/' + rest.toObject().value("file").toString()).size();
    QVERIFY2(restBytes <= image.size() / 16, qPrintable(QString::number(restBytes)));
}

void TestCliPack::editsEqualReplace_data()
{
    QTest::addColumn<QByteArray>("image");
    // Each edit as "FILE BLOCK LENGTH": the block file, the BLOCK replace names it by and the length of the
    // new file, "same" for the length the file has.
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<int>("exitCode");
    // The edited files given index.json's time: the folder looks as exported until it is hashed.
    QTest::addColumn<bool>("backdated");
    // Given to both pack and replace.
    QTest::addColumn<QStringList>("options");

    const auto row = [](const char* tag, const QByteArray& image, const QStringList& edits, int exitCode = 0,
                         bool backdated = false, const QStringList& options = {}) {
        QTest::newRow(tag) << image << edits << exitCode << backdated << options;
    };
    const QByteArray five = fiveBlocks();
    const QByteArray recordAndTwo = StandardImages::recordAndTwoPlain();
    row("padded", five, { "d0-e00-id10-boot.bin 10 0x300" });
    row("padded, its CRC updated", five, { "d0-e00-id10-boot.bin 10 0x300" }, 0, false, { "--update-crc" });
    row("record", five, { "d0-e02-id20-kernel.bin 20 5000" });
    row("NCRC block", five, { "d0-e03-id21-fs.bin 21 0x10000" });
    row("growth moves a block", recordAndTwo, { "d0-e01-id5-boot.bin 5 0x9000" });
    row("growth, then the moved block and a record", recordAndTwo,
        { "d0-e00-id6-kernel.bin 6 300", "d0-e01-id5-boot.bin 5 0x9000", "d0-e02-id7-tail.bin 7 0x100" });
    row("record with non-0xFF fill", recordWithDirtyFill(), { "d0-e00-id6-kernel.bin 6 3000" });
    row("gaps holding data", gapsWithData(),
        { "d0-e00-id10-boot.bin 10 0x10", "d0-e04-id22-boot.bin 22 0x800" });
    row("block holding a DMH", dmhInsideBlockRepeatedIds(), { "d0-e01-id2-inner.bin 2 0x100" }, 1);
    row("growth off the records' alignment", StandardImages::fourBlocks(),
        { "d0-e01-id2-kernel.bin 2 0x21000" }, 1);
    row("growth would give a moved block a record", signatureOffAlignment(),
        { "d0-e00-id5-boot.bin 5 0x10000", "d0-e01-id7-tail.bin 7 0x100" }, 1);
    row("record too small for the file", five, { "d0-e02-id20-kernel.bin 20 0x10000" }, 1);
    row("second edit refused", five, { "d0-e00-id10-boot.bin 10 0x10", "d0-e02-id20-kernel.bin 20 0x10000" },
        1);
    row("edited in place with its old time, padded", five, { "d0-e00-id10-boot.bin 10 same" }, 0, true);
    row("edited in place with its old time, record", five, { "d0-e02-id20-kernel.bin 20 same" }, 0, true);
}

void TestCliPack::editsEqualReplace()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, edits);
    QFETCH(int, exitCode);
    QFETCH(bool, backdated);
    QFETCH(QStringList, options);

    const QString folder = exportAll(image);
    QVERIFY(!folder.isEmpty());
    QStringList files;
    QStringList replaceArguments = QStringList { "replace", imagePath } + options;
    for (int edit = 0; edit < edits.size(); ++edit) {
        const QStringList fileBlockLength = edits[edit].split(' ');
        files << fileBlockLength[0];
        const QString file = folder + '/' + files.last();
        const QString length = fileBlockLength[2];
        const QByteArray bytes = ImageBuilder::randomBytes(
            length == "same" ? QFileInfo(file).size() : length.toInt(nullptr, 0), quint32(100 + edit));
        QVERIFY(writeFile(file, bytes));
        QVERIFY(!backdated || backdate(file));
        replaceArguments << fileBlockLength[1] << create(QStringLiteral("new%1.bin").arg(edit), bytes);
    }
    const CliRun replaced = runCommand(replaceArguments + QStringList { "-o", path("replaced.bin") });
    const CliRun packed = runCommand(QStringList { "pack", folder, "-o", path("packed.bin") } + options);
    QCOMPARE(replaced.exitCode, exitCode);
    QVERIFY2(packed.exitCode == exitCode, packed.err.constData());
    if (exitCode != 0) {
        // The same refusal (its status text), and nothing written.
        QCOMPARE(packed.err.split('\n').first(), replaced.err.split('\n').first());
        QVERIFY(!QFile::exists(path("packed.bin")));
        return;
    }
    const QByteArray expected = readFile(path("replaced.bin"));
    QVERIFY(readFile(path("packed.bin")) == expected);
    QCOMPARE(runCommand(QStringList { "pack", folder, "-o", path("again.bin") } + options).exitCode, 0);
    QVERIFY(readFile(path("again.bin")) == expected);

    // The dry run names each edit with the plan replace shows for its pair: its variant, the blocks a
    // growth moves.
    const QJsonArray edited = runCommand(QStringList { "pack", "--json", "--dry-run", folder } + options)
                                  .json()
                                  .value("edited")
                                  .toArray();
    const QJsonObject plans = runCommand(replaceArguments + QStringList { "--json", "--dry-run" }).json();
    QCOMPARE(edited.size(), files.size());
    for (int edit = 0; edit < files.size(); ++edit) {
        QCOMPARE(edited[edit].toObject().value("file").toString(), files[edit]);
        const QJsonObject pair = files.size() == 1 ? plans : plans.value("steps").toArray()[edit].toObject();
        QCOMPARE(edited[edit].toObject().value("plan").toObject(), pair.value("plan").toObject());
    }
}

void TestCliPack::refusals_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("exitCode");
    // The first line of stderr; DIR is the folder.
    QTest::addColumn<QString>("error");

    const auto row = [](const char* tag, const char* change, int exitCode, const char* error) {
        QTest::newRow(tag) << QString(change) << exitCode << QString(error);
    };
    const char* changedRest = "DIR/rest-0.bin no longer matches its sha256 in index.json.";
    row("no folder", "remove folder", 2, "Can not open DIR!!!");
    row("no index.json", "remove index.json", 1, "DIR has no index.json.");
    row("index.json not JSON", "garble index.json", 1, "index.json does not parse.");
    row("index.json without layout", "drop layout", 1, "index.json does not describe the image's layout.");
    row("block file missing", "remove d0-e01-idab-ssdata.bin", 1, "DIR/d0-e01-idab-ssdata.bin is missing.");
    row("rest file missing", "remove rest-0.bin", 1, "DIR/rest-0.bin is missing.");
    row("file not listed", "add notes.txt", 1, "DIR/notes.txt is not listed in index.json.");
    row("rest file changed", "change rest-0.bin", 1, changedRest);
    row("rest file changed, its time kept", "change rest-0.bin backdated", 1, changedRest);
    const char* changedIndex = "The image rebuilt from DIR does not match index.json.";
    row("block moved in the index", "index: move a block", 1,
        "The image rebuilt from DIR does not match index.json's imageSha256.");
    // With an edit the image cannot be checked against imageSha256; the index's places are, against the
    // DMH tables of the image rebuilt.
    row("block moved in the index, a block edited", "index: move a block, edit", 1, changedIndex);
    row("block's file dropped from the index, a block edited", "index: drop a block, edit", 1, changedIndex);
    row("record's data length changed, a block edited", "index: shorten a record, edit", 1, changedIndex);
    row("index without imageSha256", "index: clear imageSha256", 1,
        "index.json does not describe the image's layout.");
    row("output a symlink into the folder, --force", "write into the folder through a symlink", 1,
        "DIR/../newlink is in DIR, the folder pack reads.");
    row("output inside the folder", "write into the folder", 1,
        "DIR/packed.bin is in DIR, the folder pack reads.");
    row("entry no BLOCK reaches", "edit the second five", 1,
        "DIR/d0-e03-id5-again.bin was edited, but no BLOCK reaches its entry.");
    row("two edits reach one entry", "edit both fives", 2,
        "Edited files d0-e02-id5-five.bin and d0-e03-id5-again.bin both reach block 5 (DMH 0, entry 2); each "
        "block is replaced once per run.");
}

void TestCliPack::refusals()
{
    QFETCH(QString, change);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    const QString folder = exportAll(change.startsWith("edit") ? dmhInsideBlockRepeatedIds() : fiveBlocks());
    QVERIFY(!folder.isEmpty());
    const QString verb = change.section(' ', 0, 0);
    const QString file = folder + '/' + change.section(' ', 1, 1);
    if (change == "remove folder") {
        QVERIFY(QDir(folder).removeRecursively());
    } else if (verb == "remove") {
        QVERIFY(QFile::remove(file));
    } else if (verb == "garble" || verb == "add") {
        QVERIFY(writeFile(file, verb == "add" ? "notes" : "{ not json"));
    } else if (verb == "change") {
        QByteArray bytes = readFile(file);
        bytes[0] = char(bytes[0] ^ 1);
        QVERIFY(writeFile(file, bytes));
        QVERIFY(!change.endsWith("backdated") || backdate(file));
    } else if (change == "drop layout" || change.startsWith("index:")) {
        QJsonObject index = indexOf(folder);
        QJsonArray blocks = index.value("blocks").toArray();
        QJsonObject boot = blocks[0].toObject();
        QJsonObject kernel = blocks[2].toObject();
        QJsonObject layout = index.value("layout").toObject();
        if (change == "drop layout")
            index.remove("layout");
        if (change.contains("move a block"))
            boot.insert("start", boot.value("start").toDouble() + 1);
        if (change.contains("drop a block")) {
            QVERIFY(QFile::remove(folder + '/' + boot.value("file").toString()));
            boot.insert("file", QJsonValue::Null);
        }
        if (change.contains("shorten a record"))
            kernel.insert("dataLength", kernel.value("dataLength").toDouble() - 1);
        if (change.contains("clear imageSha256"))
            layout.insert("imageSha256", "");
        blocks[0] = boot;
        blocks[2] = kernel;
        index.insert("blocks", blocks);
        if (index.contains("layout"))
            index.insert("layout", layout);
        QVERIFY(writeFile(folder + "/index.json", QJsonDocument(index).toJson()));
        QVERIFY(!change.endsWith(", edit") || writeFile(folder + "/d0-e03-id21-fs.bin", "new"));
    } else if (change.startsWith("write into the folder")) {
        QVERIFY(!change.endsWith("symlink") || QFile::link(folder + "/newfile", path("newlink")));
    } else {
        QVERIFY(writeFile(folder + "/d0-e03-id5-again.bin", "new"));
        QVERIFY(change != "edit both fives" || writeFile(folder + "/d0-e02-id5-five.bin", "new"));
    }
    const QString output = change == "write into the folder" ? folder + "/packed.bin"
        : change.endsWith("symlink")                         ? folder + "/../newlink"
                                                             : path("packed.bin");
    const CliRun run = runCommand(QStringList { "pack", folder, "-o", output }
        + (change.endsWith("symlink") ? QStringList { "--force" } : QStringList()));
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(QString::fromUtf8(run.err.split('\n').first()), QString(error).replace("DIR", folder));
    QVERIFY(!QFile::exists(output));
    // To a file the image is checked while it is written; to a stream, which cannot take bytes back,
    // before a byte goes out.
    if (change == "index: move a block") {
        const CliRun streamed = runCommand({ "pack", folder, "-o", "-" });
        QCOMPARE(streamed.exitCode, exitCode);
        QVERIFY2(streamed.out.isEmpty(), "a stream got bytes of an image that does not match its index");
    }
}

QTEST_GUILESS_MAIN(TestCliPack)
#include "tst_clipack.moc"
