#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "testfolder.h"

#include "ops/write/planwriter.h"

#include <QBuffer>
#include <QtTest>

#include <cstring>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A device that takes at most `capacity` bytes and then reports short writes without an error, as a
// full file system does.
class ShortWriteDevice : public QIODevice {
public:
    explicit ShortWriteDevice(qint64 capacity)
        : room(capacity)
    {
    }
    QByteArray written;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override
    {
        const qint64 taken = qMin(length, room);
        written.append(data, int(taken));
        room -= taken;
        return taken;
    }

private:
    qint64 room;
};

mode_t permissionsOf(const QString& path)
{
    struct stat status { };
    return stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : mode_t(-1);
}

OutputPatch patch(qint64 position, const QByteArray& bytes)
{
    return { position, bytes, nullptr };
}

OutputPatch blockPatch(qint64 position, const QByteArray& bytes)
{
    auto block = std::make_shared<ImageBuffer>();
    if (block->allocate(bytes.size()))
        std::memcpy(block->data(), bytes.constData(), size_t(bytes.size()));
    return { position, {}, block };
}

const QByteArray source = ImageBuilder::randomBytes(4096, 3);
const uchar* const sourceBytes = reinterpret_cast<const uchar*>(source.constData());

// Streams `plan` over the source into the writer's file and commits it.
bool commit(PlanWriter& writer, const OutputPlan& plan = { 0, 64, {} })
{
    return writer.writeAndCommit(sourceBytes, source.size(), plan);
}

bool commitSource(const QString& path, ExistingOutput existing = ExistingOutput::Replace)
{
    PlanWriter writer(path, existing);
    return writer.open() && commit(writer);
}

// What stands at the paths the check rows name: a file, a folder and symlinks to a file, to nothing and
// to themselves.
bool makeOutputNodes(const TestFolder& folder)
{
    return folder.write("file.bin", "a file") && QDir(folder.path()).mkdir("dir")
        && QFile::link(folder.filePath("file.bin"), folder.filePath("link.bin"))
        && QFile::link(folder.filePath("none.bin"), folder.filePath("dangling.bin"))
        && QFile::link(folder.filePath("loop.bin"), folder.filePath("loop.bin"));
}

} // namespace

Q_DECLARE_METATYPE(OutputPlan)

class TestPlanWriter : public QObject {
    Q_OBJECT

private slots:
    void streamsRangesAndPatches_data();
    void streamsRangesAndPatches();
    void refusesPlansOutsideTheImage_data();
    void refusesPlansOutsideTheImage();
    void reportsShortWrite();
    void commitsWholeFileOnly();
    void failedWriteLeavesExistingFile();
    void replacesSymlinkTarget();
    void setsPermissionBits_data();
    void setsPermissionBits();
    void refusesAnExistingName();
    void checkCreatesNothing_data();
    void checkCreatesNothing();
    void openNamesWhatCheckFinds_data();
    void openNamesWhatCheckFinds();
    void namesANodePutThereWhileWriting();
};

void TestPlanWriter::streamsRangesAndPatches_data()
{
    QTest::addColumn<OutputPlan>("plan");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("image range only") << OutputPlan { 100, 900, {} } << source.mid(100, 900);
    QTest::newRow("empty output") << OutputPlan { 0, 0, {} } << QByteArray();

    QByteArray expected = source.left(1000);
    overlay(expected, 0, "AB");
    overlay(expected, 2, "CD");
    overlay(expected, 500, QByteArray(300, 'x'));
    overlay(expected, 996, "WXYZ");
    QTest::newRow("patches at start, adjacent, middle and end") << OutputPlan { 0, 1000,
        { patch(0, "AB"), blockPatch(2, "CD"), blockPatch(500, QByteArray(300, 'x')), patch(996, "WXYZ") } }
                                                                << expected;
}

void TestPlanWriter::streamsRangesAndPatches()
{
    QFETCH(OutputPlan, plan);
    QFETCH(QByteArray, expected);

    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QVERIFY(writePlan(buffer, sourceBytes, source.size(), plan));
    QCOMPARE(buffer.data(), expected);
}

void TestPlanWriter::refusesPlansOutsideTheImage_data()
{
    QTest::addColumn<OutputPlan>("plan");

    QTest::newRow("range past the end") << OutputPlan { 4000, 97, {} };
    QTest::newRow("negative start") << OutputPlan { -1, 10, {} };
    QTest::newRow("huge length") << OutputPlan { 1, std::numeric_limits<qint64>::max(), {} };
    QTest::newRow("patch past the output") << OutputPlan { 0, 10, { patch(8, "abc") } };
    QTest::newRow("patches overlap") << OutputPlan { 0, 10, { patch(2, "abc"), patch(4, "x") } };
    QTest::newRow("patches unsorted") << OutputPlan { 0, 10, { patch(6, "a"), patch(2, "b") } };
}

void TestPlanWriter::refusesPlansOutsideTheImage()
{
    QFETCH(OutputPlan, plan);

    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QVERIFY(!plan.fitsImage(source.size()));
    QVERIFY(!writePlan(buffer, sourceBytes, source.size(), plan));
    QVERIFY(buffer.data().isEmpty());
}

void TestPlanWriter::reportsShortWrite()
{
    for (qint64 capacity : { 0, 1, 999, 1000, 1003 }) {
        ShortWriteDevice device(capacity);
        QVERIFY(device.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const OutputPlan plan { 0, 1004, { patch(1000, "tail") } };
        const bool whole = writePlan(device, sourceBytes, source.size(), plan);
        QVERIFY2(!whole, qPrintable(QStringLiteral("capacity %1 reported as whole").arg(capacity)));
    }
}

void TestPlanWriter::commitsWholeFileOnly()
{
    TestFolder folder;
    const QString target = folder.filePath("out.bin");
    {
        PlanWriter writer(target);
        QVERIFY(writer.open());
        QCOMPARE(writer.fileName(), target);
        QVERIFY2(!QFileInfo::exists(target), "opening must not create the target");
        writer.discard();
    }
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(folder.entries().size(), 0);

    PlanWriter writer(target);
    QVERIFY(writer.open());
    QVERIFY(commit(writer, OutputPlan { 10, 20, {} }));
    QCOMPARE(readFile(target), source.mid(10, 20));
}

// A file size limit makes the write come up short: the target must keep its old bytes and no
// temporary file may stay behind.
void TestPlanWriter::failedWriteLeavesExistingFile()
{
    TestFolder folder;
    const QByteArray earlier("earlier contents");
    const QString target = folder.filePath("out.bin");
    QVERIFY(folder.write("out.bin", earlier));

    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 1000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

    PlanWriter writer(target);
    const bool opened = writer.open();
    const bool committed = opened && commit(writer, OutputPlan { 0, 4096, {} });

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(opened);
    QVERIFY(!committed);
    QCOMPARE(readFile(target), earlier);
    QCOMPARE(folder.entries(), QStringList { "out.bin" });
}

void TestPlanWriter::replacesSymlinkTarget()
{
    TestFolder folder;
    const QString real = folder.filePath("real.bin");
    QVERIFY(folder.write("real.bin", "old"));
    const QString link = folder.filePath("link.bin");
    QVERIFY(QFile::link(real, link));

    PlanWriter writer(link);
    QVERIFY(writer.open());
    QVERIFY(commit(writer));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readFile(real), source.left(64));
}

// A replaced file keeps its permission bits (a read-only one too, which root may replace); a new file gets
// 0666 less the umask, like any file a program creates.
void TestPlanWriter::setsPermissionBits_data()
{
    QTest::addColumn<int>("existingMode");
    QTest::addColumn<int>("umaskBits");
    QTest::addColumn<int>("expectedMode");

    QTest::newRow("read-only file replaced") << 0444 << 022 << 0444;
    QTest::newRow("private file replaced") << 0600 << 0 << 0600;
    QTest::newRow("set-user-ID is not carried over") << 04755 << 022 << 0755;
    QTest::newRow("new file, umask 022") << -1 << 022 << 0644;
    QTest::newRow("new file, umask 027") << -1 << 027 << 0640;
}

void TestPlanWriter::setsPermissionBits()
{
    QFETCH(int, existingMode);
    QFETCH(int, umaskBits);
    QFETCH(int, expectedMode);

    TestFolder folder;
    const QString target = folder.filePath("out.bin");
    if (existingMode >= 0) {
        QVERIFY(folder.write("out.bin", "old"));
        QCOMPARE(chmod(QFile::encodeName(target).constData(), mode_t(existingMode)), 0);
    }
    const mode_t savedUmask = umask(mode_t(umaskBits));
    const bool committed = commitSource(target);
    umask(savedUmask);
    QVERIFY(committed);
    QCOMPARE(readFile(target), source.left(64));
    QCOMPARE(int(permissionsOf(target)), expectedMode);
}

// Without replacing, the name must be free when the file takes it, not only when it was looked at.
void TestPlanWriter::refusesAnExistingName()
{
    TestFolder folder;
    const QString target = folder.filePath("out.bin");
    QVERIFY(folder.write("out.bin", "earlier"));
    PlanWriter late(target, ExistingOutput::Refuse);
    QVERIFY(!late.open());
    QCOMPARE(late.fault(), OutputFault::Exists);
    QCOMPARE(readFile(target), QByteArray("earlier"));

    const QString fresh = folder.filePath("fresh.bin");
    PlanWriter writer(fresh, ExistingOutput::Refuse);
    QVERIFY(writer.open());
    QVERIFY(folder.write("fresh.bin", "another writer's"));
    QVERIFY(!commit(writer));
    QCOMPARE(writer.fault(), OutputFault::Exists);
    QCOMPARE(readFile(fresh), QByteArray("another writer's"));
    QCOMPARE(folder.entries(), QStringList({ "fresh.bin", "out.bin" }));

    QVERIFY(commitSource(folder.filePath("third.bin"), ExistingOutput::Refuse));
    QCOMPARE(readFile(folder.filePath("third.bin")), source.left(64));
}

void TestPlanWriter::checkCreatesNothing_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("existing");
    QTest::addColumn<int>("obstacle");
    QTest::addColumn<QString>("target");

    const int replace = int(ExistingOutput::Replace);
    const int refuse = int(ExistingOutput::Refuse);
    QTest::newRow("new file") << "new.bin" << refuse << int(OutputObstacle::None) << "new.bin";
    QTest::newRow("file, replaced") << "file.bin" << replace << int(OutputObstacle::None) << "file.bin";
    QTest::newRow("file, not replaced") << "file.bin" << refuse << int(OutputObstacle::Exists) << "file.bin";
    QTest::newRow("missing folder") << "nosuchdir/out.bin" << replace << int(OutputObstacle::MissingFolder)
                                    << "nosuchdir/out.bin";
    QTest::newRow("folder that is a file")
        << "file.bin/out.bin" << replace << int(OutputObstacle::MissingFolder) << "file.bin/out.bin";
    QTest::newRow("folder") << "dir" << replace << int(OutputObstacle::Folder) << "dir";
    QTest::newRow("folder with a slash") << "dir/" << refuse << int(OutputObstacle::Folder) << "dir/";
    QTest::newRow("symlink to a file") << "link.bin" << refuse << int(OutputObstacle::Exists) << "file.bin";
    QTest::newRow("dangling symlink") << "dangling.bin" << refuse << int(OutputObstacle::None) << "none.bin";
    QTest::newRow("symlink loop") << "loop.bin" << replace << int(OutputObstacle::Unreachable) << "loop.bin";
}

void TestPlanWriter::checkCreatesNothing()
{
    QFETCH(QString, output);
    QFETCH(int, existing);
    QFETCH(int, obstacle);
    QFETCH(QString, target);

    TestFolder folder;
    QVERIFY(makeOutputNodes(folder));
    const QStringList before = folder.entries();

    const OutputCheck check = PlanWriter::check(folder.filePath(output), ExistingOutput(existing));
    QCOMPARE(int(check.obstacle), obstacle);
    QCOMPARE(check.committable(), obstacle == int(OutputObstacle::None));
    QCOMPARE(
        QFileInfo(check.target).absoluteFilePath(), QFileInfo(folder.filePath(target)).absoluteFilePath());
    QCOMPARE(folder.entries(), before);
    QCOMPARE(readFile(folder.filePath("file.bin")), QByteArray("a file"));
}

void TestPlanWriter::openNamesWhatCheckFinds_data()
{
    checkCreatesNothing_data();
}

// A failure names the obstacle the writer met, with the file it would have written, so that a front end
// words it without looking at the path again.
void TestPlanWriter::openNamesWhatCheckFinds()
{
    QFETCH(QString, output);
    QFETCH(int, existing);
    QFETCH(int, obstacle);
    QFETCH(QString, target);

    TestFolder folder;
    QVERIFY(makeOutputNodes(folder));
    const QStringList before = folder.entries();

    PlanWriter writer(folder.filePath(output), ExistingOutput(existing));
    QCOMPARE(writer.open(), obstacle == int(OutputObstacle::None));
    QCOMPARE(int(writer.obstacle()), obstacle);
    const Outcome failure = writer.failure(QStringLiteral("failed"));
    QCOMPARE(int(failure.output.obstacle), obstacle);
    QCOMPARE(QFileInfo(failure.output.target).absoluteFilePath(),
        QFileInfo(folder.filePath(target)).absoluteFilePath());
    writer.discard();
    QCOMPARE(folder.entries(), before);
}

// The path is looked at again right before the file takes it: a FIFO put there meanwhile is named.
void TestPlanWriter::namesANodePutThereWhileWriting()
{
    TestFolder folder;
    const QString target = folder.filePath("out.bin");
    PlanWriter writer(target);
    QVERIFY(writer.open());
    QCOMPARE(mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    QVERIFY(!writer.writeAndCommit(
        reinterpret_cast<const uchar*>(source.constData()), source.size(), OutputPlan { 0, 64, {} }));
    QCOMPARE(writer.fault(), OutputFault::NotRegularFile);
    QCOMPARE(writer.failure(QStringLiteral("failed")).output.obstacle, OutputObstacle::Fifo);
    QFileInfo node(target);
    QVERIFY2(!node.isFile() && node.exists(), "the FIFO stays as it was");
    QCOMPARE(folder.entries(), QStringList({ "out.bin" }));
}

QTEST_GUILESS_MAIN(TestPlanWriter)
#include "tst_planwriter.moc"
