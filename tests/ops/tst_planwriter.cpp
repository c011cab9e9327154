#include "opsfixture.h"

#include "ops/planwriter.h"

#include <QBuffer>
#include <QtTest>

#include <cstring>

#include <csignal>
#include <sys/resource.h>

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
    QVERIFY(writePlan(buffer, reinterpret_cast<const uchar*>(source.constData()), source.size(), plan));
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
    QVERIFY(!writePlan(buffer, reinterpret_cast<const uchar*>(source.constData()), source.size(), plan));
    QVERIFY(buffer.data().isEmpty());
}

void TestPlanWriter::reportsShortWrite()
{
    for (qint64 capacity : { 0, 1, 999, 1000, 1003 }) {
        ShortWriteDevice device(capacity);
        QVERIFY(device.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const OutputPlan plan { 0, 1004, { patch(1000, "tail") } };
        const bool whole
            = writePlan(device, reinterpret_cast<const uchar*>(source.constData()), source.size(), plan);
        QVERIFY2(!whole, qPrintable(QStringLiteral("capacity %1 reported as whole").arg(capacity)));
    }
}

void TestPlanWriter::commitsWholeFileOnly()
{
    OpsFixture fixture;
    const QString target = fixture.path("out.bin");
    {
        PlanWriter writer(target);
        QVERIFY(writer.open());
        QCOMPARE(writer.fileName(), target);
        QVERIFY2(!QFileInfo::exists(target), "opening must not create the target");
        writer.discard();
    }
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(QDir(fixture.path({})).entryList(QDir::Files | QDir::Hidden).size(), 0);

    PlanWriter writer(target);
    QVERIFY(writer.open());
    QVERIFY(writer.writeAndCommit(
        reinterpret_cast<const uchar*>(source.constData()), source.size(), OutputPlan { 10, 20, {} }));
    QCOMPARE(readAll(target), source.mid(10, 20));
}

// A file size limit makes the write come up short: the target must keep its old bytes and no
// temporary file may stay behind.
void TestPlanWriter::failedWriteLeavesExistingFile()
{
    OpsFixture fixture;
    const QByteArray earlier("earlier contents");
    const QString target = fixture.write("out.bin", earlier);
    QVERIFY(!target.isEmpty());

    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 1000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

    PlanWriter writer(target);
    const bool opened = writer.open();
    const bool committed = opened
        && writer.writeAndCommit(
            reinterpret_cast<const uchar*>(source.constData()), source.size(), OutputPlan { 0, 4096, {} });

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(opened);
    QVERIFY(!committed);
    QCOMPARE(readAll(target), earlier);
    QCOMPARE(QDir(fixture.path({})).entryList(QDir::Files | QDir::Hidden), QStringList { "out.bin" });
}

void TestPlanWriter::replacesSymlinkTarget()
{
    OpsFixture fixture;
    const QString real = fixture.write("real.bin", "old");
    const QString link = fixture.path("link.bin");
    QVERIFY(QFile::link(real, link));

    PlanWriter writer(link);
    QVERIFY(writer.open());
    QVERIFY(writer.writeAndCommit(
        reinterpret_cast<const uchar*>(source.constData()), source.size(), OutputPlan { 0, 64, {} }));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readAll(real), source.left(64));
}

QTEST_GUILESS_MAIN(TestPlanWriter)
#include "tst_planwriter.moc"
