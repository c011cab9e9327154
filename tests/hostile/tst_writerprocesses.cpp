#include "imagebuilder.h"
#include "inprocesscli.h"
#include "outputnodes.h"
#include "testfiles.h"

#include "model/flashimage.h"
#include "ops/replace/replaceaction.h"
#include "ops/write/filesystemcalls.h"
#include "ops/write/signalcleanup.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define TESSEL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSEL_ADDRESS_SANITIZER 1
#endif
#endif

// tessel-cli as other programs meet it: killed while it writes, stopped by a signal while it writes,
// racing other writers of one output, under an address space smaller than the image, pointed at nodes
// that are not files, dry runs that must foresee a write that would fail, and inputs that another
// process changes while it reads them.
class TestWriterProcesses : public QObject {
    Q_OBJECT

private slots:
    void killedReplacementLeavesOldOrNew();
    void endingSignalsLeaveNoHiddenOutput_data();
    void endingSignalsLeaveNoHiddenOutput();
    void concurrentWriters_data();
    void concurrentWriters();
    void resourceLimits_data();
    void resourceLimits();
    void nodeOutputs_data();
    void nodeOutputs();
    void dryRunAsNobody_data();
    void dryRunAsNobody();
    void inputChangedDuringRun_data();
    void inputChangedDuringRun();
};

namespace {

constexpr qint64 mebibyte = qint64(1) << 20;
const QByteArray oldTarget("the output of an earlier run");

// An image sparse behind its first MiB, its DMH at 0, as long as the DMH's flash size.
bool writeSparseImage(const QString& path, const TestDmh& dmh)
{
    QFile file(path);
    const QByteArray head = ImageBuilder(mebibyte, '\0').dmh(0, dmh).image();
    return file.open(QIODevice::WriteOnly) && file.write(head) == head.size() && file.resize(dmh.flashSize);
}

// An image of `size` bytes whose block "2" (1 MiB at 1 MiB, no record) takes a padded replacement, with the
// blocks `more` listed after it.
bool writeImage(const QString& path, qint64 size, const QVector<TestEntry>& more = {})
{
    return writeSparseImage(path,
        testDmh(QVector<TestEntry> { testEntry(1, 0x10000, 0x10000, "first"),
                    testEntry(2, quint32(mebibyte), quint32(mebibyte), "data") }
                + more,
            quint32(size)));
}

QByteArray hashOf(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result().toHex() : QByteArray();
}

// Byte for byte, through mappings: quicker than hashing 256 MiB, and exact.
bool sameBytes(const QString& path, const QString& otherPath)
{
    QFile file(path);
    QFile other(otherPath);
    if (!file.open(QIODevice::ReadOnly) || !other.open(QIODevice::ReadOnly) || file.size() != other.size())
        return false;
    if (file.size() == 0)
        return true;
    const uchar* bytes = file.map(0, file.size());
    const uchar* otherBytes = other.map(0, other.size());
    return bytes && otherBytes && std::memcmp(bytes, otherBytes, size_t(file.size())) == 0;
}

// The real calls, except that nothing is cloned or copied by the system: every byte is written from memory.
class WritesOnly : public FileSystemCalls {
public:
    int cloneRange(int, off_t, int, off_t, off_t) override
    {
        errno = EOPNOTSUPP;
        return -1;
    }
    ssize_t copyRange(int, off_t*, int, size_t) override
    {
        errno = EOPNOTSUPP;
        return -1;
    }
};

// Writes what the operation itself writes for a replacement of block 2, every byte from memory: the output
// every run must match, whichever way tessel-cli takes the bytes it shares with the image.
bool writeExpected(const QString& imagePath, const QString& replacementPath, const QString& outputPath)
{
    FlashImage image;
    if (!image.load(imagePath.toStdWString()))
        return false;
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplaceRequest request;
    request.idText = QStringLiteral("2");
    request.replacementPath = replacementPath;
    request.outputPath = outputPath;
    request.loadedImagePath = imagePath;
    WritesOnly calls;
    const FileSystemCalls::Override seam(calls);
    return replaceBlockAt(image, catalogue, findBlock(catalogue, request.idText), request).success;
}

// Runs `body` in a child and returns its process ID. There SIGINT, SIGTERM and SIGHUP are as a terminal's
// shell leaves them, whatever the test inherited (a background job may start with SIGINT ignored),
// SIGXFSZ is at its default, and stdout and stderr go to `output` (-1: nowhere).
pid_t startChild(const std::function<int()>& body, int output = -1)
{
    const pid_t child = fork();
    if (child != 0)
        return child;
    for (const int signalNumber : { SIGINT, SIGTERM, SIGHUP, SIGXFSZ })
        signal(signalNumber, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int target = output >= 0 ? output : open("/dev/null", O_WRONLY);
    dup2(target, STDOUT_FILENO);
    dup2(target, STDERR_FILENO);
    _exit(body());
}

// tessel-cli started in a child as above, once `setUp` succeeded there (otherwise the child ends with
// status 121); its process ID.
pid_t startCli(const QStringList& arguments, int output = -1, const std::function<bool()>& setUp = {})
{
    std::vector<QByteArray> storage { QByteArray(TESSEL_CLI_PATH) };
    for (const QString& argument : arguments)
        storage.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return startChild(
        [&] {
            if (setUp && !setUp())
                return 121;
            execv(argv[0], argv.data());
            return 122;
        },
        output);
}

struct ChildRun {
    int exitCode = -1;
    QByteArray output;
};

// tessel-cli run to its end as startCli starts it, or killed after two minutes (exit code -1: one that
// waits for a FIFO's reader fails instead of hanging); stdout and stderr together. SIGXFSZ takes its
// default action unless tessel-cli itself ignores it.
ChildRun runCliChild(const QStringList& arguments, const std::function<bool()>& setUp = {})
{
    QTemporaryFile capture;
    if (!capture.open())
        return {};
    const pid_t child = startCli(arguments, capture.handle(), setUp);
    int status = 0;
    QElapsedTimer clock;
    clock.start();
    pid_t ended = 0;
    while (child > 0 && (ended = waitpid(child, &status, WNOHANG)) == 0 && clock.elapsed() < 120000)
        usleep(1000);
    if (ended != child) {
        if (child > 0 && kill(child, SIGKILL) == 0)
            waitpid(child, nullptr, 0);
        return {};
    }
    capture.seek(0);
    return { WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), capture.readAll() };
}

// The real calls, except that the file system has no unnamed files and the first write of the output
// tells the test through `ready`, then waits for a signal: the single-file writer is caught with its
// named temporary file in place, as on a file system without O_TMPFILE.
class NamedAndWaiting : public FileSystemCalls {
public:
    explicit NamedAndWaiting(int ready)
        : ready(ready)
    {
    }
    int createUnnamed(int, mode_t) override
    {
        errno = EOPNOTSUPP;
        return -1;
    }
    ssize_t write(int file, const void* data, size_t length) override
    {
        if (!announced) {
            announced = true;
            const char byte = 'w';
            if (::write(ready, &byte, 1) == 1)
                pause();
        }
        return FileSystemCalls::write(file, data, length);
    }

private:
    int ready;
    bool announced = false;
};

// tessel-cli's commands run in a forked child with the handlers main() installs and the seam above;
// its process ID, once it is writing.
pid_t startWaitingExport(const QStringList& arguments)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t child = startChild([&] {
        close(ready[0]);
        NamedAndWaiting calls(ready[1]);
        const FileSystemCalls::Override seam(calls);
        SignalCleanup::installHandlers();
        CapturingConsole console;
        return runCli(QStringList { QStringLiteral("tessel-cli") } + arguments, console);
    });
    close(ready[1]);
    pollfd waiting { ready[0], POLLIN, 0 };
    char byte = 0;
    const bool writing = child > 0 && poll(&waiting, 1, 60000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (writing || child <= 0)
        return child;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

// The first name in `folder` that starts with `prefix`, hidden ones included; empty when there is none.
QString entryStartingWith(const QString& folder, const QString& prefix)
{
    for (const QString& name : folderEntries(folder)) {
        if (name.startsWith(prefix))
            return name;
    }
    return {};
}

// A folder for large files: /var/tmp is on disk where /tmp may be a small tmpfs.
QString largeFileFolder()
{
    return QDir(QStringLiteral("/var/tmp")).exists()
        ? QStringLiteral("/var/tmp/tessel-writer-XXXXXX")
        : QDir::tempPath() + QStringLiteral("/tessel-writer-XXXXXX");
}

// A command line written as one text; IMAGE, REPL, OTHER and OUT stand for image.bin, replacement.bin,
// other.bin and out.bin in `folder`, FOLDER for its path.
QStringList commandLine(const QString& line, const QTemporaryDir& folder)
{
    QStringList words = line.split(' ');
    const QStringList names { "IMAGE", "image.bin", "REPL", "replacement.bin", "OTHER", "other.bin", "OUT",
        "out.bin" };
    for (QString& word : words)
        word = names.contains(word) ? folder.filePath(names[names.indexOf(word) + 1])
                                    : word.replace("FOLDER", folder.path());
    return words;
}

// The folder with image.bin, `size` bytes as writeImage makes it, and replacement.bin, 4 KiB for its block 2.
bool fillFolder(const QTemporaryDir& folder, qint64 size)
{
    return folder.isValid() && writeImage(folder.filePath("image.bin"), size)
        && writeFile(folder.filePath("replacement.bin"), QByteArray(0x1000, 'r'));
}

} // namespace

Q_DECLARE_METATYPE(OutputNode)

// SIGKILL at 30 moments spread from the start of the process to a quarter more than the time an uninterrupted
// run takes, and later where runs were slower, until one kill comes after the end. The unnamed file of a
// killed writer vanishes with it, so only the old or the whole new file can be left; the hidden name a
// replacement takes between its link and its rename (a few microseconds) would stay behind if a kill fell
// exactly there, and the listing below would report it. tessel-cli shares the image's unchanged bytes with
// the output (cloned, or copied by the system where the file system shares no extents), while the expected
// file has every byte written from memory.
void TestWriterProcesses::killedReplacementLeavesOldOrNew()
{
    QTemporaryDir scratch(largeFileFolder());
    QVERIFY(scratch.isValid());
    // The runs write in a folder of their own, so that its listing shows anything they leave behind.
    QVERIFY(QDir(scratch.path()).mkdir("runs"));
    const QDir folder(scratch.filePath("runs"));
    const QString image = folder.filePath("image.bin");
    const QString replacement = folder.filePath("replacement.bin");
    const QString target = folder.filePath("target.bin");
    const QString expected = scratch.filePath("expected.bin");
    QVERIFY(writeImage(image, 256 * mebibyte));
    QVERIFY(writeFile(replacement, ImageBuilder::randomBytes(0x10000, 7)));
    QVERIFY(writeExpected(image, replacement, expected));
    const QStringList arguments { "replace", image, "2", replacement, "-o", target, "--force" };

    // Runs once, killed after `delay` ms unless it ended; true when the run ended by itself.
    const auto runOnce = [&](qint64 delay) {
        QFile::remove(target);
        writeFile(target, oldTarget);
        QProcess process;
        process.start(QStringLiteral(TESSEL_CLI_PATH), arguments);
        process.waitForStarted();
        const bool ended = process.waitForFinished(int(delay));
        if (!ended)
            process.kill();
        if (process.state() != QProcess::NotRunning)
            process.waitForFinished(120000);
        return ended && process.exitCode() == 0;
    };
    QVector<qint64> wholeRuns;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(runOnce(120000));
        wholeRuns << clock.elapsed();
        QVERIFY(sameBytes(target, expected));
    }
    std::sort(wholeRuns.begin(), wholeRuns.end());
    const qint64 wholeRun = wholeRuns[1];
    const QStringList expectedEntries = folderEntries(folder.path());

    constexpr int trials = 30;
    int keptOld = 0;
    int madeNew = 0;
    for (int trial = 0; trial < trials || (madeNew == 0 && trial < 2 * trials); ++trial) {
        const qint64 delay = trial < trials ? wholeRun * 5 / 4 * trial / (trials - 1)
                                            : wholeRun << qMin(trial - trials + 1, 4);
        runOnce(delay);
        const QString context = QStringLiteral("killed after %1 ms of %2").arg(delay).arg(wholeRun);
        if (QFileInfo(target).size() == oldTarget.size()) {
            QVERIFY2(readFile(target) == oldTarget, qPrintable(context));
            ++keptOld;
        } else {
            QVERIFY2(
                sameBytes(target, expected), qPrintable(context + ": the target is neither old nor new"));
            ++madeNew;
        }
        QVERIFY2(folderEntries(folder.path()) == expectedEntries,
            qPrintable(context + ": " + folderEntries(folder.path()).join(", ")));
    }
    qInfo("%d kills left the old file, %d the new one (an uninterrupted run took %lld ms)", keptOld, madeNew,
        wholeRun);
    QVERIFY(keptOld > 0 && madeNew > 0);
}

void TestWriterProcesses::endingSignalsLeaveNoHiddenOutput_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("folder");
    const QVector<QPair<int, const char*>> signalNames { { SIGINT, "SIGINT" }, { SIGTERM, "SIGTERM" },
        { SIGHUP, "SIGHUP" } };
    for (const auto& ending : signalNames) {
        QTest::addRow("%s, export --all of 513 MiB", ending.second) << ending.first << true;
        QTest::addRow("%s, export through a named temporary file", ending.second) << ending.first << false;
    }
}

// SIGINT, SIGTERM or SIGHUP while the output is written: the process ends by that signal (as its exit
// status shows) and leaves neither the output nor its hidden folder or file. export --all is the real
// tessel-cli, signalled once its hidden folder holds a file; the single export runs tessel-cli's
// commands in a child where unnamed files fail and the first write waits for the signal.
void TestWriterProcesses::endingSignalsLeaveNoHiddenOutput()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, folder);

    QTemporaryDir scratch(largeFileFolder());
    QVERIFY(scratch.isValid());
    QVERIFY(QDir(scratch.path()).mkdir("runs"));
    const QString runs = scratch.filePath("runs");
    const QString image = runs + QStringLiteral("/image.bin");
    const QString output = runs + (folder ? QStringLiteral("/blocks") : QStringLiteral("/out.bin"));
    const QString hiddenPrefix
        = folder ? QStringLiteral(".blocks.tessel-") : QStringLiteral(".out.bin.tessel-");
    if (folder) {
        // Eight blocks of 64 MiB behind the first MiB, sparse: the export takes seconds, the image no disk.
        TestDmh dmh = testDmh({}, quint32(mebibyte + 8 * 64 * mebibyte));
        for (int block = 0; block < 8; ++block)
            dmh.entries << testEntry(
                quint8(block + 1), quint32(mebibyte + block * 64 * mebibyte), quint32(64 * mebibyte), "part");
        QVERIFY(writeSparseImage(image, dmh));
    } else {
        QVERIFY(writeImage(image, 2 * mebibyte));
    }
    const QStringList before = folderEntries(runs);

    pid_t child = -1;
    if (folder) {
        child = startCli({ "export", image, "--all", "-o", output });
        QVERIFY(child > 0);
        // Signalled once the hidden folder holds a file, with most of the 512 MiB still to write.
        QElapsedTimer waited;
        waited.start();
        QString hidden;
        while (waited.elapsed() < 60000 && waitpid(child, nullptr, WNOHANG) == 0) {
            hidden = entryStartingWith(runs, hiddenPrefix);
            if (!hidden.isEmpty() && !folderEntries(runs + '/' + hidden).isEmpty())
                break;
            hidden.clear();
            usleep(200);
        }
        if (hidden.isEmpty())
            kill(child, SIGKILL);
        QVERIFY2(!hidden.isEmpty(), "export --all was not seen writing into its hidden folder");
    } else {
        child = startWaitingExport({ "export", image, "2", "-o", output });
        QVERIFY2(child > 0, "the export did not start writing");
        QVERIFY2(
            !entryStartingWith(runs, hiddenPrefix).isEmpty(), "the export writes no named temporary file");
    }
    QCOMPARE(kill(child, signalNumber), 0);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber,
        qPrintable(WIFSIGNALED(status) ? QStringLiteral("ended by signal %1").arg(WTERMSIG(status))
                                       : QStringLiteral("exited with %1").arg(WEXITSTATUS(status))));
    QCOMPARE(folderEntries(runs), before);
}

void TestWriterProcesses::concurrentWriters_data()
{
    QTest::addColumn<bool>("force");
    QTest::newRow("new output") << false;
    QTest::newRow("--force") << true;
}

// Six writers of one output with different replacements, started together, ten times: the output is
// always exactly one writer's whole image. Without --force exactly one wins and the others are refused.
void TestWriterProcesses::concurrentWriters()
{
    QFETCH(bool, force);
    constexpr int writers = 6;
    constexpr int rounds = 10;

    QTemporaryDir folder(largeFileFolder());
    QVERIFY(folder.isValid());
    const QString image = folder.filePath("image.bin");
    const QString output = folder.filePath("out.bin");
    QVERIFY(writeImage(image, 16 * mebibyte));
    QVector<QByteArray> hashes;
    for (int writer = 0; writer < writers; ++writer) {
        const QString replacement = folder.filePath(QStringLiteral("replacement%1.bin").arg(writer));
        QVERIFY(writeFile(replacement, ImageBuilder::randomBytes(0x10000, quint32(100 + writer))));
        QVERIFY(writeExpected(image, replacement, folder.filePath("expected.bin")));
        hashes << hashOf(folder.filePath("expected.bin"));
        QVERIFY(QFile::remove(folder.filePath("expected.bin")));
    }
    QStringList expectedEntries = folderEntries(folder.path()) << "out.bin";
    expectedEntries.sort();

    for (int round = 0; round < rounds; ++round) {
        QFile::remove(output);
        if (force)
            QVERIFY(writeFile(output, oldTarget));
        QProcess processes[writers];
        for (int writer = 0; writer < writers; ++writer) {
            QStringList arguments { "replace", image, "2",
                folder.filePath(QStringLiteral("replacement%1.bin").arg(writer)), "-o", output };
            if (force)
                arguments << "--force";
            processes[writer].start(QStringLiteral(TESSEL_CLI_PATH), arguments);
        }
        int winners = 0;
        for (int writer = 0; writer < writers; ++writer) {
            QProcess& process = processes[writer];
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            const QString error = QString::fromUtf8(process.readAllStandardError()).trimmed();
            const QString context
                = QString::asprintf("round %d, writer %d: exit %d, ", round, writer, process.exitCode())
                + error;
            if (process.exitCode() == 0) {
                ++winners;
                if (!force)
                    QVERIFY2(
                        hashOf(output) == hashes[writer], qPrintable(context + ": not the winner's output"));
            } else if (force) {
                QVERIFY2(process.exitCode() == 1 && error == "Replace block failed!!!", qPrintable(context));
            } else {
                QVERIFY2(process.exitCode() == 1
                        && error == output + " already exists; use --force to replace it.",
                    qPrintable(context));
            }
        }
        QVERIFY2(force ? winners >= 1 : winners == 1, qPrintable(QStringLiteral("%1 winners").arg(winners)));
        QVERIFY2(hashes.contains(hashOf(output)), "the output is not one writer's whole image");
        QCOMPARE(folderEntries(folder.path()), expectedEntries);
    }
}

void TestWriterProcesses::resourceLimits_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("resource");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    // clang-format off
    // An image larger than the address space cannot be loaded: the load's own text and exit status 2.
    QTest::newRow("info, address space") << "info IMAGE" << int(RLIMIT_AS) << 2 << "Alloc memory failed!";
    QTest::newRow("replace, address space") << "replace IMAGE 2 REPL -o OUT" << int(RLIMIT_AS) << 2 << "Alloc memory failed!";
    // A file-size limit below the output: the failed text and exit status 1, not a death by SIGXFSZ.
    QTest::newRow("export, file size") << "export IMAGE 2 -o OUT" << int(RLIMIT_FSIZE) << 1 << "Save block OUT failed!!!";
    QTest::newRow("replace, file size") << "replace IMAGE 2 REPL -o OUT" << int(RLIMIT_FSIZE) << 1 << "Replace block failed!!!";
    // clang-format on
}

// No crash and nothing written when a resource runs out.
void TestWriterProcesses::resourceLimits()
{
    QFETCH(QString, arguments);
    QFETCH(int, resource);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
#ifdef TESSEL_ADDRESS_SANITIZER
    if (resource == RLIMIT_AS)
        QSKIP("AddressSanitizer reserves terabytes of shadow memory and cannot start under RLIMIT_AS");
#endif
    const bool addressSpace = resource == RLIMIT_AS;
    QTemporaryDir folder(largeFileFolder());
    QVERIFY(fillFolder(folder, (addressSpace ? 512 : 2) * mebibyte));
    const QStringList before = folderEntries(folder.path());

    const rlim_t limit = addressSpace ? rlim_t(256 * mebibyte) : rlim_t(64 << 10);
    const ChildRun run = runCliChild(commandLine(arguments, folder), [&] {
        const rlimit limits { limit, limit };
        return setrlimit(resource, &limits) == 0;
    });
    QVERIFY2(run.exitCode == exitCode,
        qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(QString::fromUtf8(run.output))));
    // The status text, then the explanation (the system's reason) on a line of its own.
    const QStringList lines = QString::fromUtf8(run.output).trimmed().split('\n');
    QCOMPARE(lines.first(), QString(message).replace("OUT", folder.filePath("out.bin")));
    QVERIFY2(lines.size() <= 2, run.output.constData());
    QCOMPARE(folderEntries(folder.path()), before);
}

void TestWriterProcesses::nodeOutputs_data()
{
    QTest::addColumn<OutputNode>("node");
    QTest::addColumn<bool>("exportBlock");
    QTest::addColumn<bool>("force");

    for (const OutputNode node :
        { OutputNode::CharacterDevice, OutputNode::Fifo, OutputNode::Socket, OutputNode::SymlinkToFifo }) {
        for (const bool exportBlock : { true, false }) {
            for (const bool force : { false, true })
                QTest::addRow(
                    "%s, %s%s", nodeName(node), exportBlock ? "export" : "replace", force ? ", --force" : "")
                    << node << exportBlock << force;
        }
    }
}

// Only a regular file is replaced: a device, FIFO or socket at OUT (a symlink followed) is named and left
// exactly as it was, --force or not.
void TestWriterProcesses::nodeOutputs()
{
    QFETCH(OutputNode, node);
    QFETCH(bool, exportBlock);
    QFETCH(bool, force);

    QTemporaryDir folder;
    QVERIFY(fillFolder(folder, 2 * mebibyte));
    const QString output = folder.filePath("out.bin");
    if (!makeNode(node, output))
        QSKIP(qPrintable(QStringLiteral("cannot make a %1 here (mknod needs root)").arg(nodeName(node))));
    const QStringList before = folderEntries(folder.path());
    const QByteArray identity = nodeIdentity(output);
    const QByteArray fifoIdentity = nodeIdentity(output + ".fifo");

    const ChildRun run
        = runCliChild(commandLine(QString(exportBlock ? "export IMAGE 2" : "replace IMAGE 2 REPL")
                + (force ? " --force" : "") + " -o OUT",
            folder));
    const QString kindName = node == OutputNode::SymlinkToFifo ? QStringLiteral("FIFO") : nodeName(node);
    QCOMPARE(run.exitCode, 1);
    // Nothing on stdout either: the whole output is the one line.
    QCOMPARE(QString::fromUtf8(run.output).trimmed(),
        QStringLiteral("%1 is a %2; tessel-cli replaces only regular files, so nothing was written.")
            .arg(output, kindName));
    QCOMPARE(nodeIdentity(output), identity);
    QCOMPARE(nodeIdentity(output + ".fifo"), fifoIdentity);
    QCOMPARE(folderEntries(folder.path()), before);
}

void TestWriterProcesses::dryRunAsNobody_data()
{
    // The output in the test's folder FOLDER, and the options after it.
    QTest::addColumn<QString>("output");
    // A line printed; only "Dry run: ..." ends with exit status 0.
    QTest::addColumn<QString>("message");

    // "ro" in FOLDER is read-only, and so is "ro.bin".
    QTest::newRow("read-only folder")
        << "ro/out.bin --dry-run"
        << "FOLDER/ro/out.bin cannot be created: the folder FOLDER/ro is not writable.";
    QTest::newRow("read-only folder, the run itself") << "ro/out.bin"
                                                      << "Can not open FOLDER/ro/out.bin!!!";
    QTest::newRow("read-only file, --force") << "ro.bin --dry-run --force"
                                             << "FOLDER/ro.bin cannot be replaced: it is not writable.";
    QTest::newRow("writable folder") << "out.bin --dry-run"
                                     << "Dry run: nothing was written.";
}

// A dry run foresees what permissions would refuse; nobody is subject to them where root is not.
void TestWriterProcesses::dryRunAsNobody()
{
    QFETCH(QString, output);
    QFETCH(QString, message);
    if (getuid() != 0)
        QSKIP("needs root to run tessel-cli as nobody");

    QTemporaryDir folder;
    QVERIFY(fillFolder(folder, 2 * mebibyte));
    // Nobody may write into the test's folder, but not into ro nor ro.bin.
    QVERIFY(QDir(folder.path()).mkdir("ro") && writeFile(folder.filePath("ro.bin"), oldTarget));
    QVERIFY(chmod(QFile::encodeName(folder.path()), 0757) == 0);
    QVERIFY(chmod(QFile::encodeName(folder.filePath("ro")), 0555) == 0);
    QVERIFY(chmod(QFile::encodeName(folder.filePath("ro.bin")), 0444) == 0);
    const QStringList before = folderEntries(folder.path());
    const passwd* nobody = getpwnam("nobody");
    QVERIFY(nobody);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;

    const QStringList arguments = commandLine("replace IMAGE 2 REPL -o FOLDER/" + output, folder);
    const ChildRun run = runCliChild(
        arguments, [&] { return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0; });
    const bool succeeds = message.startsWith("Dry run");
    QVERIFY2(run.exitCode == (succeeds ? 0 : 1), run.output.constData());
    QVERIFY2(
        QString::fromUtf8(run.output).split('\n').contains(QString(message).replace("FOLDER", folder.path())),
        run.output.constData());
    QCOMPARE(folderEntries(folder.path()), before);
    QVERIFY(folderEntries(folder.filePath("ro")).isEmpty());
}

namespace {

// A process that writes 16 bytes into `path` every millisecond, behind its first 2 MiB (its DMH and listed
// blocks stay as they were), until it is killed.
pid_t startScribbler(const QString& path)
{
    const pid_t child = fork();
    if (child != 0)
        return child;
    const int descriptor = open(QFile::encodeName(path).constData(), O_WRONLY);
    for (qint64 round = 0;
         pwrite(descriptor, "written meanwhile", 16, 2 * mebibyte + round * 4099 % mebibyte) == 16; ++round)
        usleep(1000);
    _exit(1);
}

// Whether the process maps the file `needle` names or (`mapped` false) has a file open whose path starts
// with it.
bool holds(qint64 process, const QByteArray& needle, bool mapped)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(process);
    if (mapped)
        return readFile(proc + QStringLiteral("maps")).contains(needle);
    for (const QString& entry :
        QDir(proc + QStringLiteral("fd")).entryList(QDir::AllEntries | QDir::System)) {
        char target[4096];
        const ssize_t length
            = readlink(QFile::encodeName(proc + "fd/" + entry).constData(), target, sizeof target);
        if (length > 0 && QByteArray(target, int(length)).startsWith(needle))
            return true;
    }
    return false;
}

} // namespace

void TestWriterProcesses::inputChangedDuringRun_data()
{
    // The command; its arguments follow from it.
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("changing");
    // 0: written into every millisecond; 1 MiB: cut to it as soon as it is mapped, while it loads; 4 MiB:
    // cut to it once the output is open, so that only the write reads a lost page.
    QTest::addColumn<qint64>("cutTo");
    // The start of what is printed on stderr, NAME standing for the input's path.
    QTest::addColumn<QString>("expected");

    const QString changed = QStringLiteral("NAME changed while it was read.\n");
    for (const char* command : { "replace", "export", "diff", "verify", "list", "info" }) {
        const QString changing = qstrcmp(command, "diff") == 0 ? "other.bin" : "image.bin";
        QTest::addRow("%s, written into", command) << command << changing << qint64(0) << changed;
        QTest::addRow("%s, cut short while loaded", command)
            << command << changing << mebibyte
            << "tessel-cli: NAME: an input file was cut short while it was being read; stopped.\n";
    }
    for (const char* command : { "replace", "export" })
        QTest::addRow("%s, cut short while written", command)
            << command << "image.bin" << 4 * mebibyte
            << "NAME: an input file was cut short while it was being read.\nIt had 536870912 bytes when it "
               "was opened and has 4194304 now. Nothing was written.\n";
}

// An input of 512 MiB that another process changes during the run: no output holds bytes written after
// the run began and no answer rests on them. The run ends with exit status 2 naming the input, and
// nothing is written.
void TestWriterProcesses::inputChangedDuringRun()
{
    QFETCH(QString, command);
    QFETCH(QString, changing);
    QFETCH(qint64, cutTo);
    QFETCH(QString, expected);

    QTemporaryDir folder(largeFileFolder());
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(changing);
    // Block 3 lies past the 4 MiB cut and is large: its export reads lost pages, and takes long enough
    // to write and sync that the cut lands before the commit even on a busy machine.
    const TestEntry large = testEntry(3, quint32(8 * mebibyte), quint32(64 * mebibyte), "large");
    QVERIFY(writeImage(folder.filePath("image.bin"), 512 * mebibyte, { large }));
    QVERIFY(writeImage(folder.filePath("other.bin"), 512 * mebibyte, { large }));
    QVERIFY(writeFile(folder.filePath("replacement.bin"), ImageBuilder::randomBytes(0x10000, 9)));
    const QStringList before = folderEntries(folder.path());
    const QMap<QString, QString> lines { { "diff", "diff IMAGE OTHER" },
        { "replace", "replace IMAGE 2 REPL -o OUT" }, { "export", "export IMAGE 3 -o OUT" } };
    const QStringList arguments = commandLine(lines.value(command, command + " IMAGE"), folder);

    const pid_t scribbler = cutTo == 0 ? startScribbler(path) : -1;
    QProcess process;
    process.start(QStringLiteral(TESSEL_CLI_PATH), arguments);
    QVERIFY(process.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    // An unnamed output file shows as "FOLDER/#INODE (deleted)".
    const QByteArray sign = QFile::encodeName(cutTo == mebibyte ? path : folder.filePath("#"));
    while (cutTo > 0 && !process.waitForFinished(0) && !holds(process.processId(), sign, cutTo == mebibyte)
        && clock.elapsed() < 60000)
        usleep(100);
    QVERIFY(cutTo == 0 || truncate(QFile::encodeName(path).constData(), cutTo) == 0);
    QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(120000));
    if (scribbler > 0 && kill(scribbler, SIGKILL) == 0)
        waitpid(scribbler, nullptr, 0);

    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 2, qPrintable(error));
    QVERIFY2(error.startsWith(QString(expected).replace("NAME", path)), qPrintable(error));
    QVERIFY2(process.readAllStandardOutput().isEmpty(), "no answer");
    QCOMPARE(folderEntries(folder.path()), before);
}

QTEST_GUILESS_MAIN(TestWriterProcesses)
#include "tst_writerprocesses.moc"
