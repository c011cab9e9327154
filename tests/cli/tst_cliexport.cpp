#include "clitestcase.h"

#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "model/flashimage.h"
#include "ops/blockexport.h"
#include "ops/filesystemcalls.h"

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
    TestDmh first;
    first.flashSize = 0x40000;
    first.entries = { testEntry(5, 0x100, 0x100, "boot"), testEntry(5, 0x200, 0x100, "boot2"),
        testEntry(7, 0x300, 0x40, "a b/c") };
    const TestEntry record = testEntry(0xb, 0x10000, 0x10000, "rec", 0);
    TestDmh second = first;
    second.entries = { testEntry(5, 0x1000, 0x100, "late"), testEntry(8, 0x1100, 0x10, ""),
        testEntry(9, 0x1200, 0x10, "\xe9t\xe9"), testEntry(0xa, 0x8000, 0x100000, "far"), record };
    ImageBuilder builder(0x40000);
    builder.dmh(0, first).dmh(0x10000, second);
    builder.fill(0x100, 0x100, 'a').fill(0x200, 0x100, 'b').fill(0x300, 0x40, 'c');
    builder.fill(0x11000, 0x100, 'L').fill(0x11100, 0x10, 'e').fill(0x11200, 0x10, 'n');
    builder.block(0x10000, record, ImageBuilder::randomBytes(100, 5), true);
    builder.bytes(0x20000 + 0x10000 - 64 + 24, u32Bytes(0x10000 - 63));
    return builder.image();
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

    const QString output = path(QStringLiteral("block.out"));
    const CliRun run = runCommand(QStringList { "export", imagePath } + block + QStringList { "-o", output });
    QCOMPARE(run.exitCode, 0);
    // The status text, then what was written.
    const QString part = length == 1000 ? QStringLiteral("the data part") : QStringLiteral("all");
    QCOMPARE(QString::fromUtf8(run.out).trimmed(),
        QStringLiteral("Save block %1 successfully!!!\nWrote %2 bytes, %3 of block %4, to %1.")
            .arg(output, QString::number(length), part, idText));
    QVERIFY(run.err.isEmpty());

    FlashImage image;
    QVERIFY(image.load(imagePath.toStdWString()));
    const QString expectedPath = path(QStringLiteral("expected.out"));
    const Outcome outcome
        = exportBlock(ImageView::of(image), findBlock(image.dmhRecords(), idText), expectedPath);
    QVERIFY2(outcome.success, qPrintable(outcome.message));
    const QByteArray written = readFile(output);
    QCOMPARE(written.size(), length);
    QCOMPARE(written, readFile(expectedPath));
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());

    const QString jsonOutput = path(QStringLiteral("block.json.out"));
    const CliRun json = runCommand(
        QStringList { "export", "--json", imagePath } + block + QStringList { "-o", jsonOutput });
    QCOMPARE(json.exitCode, 0);
    QCOMPARE(json.json().value(QStringLiteral("length")).toInt(), length);
    QCOMPARE(json.json().value(QStringLiteral("block")).toObject().value(QStringLiteral("idText")).toString(),
        idText);
    QCOMPARE(readFile(jsonOutput), written);
}

void TestCliExport::exportAllEqualsSingleExports_data()
{
    QTest::addColumn<QByteArray>("image");
    // The file of each entry in table order; empty for an entry that cannot be exported.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("standard image") << StandardImages::fiveBlocks()
                                    << QStringList { "d0-e00-id10-boot.bin", "d0-e01-idab-ssdata.bin",
                                           "d0-e02-id20-kernel.bin", "d0-e03-id21-fs.bin",
                                           "d0-e04-id22-boot.bin" }
                                    << 0;
    QTest::newRow("two DMHs") << twoDmhImage()
                              << QStringList { "d0-e00-id5-boot.bin", "d0-e01-id5-boot2.bin",
                                     "d0-e02-id7-a_b_c.bin", "d1-e00-id5-late.bin", "d1-e01-id8.bin",
                                     "d1-e02-id9-_t_.bin", "", "" }
                              << 1;
}

void TestCliExport::exportAllEqualsSingleExports()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, files);
    QFETCH(int, exitCode);

    QVERIFY(writeFile(imagePath, image));
    const QString folder = path(QStringLiteral("blocks"));
    const CliRun run = runCommand({ "export", imagePath, "--all", "-o", folder });
    QVERIFY2(run.exitCode == exitCode, run.err.constData());

    QJsonObject index = QJsonDocument::fromJson(readFile(folder + QStringLiteral("/index.json"))).object();
    const QJsonArray indexBlocks = index.take(QStringLiteral("blocks")).toArray();
    QCOMPARE(indexBlocks.size(), files.size());
    QJsonArray listedBlocks;
    QStringList written { QStringLiteral("index.json") };
    qint64 bytes = readFile(folder + QStringLiteral("/index.json")).size();
    QStringList reasons;
    for (int row = 0; row < indexBlocks.size(); ++row) {
        QJsonObject block = indexBlocks[row].toObject();
        const QString file = block.take(QStringLiteral("file")).toString();
        const QString reason = block.take(QStringLiteral("reason")).toString();
        listedBlocks.append(block);
        QCOMPARE(file, files[row]);
        if (file.isEmpty()) {
            QVERIFY2(reason.contains(QLatin1String(" bytes")), qPrintable(reason));
            reasons << reason;
            continue;
        }
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
        written << file;
        const QByteArray content = readFile(folder + QLatin1Char('/') + file);
        bytes += content.size();

        // The entry's single export: DMH:ID reaches the first entry with the ID in its DMH; a later one no
        // BLOCK reaches is the entry's own bytes (its data part when it ends in a record).
        const int dmhIndex = block.value(QStringLiteral("dmhIndex")).toInt();
        const QString idText = block.value(QStringLiteral("idText")).toString();
        bool first = true;
        for (int earlier = 0; earlier < row; ++earlier) {
            const QJsonObject other = indexBlocks[earlier].toObject();
            first = first
                && !(other.value(QStringLiteral("dmhIndex")).toInt() == dmhIndex
                    && other.value(QStringLiteral("idText")).toString() == idText);
        }
        if (first) {
            const QString single = path(QStringLiteral("single.bin"));
            const CliRun one = runCommand({ "export", imagePath,
                QStringLiteral("%1:%2").arg(dmhIndex).arg(idText), "--force", "-o", single });
            QCOMPARE(one.exitCode, 0);
            QCOMPARE(content, readFile(single));
        } else {
            const bool record = block.value(QStringLiteral("hasBlockInfo")).toBool();
            const int length
                = block.value(record ? QStringLiteral("dataLength") : QStringLiteral("size")).toInt();
            QCOMPARE(content, image.mid(block.value(QStringLiteral("start")).toInt(), length));
        }
    }

    // index.json is the list document, with each block's file or the reason it has none.
    QJsonObject listed = runCommand({ "list", "--json", imagePath }).json();
    QCOMPARE(listed.take(QStringLiteral("blocks")).toArray(), listedBlocks);
    QCOMPARE(index, listed);
    QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    entries.sort();
    written.sort();
    QCOMPARE(entries, written);

    if (exitCode == 0) {
        QCOMPARE(QString::fromUtf8(run.out),
            QStringLiteral("Wrote %1 block files and index.json (%2 bytes) to %3.\n")
                .arg(written.size() - 1)
                .arg(bytes)
                .arg(folder));
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    } else {
        QVERIFY2(run.out.isEmpty(), run.out.constData());
        const QStringList lines = QString::fromUtf8(run.err).trimmed().split(QLatin1Char('\n'));
        QCOMPARE(lines.first(),
            QStringLiteral(
                "Wrote %1 block files and index.json (%2 bytes) to %3; %4 of %5 blocks could not be "
                "exported.")
                .arg(written.size() - 1)
                .arg(bytes)
                .arg(folder)
                .arg(reasons.size())
                .arg(files.size()));
        QCOMPARE(lines.size(), 1 + reasons.size());
        for (int line = 0; line < reasons.size(); ++line)
            QVERIFY2(lines[1 + line].endsWith(reasons[line]), qPrintable(lines[1 + line]));
    }

    const CliRun json = runCommand({ "export", "--json", imagePath, "--all", "-o", path("blocks2") });
    QCOMPARE(json.exitCode, exitCode);
    const QJsonObject document = json.json();
    QCOMPARE(document.value(QStringLiteral("blocks")).toArray(), indexBlocks);
    QCOMPARE(document.value(QStringLiteral("filesWritten")).toInt(), written.size());
    QCOMPARE(document.value(QStringLiteral("bytesWritten")).toDouble(), double(bytes));
    QCOMPARE(document.value(QStringLiteral("output")).toString(), path("blocks2"));
}

void TestCliExport::exportAllFolderRules_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("force");
    // Empty: the blocks are written and nothing of what was there before is left.
    QTest::addColumn<QString>("refusal");

    QTest::newRow("new folder") << QString() << false << QString();
    QTest::newRow("new folder, trailing slash") << "slash" << false << QString();
    QTest::newRow("empty folder") << "empty" << false << QString();
    QTest::newRow("empty folder, --force") << "empty" << true << QString();
    // A folder with something in it is replaced only when an earlier export --all wrote it.
    const QString onlyExports
        = "; --force replaces only an empty folder or one that export --all wrote, so nothing was written.";
    QTest::newRow("folder with files")
        << "full" << false << "DIR is not empty and holds no index.json" + onlyExports;
    QTest::newRow("folder with files, --force")
        << "full" << true << "DIR is not empty and holds no index.json" + onlyExports;
    QTest::newRow("earlier export") << "export" << false
                                    << "DIR already exists and is not empty; use --force to replace it.";
    QTest::newRow("earlier export, --force") << "export" << true << QString();
    QTest::newRow("symlink to an earlier export, --force") << "link" << true << QString();
    QTest::newRow("earlier export with a file beside index.json, --force")
        << "extra" << true << "DIR holds notes.txt, which is not a file its index.json lists" + onlyExports;
    QTest::newRow("earlier export with its index cut short, --force")
        << "cut index" << true << "DIR/index.json is not the index export --all writes" + onlyExports;
    QTest::newRow("current folder, an earlier export, --force")
        << "current" << true << "DIR is the current folder; it is never replaced.";
    QTest::newRow("folder above the current one, --force")
        << "parent" << true << "DIR holds the current folder CWD; it is never replaced.";
    QTest::newRow("too little free space")
        << "no room" << false
        << "DIR needs NEEDED bytes for its 6 files, but the file system it goes on has 4096 bytes free; "
           "nothing was written.";
    QTest::newRow("too few free files")
        << "no files" << false
        << "DIR needs 6 files, but the file system it goes on has room for 3 more; nothing was written.";
    QTest::newRow("file, --force")
        << "file" << true << "DIR is a file; -o names the folder that --all writes, so nothing was written.";
    QTest::newRow("FIFO") << "fifo" << false
                          << "DIR is a FIFO; -o names the folder that --all writes, so nothing was written.";
    QTest::newRow("no parent folder")
        << "no parent" << false << "DIR cannot be created: there is no folder PARENT.";
    QTest::newRow("symlink to nothing, --force")
        << "dangling" << true
        << "DIR is a symlink to GONE, which does not exist; -o names the folder that --all writes, so "
           "nothing was written.";
    QTest::newRow("folder holding the image, --force")
        << "holds image" << true << "DIR holds the input file IMAGE; it is never replaced.";
}

void TestCliExport::exportAllFolderRules()
{
    QFETCH(QString, setup);
    QFETCH(bool, force);
    QFETCH(QString, refusal);

    QDir top(path());
    QString folder = path(QStringLiteral("out"));
    // The folder the blocks land in: the symlink's target for a symlink.
    QString target = folder;
    const auto fillWithOldFiles = [this](const QString& name) {
        QDir(path()).mkpath(name + QStringLiteral("/sub"));
        return writeFile(path(name + QStringLiteral("/old.bin")), "old")
            && writeFile(path(name + QStringLiteral("/sub/deep.bin")), "deep");
    };
    // What export --all wrote from another image, so that none of its files is among the new ones.
    const auto earlierExport = [this](const QString& name) {
        return writeFile(path(QStringLiteral("other.bin")), twoDmhImage())
            && runCommand({ "export", path(QStringLiteral("other.bin")), "--all", "-o", path(name) }).exitCode
            == 1;
    };
    const QString previousFolder = QDir::currentPath();
    const auto restoreCurrentFolder = qScopeGuard([&previousFolder] { QDir::setCurrent(previousFolder); });
    // The file system as it reports its free space; where a row leaves it, as it is.
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
    } fileSystem;
    const FileSystemCalls::Override seam(fileSystem);
    // Without room the refusal states what the files would take: what they take when there is room,
    // and one 4 KiB block for each file's end and the folder's own.
    qint64 neededBytes = 0;
    if (setup == QLatin1String("no room")) {
        const CliRun reference
            = runCommand({ "export", "--json", imagePath, "--all", "-o", path("reference") });
        QCOMPARE(reference.exitCode, 0);
        const QJsonObject written = reference.json();
        neededBytes = qint64(written.value(QStringLiteral("bytesWritten")).toDouble())
            + 4096 * (written.value(QStringLiteral("filesWritten")).toInt() + 1);
        fileSystem.freeBlocks = 1;
    }
    if (setup == QLatin1String("no files"))
        fileSystem.freeFiles = 3;
    if (setup == QLatin1String("empty"))
        QVERIFY(top.mkdir(QStringLiteral("out")));
    if (setup == QLatin1String("full"))
        QVERIFY(fillWithOldFiles(QStringLiteral("out")));
    if (setup == QLatin1String("export") || setup == QLatin1String("extra")
        || setup == QLatin1String("cut index") || setup == QLatin1String("current"))
        QVERIFY(earlierExport(QStringLiteral("out")));
    if (setup == QLatin1String("extra"))
        QVERIFY(writeFile(path(QStringLiteral("out/notes.txt")), "not the export's"));
    if (setup == QLatin1String("cut index")) {
        const QByteArray index = readFile(path(QStringLiteral("out/index.json")));
        QVERIFY(writeFile(path(QStringLiteral("out/index.json")), index.left(index.size() / 2)));
    }
    if (setup == QLatin1String("current")) {
        QVERIFY(QDir::setCurrent(folder));
        folder = QStringLiteral(".");
    }
    if (setup == QLatin1String("parent")) {
        QVERIFY(top.mkpath(QStringLiteral("out/inner")));
        QVERIFY(QDir::setCurrent(path(QStringLiteral("out/inner"))));
        folder = QStringLiteral("..");
    }
    if (setup == QLatin1String("link")) {
        QVERIFY(earlierExport(QStringLiteral("real")));
        QVERIFY(QFile::link(path(QStringLiteral("real")), folder));
        target = path(QStringLiteral("real"));
    }
    if (setup == QLatin1String("file"))
        QVERIFY(writeFile(folder, "a file"));
    if (setup == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(folder).constData(), 0600), 0);
    if (setup == QLatin1String("dangling"))
        QVERIFY(QFile::link(path(QStringLiteral("gone")), folder));
    if (setup == QLatin1String("no parent"))
        folder = path(QStringLiteral("missing/out"));
    if (setup == QLatin1String("holds image"))
        folder = target = path();
    QStringList arguments { "export", imagePath, "--all", "-o",
        setup == QLatin1String("slash") ? folder + QLatin1Char('/') : folder };
    if (force)
        arguments << QStringLiteral("--force");
    const QMap<QString, QByteArray> before = folderTree(path());

    const CliRun run = runCommand(arguments);
    if (refusal.isEmpty()) {
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QStringList entries = QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(entries.size(), 6);
        QVERIFY2(entries.contains(QStringLiteral("index.json")), qPrintable(entries.join(", ")));
        QVERIFY2(!entries.contains(QStringLiteral("old.bin")), "the old folder is replaced whole");
        if (setup == QLatin1String("link"))
            QCOMPARE(QFileInfo(folder).symLinkTarget(), target);
        // Nothing but the folder changed, and no hidden folder is left beside it.
        const QString inside = target.mid(path().size()) + QLatin1Char('/');
        const auto outside = [&inside](QMap<QString, QByteArray> tree) {
            for (auto entry = tree.begin(); entry != tree.end();)
                entry = entry.key().startsWith(inside) ? tree.erase(entry) : std::next(entry);
            return tree;
        };
        QMap<QString, QByteArray> expected = outside(before);
        expected.insert(inside.chopped(1), "folder");
        QCOMPARE(outside(folderTree(path())), expected);
    } else {
        const QString message = QString(refusal)
                                    .replace(QLatin1String("PARENT"), path(QStringLiteral("missing")))
                                    .replace(QLatin1String("GONE"), path(QStringLiteral("gone")))
                                    .replace(QLatin1String("DIR"), folder)
                                    .replace(QLatin1String("IMAGE"), imagePath)
                                    .replace(QLatin1String("CWD"), path(QStringLiteral("out/inner")))
                                    .replace(QLatin1String("NEEDED"), QString::number(neededBytes));
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(QString::fromUtf8(run.err).trimmed(), message);
        QCOMPARE(folderTree(path()), before);
    }
}

QTEST_GUILESS_MAIN(TestCliExport)
#include "tst_cliexport.moc"
