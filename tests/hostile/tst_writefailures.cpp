#include "outputnodes.h"
#include "testbytes.h"
#include "testfiles.h"
#include "writeractions.h"

#include <QFileInfo>
#include <QTemporaryFile>
#include <QtTest>

#include <csignal>
#include <functional>
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

// How the writer runs: as it is, as nobody (whose permission bits count), under a file-size limit, or
// onto a small file system.
enum class Limit { None, Nobody, FileSize, FullFileSystem };
// What the user must see: the text for an output that cannot be opened, for a failed write, or success.
enum class Text { OpenFailed, WriteFailed, Success };

const QString newFile = QStringLiteral("out/new.bin");

// One way a write can fail (or must not): how the writer runs, what the user sees, which name the writer
// is given, and what stands at out/new.bin: an earlier output, unless a node or a folder takes its place.
struct FailureCase {
    const char* name;
    Limit limit;
    Text text;
    QString output = newFile;
    std::optional<OutputNode> node = {};
    bool folder = false;
    // Permission bits given to out/new.bin and to the folder out afterwards (0: left as they are).
    mode_t fileMode = 0;
    mode_t folderMode = 0;
};

const FailureCase failureCases[] = {
    { "full file system", Limit::FullFileSystem, Text::WriteFailed },
    { "file-size limit", Limit::FileSize, Text::WriteFailed },
    { "read-only folder", Limit::Nobody, Text::OpenFailed, newFile, {}, false, 0666, 0555 },
    { "read-only file", Limit::Nobody, Text::OpenFailed, newFile, {}, false, 0444, 0777 },
    { "path is a folder", Limit::None, Text::OpenFailed, newFile, {}, true },
    // The link stays a link; its target, the earlier output, receives the new bytes.
    { "symlink", Limit::None, Text::Success, "out/link.bin" },
    { "the loaded image", Limit::None, Text::Success, "image.bin" },
    // Only a regular file is replaced: the node stays exactly as it was, whatever it is.
    { "character device", Limit::None, Text::OpenFailed, newFile, OutputNode::CharacterDevice },
    { "FIFO", Limit::None, Text::OpenFailed, newFile, OutputNode::Fifo },
    { "socket", Limit::None, Text::OpenFailed, newFile, OutputNode::Socket },
    { "symlink to a FIFO", Limit::None, Text::OpenFailed, newFile, OutputNode::SymlinkToFifo },
};

// Smaller than every output, larger than the file that was there before.
constexpr qint64 roomForOutput = 16 << 10;
const QByteArray previousOutput("bytes of an earlier output");

// Runs the writer in a child once `setUp` succeeded there, so that what it changes (the user, a limit)
// ends with the child; the child reports its outcome through a file of the test's own.
Outcome runInChild(
    ImageFixture& fixture, Writer writer, const QString& output, const std::function<bool()>& setUp)
{
    QTemporaryFile report;
    if (!report.open())
        return Outcome::refused(QStringLiteral("no file for the child's report"));
    const pid_t child = fork();
    if (child == 0) {
        if (!setUp())
            _exit(1);
        const Outcome outcome = runWriter(fixture, writer, output);
        const QByteArray text = (outcome.success ? "+" : "-") + outcome.message.toUtf8();
        _exit(write(report.handle(), text.constData(), size_t(text.size())) == text.size() ? 0 : 1);
    }
    int status = 0;
    const QByteArray text
        = waitpid(child, &status, 0) == child && status == 0 && report.seek(0) ? report.readAll() : "";
    if (text.isEmpty())
        return Outcome::refused(QStringLiteral("the child could not be set up or ended early"));
    const QString message = QString::fromUtf8(text.mid(1));
    return text.startsWith('+') ? Outcome::succeeded(message) : Outcome::refused(message);
}

// Drops root for nobody, whose permission bits would stop a write; the user is looked up before the fork.
std::function<bool()> becomingNobody()
{
    const passwd* nobody = getpwnam("nobody");
    if (!nobody)
        return [] { return false; };
    return [uid = nobody->pw_uid, gid = nobody->pw_gid] {
        return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
    };
}

// A file-size limit whose signal is ignored, so that a write past it fails instead.
bool limitFileSize()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return false;
    limit.rlim_cur = rlim_t(roomForOutput);
    return setrlimit(RLIMIT_FSIZE, &limit) == 0 && std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
}

} // namespace

Q_DECLARE_METATYPE(const FailureCase*)

void TestWriteFailures::matrix_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<const FailureCase*>("failure");

    for (const Writer writer : { Writer::Export, Writer::Padded, Writer::WithInfo, Writer::Grow }) {
        for (const FailureCase& failure : failureCases)
            QTest::addRow("%s, %s", writerName(writer), failure.name) << writer << &failure;
    }
}

void TestWriteFailures::matrix()
{
    QFETCH(Writer, writer);
    QFETCH(const FailureCase*, failure);

    ImageFixture fixture;
    QVERIFY(prepareWriter(fixture, writer));
    // What a write to an ordinary new file gives: every success below must be byte for byte the same.
    const QString baselinePath = fixture.path("baseline.out");
    const Outcome baseline = runWriter(fixture, writer, "baseline.out");
    QCOMPARE(baseline.message, successText(writer, baselinePath));
    const QByteArray expected = fixture.read("baseline.out");
    QCOMPARE(expected.size(), actionOf(writer).outputLength);
    QVERIFY(!QFile::remove(baselinePath) || !QFileInfo::exists(baselinePath));

    // The child that drops root must reach the image, the replacement and the destination folders.
    QVERIFY(chmod(QFile::encodeName(fixture.path(".")), 0755) == 0);
    QDir(fixture.path(".")).mkdir("out");
    const QString folder = fixture.path("out");
    const QString destination = fixture.path(newFile);
    // A full disk: a tmpfs mounted over the folder until the checks below are done, where one may be.
    const QByteArray mountPoint = QFile::encodeName(folder);
    const bool mounted = failure->limit == Limit::FullFileSystem
        && mount("tmpfs", mountPoint, "tmpfs", 0, "size=" + QByteArray::number(roomForOutput)) == 0;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            umount(mountPoint);
    });
    if (failure->limit == Limit::FullFileSystem && !mounted)
        qInfo("tmpfs cannot be mounted here; a file-size limit stands in for the full disk");
    QVERIFY(fixture.write(newFile, previousOutput));
    if (failure->folder || failure->node)
        QVERIFY(QFile::remove(destination));
    if (failure->folder)
        QVERIFY(QDir(folder).mkdir("new.bin"));
    if (failure->node && !makeNode(*failure->node, destination))
        QSKIP(qPrintable(
            QStringLiteral("cannot make a %1 here (mknod needs root)").arg(nodeName(*failure->node))));
    if (failure->output == "out/link.bin")
        QVERIFY(QFile::link(destination, fixture.path(failure->output)));
    if (failure->fileMode)
        QVERIFY(chmod(QFile::encodeName(destination), failure->fileMode) == 0);
    if (failure->folderMode)
        QVERIFY(chmod(QFile::encodeName(folder), failure->folderMode) == 0);
    const QByteArray identity = nodeIdentity(destination);
    const QByteArray fifoIdentity = nodeIdentity(destination + ".fifo");

    // Root's permission bits stop no write: it runs as nobody.
    const bool inChild = (failure->limit == Limit::Nobody && getuid() == 0)
        || failure->limit == Limit::FileSize || (failure->limit == Limit::FullFileSystem && !mounted);
    const Outcome outcome = !inChild      ? runWriter(fixture, writer, failure->output)
        : failure->limit == Limit::Nobody ? runInChild(fixture, writer, failure->output, becomingNobody())
                                          : runInChild(fixture, writer, failure->output, limitFileSize);
    // A failure leaves the image in memory as it was loaded: a later action would otherwise carry it.
    if (!inChild && !outcome.success) {
        QVERIFY2(
            imageBytes(*fixture.image) == StandardImages::recordAndTwoPlain(), "the image in memory changed");
        QCOMPARE(fixture.catalogue.at(0).entries, fixture.image->dmhRecords().at(0).entries);
    }

    const QString output = fixture.path(failure->output);
    const QString texts[]
        = { openFailureText(writer, output), writeFailureText(writer, output), successText(writer, output) };
    QCOMPARE(outcome.message, texts[int(failure->text)]);
    QCOMPARE(outcome.success, failure->text == Text::Success);
    // (A FIFO is never read: that would wait for a writer.)
    if (outcome.success)
        QVERIFY2(fixture.read(failure->output) == expected,
            "the written file differs from the same write to a new file");
    else if (!failure->folder && !failure->node)
        QCOMPARE(fixture.read(failure->output), previousOutput);
    QCOMPARE(nodeIdentity(destination + ".fifo"), fifoIdentity);
    if (failure->node)
        QCOMPARE(nodeIdentity(destination), identity);
    if (failure->folder)
        QVERIFY(QFileInfo(destination).isDir() && folderEntries(destination).isEmpty());
    if (failure->output == "out/link.bin")
        QCOMPARE(QFileInfo(fixture.path(failure->output)).symLinkTarget(), destination);
    // No temporary file is left beside the destination or the image.
    QStringList leftOver = folderEntries(folder) + folderEntries(fixture.path("."));
    for (const char* name : { "out", "new.bin", "link.bin", "new.bin.fifo", "image.bin", "replacement.img" })
        leftOver.removeAll(name);
    QVERIFY2(leftOver.isEmpty(), qPrintable(leftOver.join(", ")));
}

QTEST_GUILESS_MAIN(TestWriteFailures)
#include "tst_writefailures.moc"
