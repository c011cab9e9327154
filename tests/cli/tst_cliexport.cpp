#include "clitestcase.h"

#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "ops/record/sha256.h"
#include "ops/write/filesystemcalls.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Two DMHs: ID 5 twice in DMH 0 (no BLOCK reaches the second entry) and again in DMH 1, names a file name
// cannot carry as they are, an empty name, a block outside the image and a record whose data length
// reaches into the record.
QByteArray twoDmhImage()
{
    const TestEntry record = testEntry(0xb, 0x10000, 0x10000, "rec", 0);
    ImageBuilder builder(0x40000);
    builder.dmh(0,
        testDmh({ testEntry(5, 0x100, 0x100, "boot"), testEntry(5, 0x200, 0x100, "boot2"),
                    testEntry(7, 0x300, 0x40, "a b/c") },
            0x40000));
    builder.dmh(0x10000,
        testDmh(
            { testEntry(5, 0x1000, 0x100, "late"), testEntry(8, 0x1100, 0x10, ""),
                testEntry(9, 0x1200, 0x10, "\xe9t\xe9"), testEntry(0xa, 0x8000, 0x100000, "far"), record },
            0x40000));
    builder.fill(0x100, 0x100, 'a').fill(0x200, 0x100, 'b').fill(0x300, 0x40, 'c');
    builder.fill(0x11000, 0x100, 'L').fill(0x11100, 0x10, 'e').fill(0x11200, 0x10, 'n');
    builder.block(0x10000, record, ImageBuilder::randomBytes(100, 5), true);
    builder.bytes(0x20000 + 0x10000 - 64 + 24, u32Bytes(0x10000 - 63));
    return builder.image();
}

// The file system as it reports its free space; fields left at 0 report it as it is.
struct CrampedFileSystem : FileSystemCalls {
    fsblkcnt_t freeBlocks = 0;
    fsfilcnt_t freeFiles = 0;
    int freeSpace(int fileSystemFolder, struct statvfs* result) override
    {
        if (FileSystemCalls::freeSpace(fileSystemFolder, result) != 0)
            return -1;
        result->f_frsize = 4096;
        if (freeBlocks != 0)
            result->f_bavail = freeBlocks;
        if (freeFiles != 0) {
            result->f_files = 1000;
            result->f_favail = freeFiles;
        }
        return 0;
    }
};

QString sha256Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(Sha256::hex(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size()));
}

// `tree` without what lies below `inside`.
QMap<QString, QByteArray> outside(QMap<QString, QByteArray> tree, const QString& inside)
{
    for (auto entry = tree.begin(); entry != tree.end();)
        entry = entry.key().startsWith(inside) ? tree.erase(entry) : std::next(entry);
    return tree;
}

} // namespace

// tessel-cli export: one block as the operation writes it, and export --all with its folder rules.
class TestCliExport : public CliTestCase {
    Q_OBJECT

private slots:
    void exportWritesWhatTheOperationWrites_data();
    void exportWritesWhatTheOperationWrites();
    void exportAllEqualsSingleExports_data();
    void exportAllEqualsSingleExports();
    void exportAllFolderRules_data();
    void exportAllFolderRules();

private:
    // What export --all wrote to a folder: its files and their bytes, and the reasons of the entries
    // without a file.
    struct Folder {
        int files = 0;
        qint64 bytes = 0;
        QStringList reasons;
    };
    void checkAgainstSingleExports(
        const QString& folder, const QByteArray& image, const QStringList& files, Folder* written);
    bool earlierExport(const QString& name);
    void prepareFolder(const QString& setup, QString* folder, QString* target, CrampedFileSystem* fileSystem,
        qint64* neededBytes);
};

void TestCliExport::exportWritesWhatTheOperationWrites_data()
{
    QTest::addColumn<QStringList>("block");
    QTest::addColumn<QString>("idText");
    QTest::addColumn<int>("length");

    QTest::newRow("whole block") << QStringList { "10" } << "10" << 0x800;
    QTest::newRow("record: data only") << QStringList { "20" } << "20" << 1000;
    QTest::newRow("by name") << QStringList { "--name", "kernel" } << "20" << 1000;
    QTest::newRow("name:NAME") << QStringList { "name:kernel" } << "20" << 1000;
    QTest::newRow("DMH:ID") << QStringList { "0:10" } << "10" << 0x800;
    QTest::newRow("NCRC block") << QStringList { "21" } << "21" << 0x10000;
}

void TestCliExport::exportWritesWhatTheOperationWrites()
{
    QFETCH(QStringList, block);
    QFETCH(QString, idText);
    QFETCH(int, length);

    const QString output = path("block.out");
    const CliRun run = runCommand(QStringList { "export", imagePath } + block + QStringList { "-o", output });
    CLI_COMPARE_EXIT(run, 0);
    // The status text, then what was written.
    QCOMPARE(QString::fromUtf8(run.out).trimmed(),
        QStringLiteral("Save block %1 successfully!!!\nWrote %2 bytes, %3 of block %4, to %1.")
            .arg(output, QString::number(length), length == 1000 ? "the data part" : "all", idText));
    QVERIFY(run.err.isEmpty());

    QVERIFY(fixture->reload());
    const Outcome outcome = fixture->exportBlock(idText, "expected.out");
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    const QByteArray written = readFile(output);
    QCOMPARE(written.size(), length);
    QCOMPARE(written, readFile(path("expected.out")));
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());

    const QString jsonOutput = path("block.json.out");
    const CliRun json = runCommand(
        QStringList { "export", "--json", imagePath } + block + QStringList { "-o", jsonOutput });
    CLI_COMPARE_EXIT(json, 0);
    QCOMPARE(json.json().value("length").toInt(), length);
    QCOMPARE(json.json().value("block").toObject().value("idText").toString(), idText);
    QCOMPARE(readFile(jsonOutput), written);
}

void TestCliExport::exportAllEqualsSingleExports_data()
{
    QTest::addColumn<QByteArray>("image");
    // The file of each entry in table order; empty for an entry that cannot be exported.
    QTest::addColumn<QStringList>("files");

    // clang-format off
    QTest::newRow("standard image") << StandardImages::fiveBlocks() << QStringList { "d0-e00-id10-boot.bin",
        "d0-e01-idab-ssdata.bin", "d0-e02-id20-kernel.bin", "d0-e03-id21-fs.bin", "d0-e04-id22-boot.bin" };
    QTest::newRow("two DMHs") << twoDmhImage() << QStringList { "d0-e00-id5-boot.bin", "d0-e01-id5-boot2.bin",
        "d0-e02-id7-a_b_c.bin", "d1-e00-id5-late.bin", "d1-e01-id8.bin", "d1-e02-id9-_t_.bin", "", "" };
    // clang-format on
}

void TestCliExport::exportAllEqualsSingleExports()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, files);
    // An entry that cannot be exported fails the run, after the others are written.
    const int exitCode = files.contains("") ? 1 : 0;

    QVERIFY(fixture->write("image.bin", image));
    const QString folder = path("blocks");
    const CliRun run = runCommand({ "export", imagePath, "--all", "-o", folder });
    CLI_COMPARE_EXIT(run, exitCode);
    Folder written;
    checkAgainstSingleExports(folder, image, files, &written);
    if (QTest::currentTestFailed())
        return;
    const QString wrote = QString("Wrote %1 block files and index.json (%2 bytes) to %3")
                              .arg(files.size() - written.reasons.size())
                              .arg(written.bytes)
                              .arg(folder);
    if (exitCode == 0) {
        QCOMPARE(QString::fromUtf8(run.out), wrote + ".\n");
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    } else {
        // Each block that could not be exported is told with its reason.
        QVERIFY2(run.out.isEmpty(), run.out.constData());
        const QStringList lines = QString::fromUtf8(run.err).trimmed().split('\n');
        QCOMPARE(lines.first(),
            wrote
                + QString("; %1 of %2 blocks could not be exported.")
                      .arg(written.reasons.size())
                      .arg(files.size()));
        QCOMPARE(lines.size(), 1 + written.reasons.size());
        for (int line = 0; line < written.reasons.size(); ++line)
            QVERIFY2(lines[1 + line].endsWith(written.reasons[line]), qPrintable(lines[1 + line]));
    }

    // The image spelled another way gives the same index: it names the file, not the path as typed.
    const QString otherSpelling = path("blocks/../image.bin");
    const CliRun json = runCommand({ "export", "--json", otherSpelling, "--all", "-o", path("blocks2") });
    QCOMPARE(readFile(path("blocks2/index.json")), readFile(folder + "/index.json"));
    CLI_COMPARE_EXIT(json, exitCode);
    const QJsonObject document = json.json();
    QCOMPARE(document.value("blocks").toArray(),
        QJsonDocument::fromJson(readFile(folder + "/index.json")).object().value("blocks").toArray());
    QCOMPARE(document.value("filesWritten").toInt(), written.files);
    QCOMPARE(document.value("bytesWritten").toDouble(), double(written.bytes));
    QCOMPARE(document.value("output").toString(), path("blocks2"));
}

// The folder holds index.json, each entry's file and the rest files, and nothing else: the file its single
// export writes (with its sha256), or the reason it has none; each rest file the image's bytes at its
// ranges. index.json is the list document with each block's file or reason, and the layout.
void TestCliExport::checkAgainstSingleExports(
    const QString& folder, const QByteArray& image, const QStringList& files, Folder* result)
{
    QJsonObject index = QJsonDocument::fromJson(readFile(folder + "/index.json")).object();
    const QJsonArray indexBlocks = index.take("blocks").toArray();
    QCOMPARE(indexBlocks.size(), files.size());
    QJsonArray listedBlocks;
    QStringList written { "index.json" };
    result->bytes = readFile(folder + "/index.json").size();
    const QJsonObject layout = index.take("layout").toObject();
    QCOMPARE(layout.value("imageLength").toDouble(), double(image.size()));
    QCOMPARE(layout.value("imageSha256").toString(), sha256Hex(image));
    for (const QJsonValue& restValue : layout.value("restFiles").toArray()) {
        const QJsonObject rest = restValue.toObject();
        QByteArray expected;
        for (const QJsonValue& range : rest.value("ranges").toArray())
            expected += image.mid(range.toArray()[0].toInt(), range.toArray()[1].toInt());
        const QByteArray content = readFile(folder + '/' + rest.value("file").toString());
        QCOMPARE(content, expected);
        QCOMPARE(rest.value("sha256").toString(), sha256Hex(content));
        written << rest.value("file").toString();
        result->bytes += content.size();
    }
    QSet<QString> blocksSeen;
    for (int row = 0; row < indexBlocks.size(); ++row) {
        QJsonObject block = indexBlocks[row].toObject();
        const QString file = block.take("file").toString();
        const QString reason = block.take("reason").toString();
        const QString sha256 = block.value("sha256").toString();
        listedBlocks.append(block);
        // DMH:ID reaches the first entry with the ID in its DMH.
        const QString qualified
            = QString("%1:%2").arg(block.value("dmhIndex").toInt()).arg(block.value("idText").toString());
        const bool first = !blocksSeen.contains(qualified);
        blocksSeen << qualified;
        QCOMPARE(file, files[row]);
        QVERIFY2(file.isEmpty() ? reason.contains(" bytes") : reason.isEmpty(), qPrintable(reason));
        if (file.isEmpty()) {
            result->reasons << reason;
            continue;
        }
        written << file;
        const QByteArray content = readFile(folder + '/' + file);
        result->bytes += content.size();
        QCOMPARE(sha256, sha256Hex(content));
        // The entry's single export; a later entry no BLOCK reaches holds its own bytes (its data part when
        // it ends in a record).
        if (first) {
            const CliRun single
                = runCommand({ "export", imagePath, qualified, "--force", "-o", path("single.bin") });
            CLI_COMPARE_EXIT(single, 0);
            QCOMPARE(content, readFile(path("single.bin")));
        } else {
            const int length
                = block.value(block.value("hasBlockInfo").toBool() ? "dataLength" : "size").toInt();
            QCOMPARE(content, image.mid(block.value("start").toInt(), length));
        }
    }
    // index.json always has the hashes: it is the list --hashes document.
    QJsonObject listed = runCommand({ "list", "--hashes", "--json", imagePath }).json();
    QCOMPARE(listed.take("blocks").toArray(), listedBlocks);
    // The index names the image by its file name and size.
    listed.insert("image", "image.bin");
    listed.insert("imageSize", double(image.size()));
    QCOMPARE(index, listed);
    written.sort();
    QCOMPARE(folderEntries(folder), written);
    result->files = written.size();
}

void TestCliExport::exportAllFolderRules_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("force");
    // Empty: the blocks are written and nothing of what was there before is left.
    QTest::addColumn<QString>("refusal");

    // A folder with something in it is replaced only when an earlier export --all wrote it.
    const QString onlyExports
        = "; --force replaces only an empty folder or one that export --all wrote, so nothing was written.";
    const QString notAFolder = "; -o names the folder that --all writes, so nothing was written.";
    // clang-format off
    QTest::newRow("new folder") << QString() << false << QString();
    QTest::newRow("new folder, trailing slash") << "slash" << false << QString();
    QTest::newRow("empty folder") << "empty" << false << QString();
    QTest::newRow("empty folder, --force") << "empty" << true << QString();
    QTest::newRow("folder with files") << "full" << false << "DIR is not empty and holds no index.json" + onlyExports;
    QTest::newRow("folder with files, --force") << "full" << true
        << "DIR is not empty and holds no index.json" + onlyExports;
    QTest::newRow("earlier export") << "export" << false
        << "DIR already exists and is not empty; use --force to replace it.";
    QTest::newRow("earlier export, --force") << "export" << true << QString();
    QTest::newRow("symlink to an earlier export, --force") << "link" << true << QString();
    QTest::newRow("through a symlink and .., --force") << "link dot dot" << true << QString();
    QTest::newRow("earlier export with a file beside index.json, --force")
        << "extra" << true << "DIR holds notes.txt, which is not a file its index.json lists" + onlyExports;
    QTest::newRow("earlier export with its index cut short, --force")
        << "cut index" << true << "DIR/index.json is not the index export --all writes" + onlyExports;
    QTest::newRow("current folder, an earlier export, --force") << "current" << true
        << "DIR is the current folder; it is never replaced.";
    QTest::newRow("folder above the current one, --force") << "parent" << true
        << "DIR holds the current folder CWD; it is never replaced.";
    QTest::newRow("too little free space") << "no room" << false
        << "DIR needs NEEDED bytes for its 7 files, but the file system it goes on has 4096 bytes free; "
           "nothing was written.";
    QTest::newRow("too few free files") << "no files" << false
        << "DIR needs 7 files, but the file system it goes on has room for 3 more; nothing was written.";
    QTest::newRow("file, --force") << "file" << true << "DIR is a file" + notAFolder;
    QTest::newRow("FIFO") << "fifo" << false << "DIR is a FIFO" + notAFolder;
    QTest::newRow("no parent folder") << "no parent" << false << "DIR cannot be created: there is no folder PARENT.";
    QTest::newRow("symlink to nothing, --force") << "dangling" << true
        << "DIR is a symlink to GONE, which does not exist" + notAFolder;
    QTest::newRow("folder holding the image, --force") << "holds image" << true
        << "DIR holds the input file IMAGE; it is never replaced.";
    // clang-format on
}

// What export --all wrote from another image into the folder `name`, so that none of its files is among
// the new ones.
bool TestCliExport::earlierExport(const QString& name)
{
    return fixture->write("other.bin", twoDmhImage())
        && runCommand({ "export", path("other.bin"), "--all", "-o", path(name) }).exitCode == 1;
}

// Puts in place what the row `setup` names at -o's folder `folder` (which it may change, as it may the
// folder the blocks land in, `target`), or in the file system's free space; `neededBytes` is what the
// files would take.
void TestCliExport::prepareFolder(const QString& setup, QString* folder, QString* target,
    CrampedFileSystem* fileSystem, qint64* neededBytes)
{
    // Without room the refusal states what the files would take: what they take when there is room,
    // and one 4 KiB block for each file's end and the folder's own.
    if (setup == "no room") {
        const CliRun reference
            = runCommand({ "export", "--json", imagePath, "--all", "-o", path("reference") });
        CLI_COMPARE_EXIT(reference, 0);
        *neededBytes = qint64(reference.json().value("bytesWritten").toDouble())
            + 4096 * (reference.json().value("filesWritten").toInt() + 1);
        fileSystem->freeBlocks = 1;
    }
    if (setup == "no files")
        fileSystem->freeFiles = 3;
    if (setup == "empty")
        QVERIFY(QDir(path()).mkdir("out"));
    if (setup == "full")
        QVERIFY(QDir(path()).mkpath("out/sub") && fixture->write("out/old.bin", "old")
            && fixture->write("out/sub/deep.bin", "deep"));
    if (setup == "export" || setup == "extra" || setup == "cut index" || setup == "current")
        QVERIFY(earlierExport("out"));
    if (setup == "extra")
        QVERIFY(fixture->write("out/notes.txt", "not the export's"));
    if (setup == "cut index") {
        const QByteArray index = fixture->read("out/index.json");
        QVERIFY(fixture->write("out/index.json", index.left(index.size() / 2)));
    }
    if (setup == "current") {
        QVERIFY(QDir::setCurrent(*folder));
        *folder = ".";
    }
    if (setup == "parent") {
        QVERIFY(QDir(path()).mkpath("out/inner") && QDir::setCurrent(path("out/inner")));
        *folder = "..";
    }
    if (setup == "link") {
        *target = path("real");
        QVERIFY(earlierExport("real") && QFile::link(*target, *folder));
    }
    if (setup == "link dot dot") {
        // The system finds "slink/../out" beside the link's target; the text alone names path("out").
        QVERIFY(QDir(path()).mkpath("a/b") && QFile::link(path("a/b"), path("slink")) && earlierExport("out")
            && earlierExport("a/out"));
        *folder = path("slink/../out");
        *target = path("a/out");
    }
    if (setup == "file")
        QVERIFY(fixture->write("out", "a file"));
    if (setup == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(*folder).constData(), 0600), 0);
    if (setup == "dangling")
        QVERIFY(QFile::link(path("gone"), *folder));
    if (setup == "no parent")
        *folder = path("missing/out");
    if (setup == "holds image")
        *folder = *target = path();
}

void TestCliExport::exportAllFolderRules()
{
    QFETCH(QString, setup);
    QFETCH(bool, force);
    QFETCH(QString, refusal);

    // -o as given, and the folder the blocks land in: the symlink's target for a symlink.
    QString folder = path("out");
    QString target = folder;
    const QString previousFolder = QDir::currentPath();
    const auto restoreCurrentFolder = qScopeGuard([&previousFolder] { QDir::setCurrent(previousFolder); });
    CrampedFileSystem fileSystem;
    const FileSystemCalls::Override seam(fileSystem);
    qint64 neededBytes = 0;
    prepareFolder(setup, &folder, &target, &fileSystem, &neededBytes);
    if (QTest::currentTestFailed())
        return;
    QStringList arguments { "export", imagePath, "--all", "-o", setup == "slash" ? folder + '/' : folder };
    if (force)
        arguments << "--force";
    const QMap<QString, QByteArray> before = folderTree(path());

    const CliRun run = runCommand(arguments);
    if (!refusal.isEmpty()) {
        CLI_COMPARE_EXIT(run, 1);
        QCOMPARE(QString::fromUtf8(run.err).trimmed(),
            fill(refusal,
                { { "PARENT", path("missing") }, { "GONE", path("gone") }, { "DIR", folder },
                    { "CWD", path("out/inner") }, { "NEEDED", QString::number(neededBytes) } }));
        QCOMPARE(folderTree(path()), before);
        return;
    }
    CLI_COMPARE_EXIT(run, 0);
    const QStringList entries = folderEntries(target);
    // Five block files, a rest file and index.json.
    QCOMPARE(entries.size(), 7);
    QVERIFY2(entries.contains("index.json"), qPrintable(entries.join(", ")));
    QVERIFY2(!entries.contains("old.bin"), "the old folder is replaced whole");
    if (setup == "link")
        QCOMPARE(QFileInfo(folder).symLinkTarget(), target);
    // Nothing but the folder changed, and no hidden folder is left beside it.
    const QString inside = target.mid(path().size()) + '/';
    QMap<QString, QByteArray> expected = outside(before, inside);
    expected.insert(inside.chopped(1), "folder");
    QCOMPARE(outside(folderTree(path()), inside), expected);
}

QTEST_GUILESS_MAIN(TestCliExport)
#include "tst_cliexport.moc"
