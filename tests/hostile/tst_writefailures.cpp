#include "hostilefixture.h"

#include "ops/blockinfo.h"

#include <QFileInfo>
#include <QtTest>

#include <csignal>
#include <memory>

#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Every writer against every way a write can fail: the user sees a red status, the destination is as it
// was (or absent), no temporary file is left, and every write that succeeds has exactly the right bytes.
class TestWriteFailures : public QObject {
    Q_OBJECT

private slots:
    void matrix_data();
    void matrix();
};

namespace {

enum class Writer { Export, Padded, WithInfo, Grow };
enum class Failure {
    FullFileSystem,
    FileSizeLimit,
    ReadOnlyFolder,
    ReadOnlyFile,
    PathIsFolder,
    Symlink,
    LoadedImage
};

// Smaller than every output, larger than the file that was there before.
constexpr qint64 roomForOutput = 16 << 10;
const QByteArray previousOutput("bytes of an earlier output");

// 256 KiB: a 64 KiB block with a record, and two plain 32 KiB blocks back to back with room behind them.
QByteArray baseImage()
{
    const TestEntry record = testEntry(1, 0x10000, 0x10000, "app", 0);
    const TestEntry plain = testEntry(2, 0x20000, 0x8000, "data");
    const TestEntry tail = testEntry(3, 0x28000, 0x8000, "tail");
    TestDmh dmh;
    dmh.flashSize = 0x40000;
    dmh.dataCapacity = 0x100000;
    dmh.entries = { record, plain, tail };
    return ImageBuilder(0x40000)
        .dmh(0, dmh)
        .block(0, record, ImageBuilder::randomBytes(1000, 1), true)
        .block(0, plain, ImageBuilder::randomBytes(0x8000, 2), false)
        .block(0, tail, ImageBuilder::randomBytes(0x8000, 3), false)
        .image();
}

struct Action {
    QString id;
    qint64 replacementLength = 0;
    qint64 outputLength = 0;
};

Action actionOf(Writer writer)
{
    switch (writer) {
    case Writer::Export:
        return { "2", 0, 0x8000 };
    case Writer::Padded:
        return { "2", 0x1000, 0x40000 };
    case Writer::WithInfo:
        return { "1", 0x800, 0x40000 };
    case Writer::Grow:
        return { "2", 0x9000, 0x40000 };
    }
    return {};
}

QString successText(Writer writer, const QString& output)
{
    switch (writer) {
    case Writer::Export:
        return QStringLiteral("Save block %1 successfully!!!").arg(output);
    case Writer::Grow:
        return QStringLiteral("Replace Block successfully!!!");
    default:
        return QStringLiteral("Replace block successfully!!!");
    }
}

QString openFailureText(Writer writer, const QString& output)
{
    return writer == Writer::Export ? QStringLiteral("Can not open %1").arg(output)
                                    : QStringLiteral("Can not open %1!!!").arg(output);
}

QString writeFailureText(Writer writer, const QString& output)
{
    switch (writer) {
    case Writer::Export:
        return QStringLiteral("Save block %1 failed!!!").arg(output);
    case Writer::Grow:
        return QStringLiteral("Replace Block failed!!!");
    default:
        return QStringLiteral("Replace block failed!!!");
    }
}

// Loads the image afresh (a growth changes the one in memory) and runs one writer.
Outcome run(HostileFixture& fixture, Writer writer, const QString& output)
{
    if (!fixture.reload())
        return Outcome::failed(QStringLiteral("the base image did not load"));
    const Action action = actionOf(writer);
    if (writer == Writer::Export)
        return fixture.exportBlock(action.id, output);
    return fixture.replaceBlock(action.id, QStringLiteral("replacement.img"), output);
}

// Runs the writer in a child that has dropped root, whose permission bits would not stop a write.
Outcome runAsNobody(HostileFixture& fixture, Writer writer, const QString& output)
{
    if (getuid() != 0)
        return run(fixture, writer, output);
    const passwd* nobody = getpwnam("nobody");
    if (!nobody)
        return Outcome::failed(QStringLiteral("no user nobody"));
    int channel[2];
    if (pipe(channel) != 0)
        return Outcome::failed(QStringLiteral("no pipe"));
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        QByteArray report = "!";
        if (setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0) {
            const Outcome outcome = run(fixture, writer, output);
            report = (outcome.success ? "+" : "-") + outcome.message.toUtf8();
        }
        const bool sent = write(channel[1], report.constData(), size_t(report.size())) == report.size();
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    QByteArray report;
    char buffer[512];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, int(got));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (report.isEmpty() || report.startsWith('!'))
        return Outcome::failed(QStringLiteral("the child could not become nobody"));
    return { report.startsWith('+'), QString::fromUtf8(report.mid(1)) };
}

// A file-size limit for the life of the object; the signal it raises is ignored, so a write fails instead.
class FileSizeLimit {
public:
    explicit FileSizeLimit(qint64 bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(bytes);
        active = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    bool active = false;

private:
    rlimit saved {};
    void (*previousHandler)(int) = nullptr;
};

// A tmpfs with room for `bytes`, mounted for the life of the object where the test may mount one.
class SmallFileSystem {
public:
    SmallFileSystem(const QString& folder, qint64 bytes)
        : path(folder)
    {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        mounted = mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            umount(QFile::encodeName(path).constData());
    }
    QString path;
    bool mounted = false;
};

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

void TestWriteFailures::matrix_data()
{
    QTest::addColumn<int>("writer");
    QTest::addColumn<int>("failure");

    const QVector<QPair<Writer, const char*>> writers = { { Writer::Export, "export" },
        { Writer::Padded, "padded" }, { Writer::WithInfo, "record" }, { Writer::Grow, "grow" } };
    const QVector<QPair<Failure, const char*>> failures = { { Failure::FullFileSystem, "full file system" },
        { Failure::FileSizeLimit, "file-size limit" }, { Failure::ReadOnlyFolder, "read-only folder" },
        { Failure::ReadOnlyFile, "read-only file" }, { Failure::PathIsFolder, "path is a folder" },
        { Failure::Symlink, "symlink" }, { Failure::LoadedImage, "the loaded image" } };
    for (const auto& writer : writers) {
        for (const auto& failure : failures)
            QTest::addRow("%s, %s", writer.second, failure.second) << int(writer.first) << int(failure.first);
    }
}

void TestWriteFailures::matrix()
{
    QFETCH(int, writer);
    QFETCH(int, failure);
    const Writer which = Writer(writer);
    const Action action = actionOf(which);

    HostileFixture fixture;
    QVERIFY(fixture.load(baseImage()));
    QVERIFY(fixture.writeReplacement("replacement.img", action.replacementLength));
    // What a write to an ordinary new file gives: every success below must be byte for byte the same.
    const QString baselinePath = fixture.path("baseline.out");
    const Outcome baseline = run(fixture, which, "baseline.out");
    QCOMPARE(baseline.message, successText(which, baselinePath));
    const QByteArray expected = fixture.read("baseline.out");
    QCOMPARE(expected.size(), action.outputLength);
    QVERIFY(!QFile::remove(baselinePath) || !QFileInfo::exists(baselinePath));

    // The child that drops root must reach the image, the replacement and the destination folders.
    QVERIFY(QFile::setPermissions(fixture.path("."),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::ExeOther));
    QDir(fixture.path(".")).mkdir("out");
    const QString folder = fixture.path("out");
    QString destinationName = "out/new.bin";
    QString destination = fixture.path(destinationName);
    QVERIFY(fixture.write("out/new.bin", previousOutput));

    std::unique_ptr<SmallFileSystem> small;
    Outcome outcome;
    QString expectedText;
    bool succeeds = false;
    switch (Failure(failure)) {
    case Failure::FullFileSystem: {
        // Mounted over the folder until the checks below are done; the earlier output goes in first.
        small = std::make_unique<SmallFileSystem>(folder, roomForOutput);
        if (!small->mounted)
            qInfo("tmpfs cannot be mounted here; a file-size limit stands in for the full disk");
        QVERIFY(fixture.write(destinationName, previousOutput));
        if (small->mounted) {
            outcome = run(fixture, which, destinationName);
        } else {
            FileSizeLimit limit(roomForOutput);
            QVERIFY(limit.active);
            outcome = run(fixture, which, destinationName);
        }
        expectedText = writeFailureText(which, destination);
        break;
    }
    case Failure::FileSizeLimit: {
        FileSizeLimit limit(roomForOutput);
        QVERIFY(limit.active);
        outcome = run(fixture, which, "out/new.bin");
        expectedText = writeFailureText(which, destination);
        break;
    }
    case Failure::ReadOnlyFolder:
        QVERIFY(QFile::setPermissions(destination,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther
                | QFile::WriteOther));
        QVERIFY(QFile::setPermissions(folder,
            QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                | QFile::ExeOther));
        outcome = runAsNobody(fixture, which, "out/new.bin");
        expectedText = openFailureText(which, destination);
        break;
    case Failure::ReadOnlyFile:
        QVERIFY(QFile::setPermissions(destination, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(folder,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::WriteGroup
                | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
        outcome = runAsNobody(fixture, which, "out/new.bin");
        expectedText = openFailureText(which, destination);
        break;
    case Failure::PathIsFolder:
        QVERIFY(QFile::remove(destination));
        QVERIFY(QDir(folder).mkdir("new.bin"));
        outcome = run(fixture, which, "out/new.bin");
        expectedText = openFailureText(which, destination);
        QVERIFY(QFileInfo(destination).isDir());
        QVERIFY(entriesOf(destination).isEmpty());
        break;
    case Failure::Symlink:
        QVERIFY(QFile::link(destination, fixture.path("out/link.bin")));
        outcome = run(fixture, which, "out/link.bin");
        expectedText = successText(which, fixture.path("out/link.bin"));
        succeeds = true;
        // The link stays a link; its target receives the new bytes.
        QCOMPARE(QFileInfo(fixture.path("out/link.bin")).symLinkTarget(), destination);
        break;
    case Failure::LoadedImage:
        destinationName = "image.bin";
        destination = fixture.path(destinationName);
        outcome = run(fixture, which, "image.bin");
        expectedText = successText(which, destination);
        succeeds = true;
        break;
    }

    QCOMPARE(outcome.message, expectedText);
    QCOMPARE(outcome.success, succeeds);
    const QByteArray after = fixture.read(destinationName);
    if (succeeds)
        QVERIFY2(after == expected, "the written file differs from the same write to a new file");
    else if (Failure(failure) != Failure::PathIsFolder)
        QCOMPARE(after, previousOutput);
    // No temporary file is left beside the destination or the image.
    QStringList leftOver = entriesOf(folder) + entriesOf(fixture.path("."));
    leftOver.removeAll("out");
    leftOver.removeAll("new.bin");
    leftOver.removeAll("link.bin");
    leftOver.removeAll("image.bin");
    leftOver.removeAll("replacement.img");
    QVERIFY2(leftOver.isEmpty(), qPrintable(leftOver.join(", ")));
}

QTEST_GUILESS_MAIN(TestWriteFailures)
#include "tst_writefailures.moc"
