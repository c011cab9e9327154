#include "outputnodes.h"
#include "testfiles.h"
#include "writeractions.h"

#include "ops/blockinfo.h"

#include <QFileInfo>
#include <QtTest>

#include <csignal>
#include <memory>
#include <optional>

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

enum class Failure {
    FullFileSystem,
    FileSizeLimit,
    ReadOnlyFolder,
    ReadOnlyFile,
    PathIsFolder,
    Symlink,
    LoadedImage,
    CharacterDevice,
    Fifo,
    Socket,
    SymlinkToFifo
};

// Smaller than every output, larger than the file that was there before.
constexpr qint64 roomForOutput = 16 << 10;
const QByteArray previousOutput("bytes of an earlier output");

std::optional<OutputNode> nodeOf(Failure failure)
{
    switch (failure) {
    case Failure::CharacterDevice:
        return OutputNode::CharacterDevice;
    case Failure::Fifo:
        return OutputNode::Fifo;
    case Failure::Socket:
        return OutputNode::Socket;
    case Failure::SymlinkToFifo:
        return OutputNode::SymlinkToFifo;
    default:
        return std::nullopt;
    }
}

// Runs the writer in a child that has dropped root, whose permission bits would not stop a write.
Outcome runAsNobody(ImageFixture& fixture, Writer writer, const QString& output)
{
    if (getuid() != 0)
        return runWriter(fixture, writer, output);
    const passwd* nobody = getpwnam("nobody");
    if (!nobody)
        return Outcome::refused(QStringLiteral("no user nobody"));
    int channel[2];
    if (pipe(channel) != 0)
        return Outcome::refused(QStringLiteral("no pipe"));
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        QByteArray report = "!";
        if (setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0) {
            const Outcome outcome = runWriter(fixture, writer, output);
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
        return Outcome::refused(QStringLiteral("the child could not become nobody"));
    const QString message = QString::fromUtf8(report.mid(1));
    return report.startsWith('+') ? Outcome::succeeded(message) : Outcome::refused(message);
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
        { Failure::Symlink, "symlink" }, { Failure::LoadedImage, "the loaded image" },
        { Failure::CharacterDevice, "character device" }, { Failure::Fifo, "FIFO" },
        { Failure::Socket, "socket" }, { Failure::SymlinkToFifo, "symlink to a FIFO" } };
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
    const WriterAction action = actionOf(which);

    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::recordAndTwoPlain()));
    QVERIFY(fixture.writeReplacement("replacement.img", action.replacementLength));
    // What a write to an ordinary new file gives: every success below must be byte for byte the same.
    const QString baselinePath = fixture.path("baseline.out");
    const Outcome baseline = runWriter(fixture, which, "baseline.out");
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
            outcome = runWriter(fixture, which, destinationName);
        } else {
            FileSizeLimit limit(roomForOutput);
            QVERIFY(limit.active);
            outcome = runWriter(fixture, which, destinationName);
        }
        expectedText = writeFailureText(which, destination);
        break;
    }
    case Failure::FileSizeLimit: {
        FileSizeLimit limit(roomForOutput);
        QVERIFY(limit.active);
        outcome = runWriter(fixture, which, "out/new.bin");
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
        outcome = runWriter(fixture, which, "out/new.bin");
        expectedText = openFailureText(which, destination);
        QVERIFY(QFileInfo(destination).isDir());
        QVERIFY(folderEntries(destination).isEmpty());
        break;
    case Failure::Symlink:
        QVERIFY(QFile::link(destination, fixture.path("out/link.bin")));
        outcome = runWriter(fixture, which, "out/link.bin");
        expectedText = successText(which, fixture.path("out/link.bin"));
        succeeds = true;
        // The link stays a link; its target receives the new bytes.
        QCOMPARE(QFileInfo(fixture.path("out/link.bin")).symLinkTarget(), destination);
        break;
    case Failure::LoadedImage:
        destinationName = "image.bin";
        destination = fixture.path(destinationName);
        outcome = runWriter(fixture, which, "image.bin");
        expectedText = successText(which, destination);
        succeeds = true;
        break;
    case Failure::CharacterDevice:
    case Failure::Fifo:
    case Failure::Socket:
    case Failure::SymlinkToFifo: {
        // Only a regular file is replaced: the node stays exactly as it was, whatever it is.
        QVERIFY(QFile::remove(destination));
        const OutputNode node = *nodeOf(Failure(failure));
        if (!makeNode(node, destination))
            QSKIP(qPrintable(QStringLiteral("cannot make a %1 here (mknod needs root)").arg(nodeName(node))));
        const QByteArray identity = nodeIdentity(destination);
        const QByteArray fifoIdentity = nodeIdentity(destination + ".fifo");
        outcome = runWriter(fixture, which, "out/new.bin");
        expectedText = openFailureText(which, destination);
        QCOMPARE(nodeIdentity(destination), identity);
        QCOMPARE(nodeIdentity(destination + ".fifo"), fifoIdentity);
        break;
    }
    }

    QCOMPARE(outcome.message, expectedText);
    QCOMPARE(outcome.success, succeeds);
    // (A FIFO is never read: that would wait for a writer.)
    if (succeeds)
        QVERIFY2(fixture.read(destinationName) == expected,
            "the written file differs from the same write to a new file");
    else if (Failure(failure) != Failure::PathIsFolder && !nodeOf(Failure(failure)))
        QCOMPARE(fixture.read(destinationName), previousOutput);
    // No temporary file is left beside the destination or the image.
    QStringList leftOver = folderEntries(folder) + folderEntries(fixture.path("."));
    leftOver.removeAll("out");
    leftOver.removeAll("new.bin");
    leftOver.removeAll("link.bin");
    leftOver.removeAll("new.bin.fifo");
    leftOver.removeAll("image.bin");
    leftOver.removeAll("replacement.img");
    QVERIFY2(leftOver.isEmpty(), qPrintable(leftOver.join(", ")));
}

QTEST_GUILESS_MAIN(TestWriteFailures)
#include "tst_writefailures.moc"
