#include "imagebuilder.h"
#include "testbytes.h"
#include "testfiles.h"
#include "testfolder.h"

#include "ops/write/filesystemcalls.h"
#include "ops/write/planwriter.h"

#include <QBuffer>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include <csignal>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64 length) override
    {
        const qint64 taken = qMin(length, room);
        room -= taken;
        return taken;
    }

private:
    qint64 room;
};

OutputPatch patch(qint64 position, const QByteArray& bytes)
{
    return { position, bytes, nullptr, nullptr };
}

OutputPatch blockPatch(qint64 position, const QByteArray& bytes)
{
    auto block = std::make_shared<ImageBuffer>();
    if (block->allocate(bytes.size()))
        std::memcpy(block->data(), bytes.constData(), size_t(bytes.size()));
    return { position, {}, block, nullptr };
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

// Each way the writer can take the bytes it shares from the image's file.
enum class SharingPath {
    // The system's own calls, whatever the file system here does with them.
    System,
    // Cloning as a file system that shares extents (XFS) does it: the kernel's rules for positions and
    // lengths held (EINVAL otherwise), the bytes then copied.
    Cloning,
    // Neither cloning nor copying: everything written from memory.
    WritesOnly,
    // No cloning, and a copy that moves the bytes through the page cache as on ext4: it is taken for the
    // patches' files only (mapped, as pack's are), while the image's bytes, a copy of the program's own, are
    // written.
    PageCacheCopies,
    // The same for an image whose memory is its file's mapping: its bytes are copied too.
    PageCacheCopiesMapped,
};

class SharingCalls : public FileSystemCalls {
public:
    explicit SharingCalls(SharingPath path)
        : path(path)
    {
    }
    qint64 cloned = 0;
    qint64 copied = 0;
    // Done to the shared file at the first clone or copy: another program writing into it.
    std::function<void()> meanwhile;

    int cloneRange(int source, off_t from, int file, off_t to, off_t length) override
    {
        interfere();
        if (path == SharingPath::System)
            return FileSystemCalls::cloneRange(source, from, file, to, length);
        struct stat status { };
        struct statvfs system { };
        if (path != SharingPath::Cloning || fstat(source, &status) != 0 || fstatvfs(file, &system) != 0) {
            errno = EOPNOTSUPP;
            return -1;
        }
        const off_t block = off_t(system.f_bsize);
        const bool toTheEnd = from + length == status.st_size;
        if (from % block != 0 || to % block != 0 || (!toTheEnd && length % block != 0)
            || from + length > status.st_size) {
            errno = EINVAL;
            return -1;
        }
        QByteArray bytes(int(length), '\0');
        if (pread(source, bytes.data(), size_t(length), from) != length
            || pwrite(file, bytes.constData(), size_t(length), to) != length)
            return -1;
        cloned += length;
        return 0;
    }
    ssize_t copyRange(int source, off_t* from, int file, size_t length) override
    {
        interfere();
        if (path == SharingPath::WritesOnly) {
            errno = EXDEV;
            return -1;
        }
        const ssize_t done = FileSystemCalls::copyRange(source, from, file, length);
        copied += qMax<ssize_t>(done, 0);
        return done;
    }
    int fileSystemOf(int file, struct statfs* result) override
    {
        const int status = FileSystemCalls::fileSystemOf(file, result);
        if (path == SharingPath::Cloning)
            result->f_type = XFS_SUPER_MAGIC;
        if (path == SharingPath::PageCacheCopies || path == SharingPath::PageCacheCopiesMapped)
            result->f_type = EXT4_SUPER_MAGIC;
        return status;
    }

private:
    void interfere()
    {
        if (meanwhile)
            std::exchange(meanwhile, nullptr)();
    }
    SharingPath path;
};

// A change made to the image in memory after it was read: `length` bytes from `start` overwritten, or moved
// (memmove) from `start` to `to`.
struct MemoryEdit {
    qint64 start = 0;
    qint64 length = 0;
    qint64 to = -1;
};

// 6 blocks of 4 KiB and 100 bytes: the last range of the file ends inside a block.
const qint64 sharedFileSize = 6 * 4096 + 100;

using FilePatches = QVector<int>;

// What says that the file at `path`, as it is now, holds the `length` bytes read from it; null when it
// cannot be looked at.
std::shared_ptr<ImageOrigin> originOf(
    const QString& path, qint64 length, ImageOrigin::Memory memory = ImageOrigin::Memory::Copy)
{
    struct stat status { };
    if (stat(QFile::encodeName(path).constData(), &status) != 0)
        return nullptr;
    return std::make_shared<ImageOrigin>(path, FileIdentity::of(status), length, memory);
}

// How many of the output's bytes the image's file still holds: neither patched nor changed in memory.
qint64 bytesOfTheImageFile(const OutputPlan& plan)
{
    qint64 count = 0;
    for (qint64 at = 0; at < plan.length; ++at) {
        const qint64 source = plan.sourceStart + at;
        const bool patched
            = std::any_of(plan.patches.cbegin(), plan.patches.cend(), [at](const OutputPatch& patch) {
                  return at >= patch.position && at < patch.position + patch.length();
              });
        const bool filesOwn = std::any_of(plan.origin->pieces().cbegin(), plan.origin->pieces().cend(),
            [source](const ImageOrigin::Piece& piece) {
                return source >= piece.imageStart && source < piece.imageStart + piece.length;
            });
        count += !patched && filesOwn;
    }
    return count;
}

// Writes the patch's bytes to a file of their own and makes the patch say that file holds them, mapped, as
// pack's block files are.
bool giveFile(TestFolder& folder, OutputPatch& patch)
{
    const QString path = folder.create(QStringLiteral("patch-%1.bin").arg(patch.position),
        QByteArray(reinterpret_cast<const char*>(patch.data()), int(patch.length())));
    patch.origin = originOf(path, patch.length(), ImageOrigin::Memory::Mapping);
    return patch.origin != nullptr;
}

} // namespace

Q_DECLARE_METATYPE(OutputPlan)
Q_DECLARE_METATYPE(QVector<MemoryEdit>)
Q_DECLARE_METATYPE(SharingPath)

class TestPlanWriter : public QObject {
    Q_OBJECT

private slots:
    void streamsRangesAndPatches_data();
    void streamsRangesAndPatches();
    void reportsShortWrite();
    void commitsWholeFileOnly();
    void commitCheckHasTheLastWord_data();
    void commitCheckHasTheLastWord();
    void failedWriteLeavesExistingFile();
    void setsPermissionBits_data();
    void setsPermissionBits();
    void refusesAnExistingName();
    void checkAndOpenFindTheSameObstacle_data();
    void checkAndOpenFindTheSameObstacle();
    void namesANodePutThereWhileWriting();
    void sharesTheImageFilesBytes_data();
    void sharesTheImageFilesBytes();
    void writesFromMemoryWhenTheFileChanged_data();
    void writesFromMemoryWhenTheFileChanged();
};

// A plan streams the image's ranges with its patches laid over them; one that reaches outside the image or
// whose patches leave the output, overlap or come out of order writes nothing.
void TestPlanWriter::streamsRangesAndPatches_data()
{
    QTest::addColumn<OutputPlan>("plan");
    // What the device holds; null for a plan refused whole.
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("image range only") << OutputPlan { 100, 900, {} } << source.mid(100, 900);
    QTest::newRow("empty output") << OutputPlan { 0, 0, {} } << QByteArray("");
    QByteArray expected = source.left(1000);
    overlay(expected, 0, "AB");
    overlay(expected, 2, "CD");
    overlay(expected, 500, QByteArray(300, 'x'));
    overlay(expected, 996, "WXYZ");
    QTest::newRow("patches at start, adjacent, middle and end") << OutputPlan { 0, 1000,
        { patch(0, "AB"), blockPatch(2, "CD"), blockPatch(500, QByteArray(300, 'x')), patch(996, "WXYZ") } }
                                                                << expected;
    QTest::newRow("range past the end") << OutputPlan { 4000, 97, {} } << QByteArray();
    QTest::newRow("negative start") << OutputPlan { -1, 10, {} } << QByteArray();
    QTest::newRow("huge length") << OutputPlan { 1, std::numeric_limits<qint64>::max(), {} } << QByteArray();
    QTest::newRow("patch past the output") << OutputPlan { 0, 10, { patch(8, "abc") } } << QByteArray();
    QTest::newRow("patches overlap") << OutputPlan { 0, 10, { patch(2, "abc"), patch(4, "x") } }
                                     << QByteArray();
    QTest::newRow("patches unsorted")
        << OutputPlan { 0, 10, { patch(6, "a"), patch(2, "b") } } << QByteArray();
}

void TestPlanWriter::streamsRangesAndPatches()
{
    QFETCH(OutputPlan, plan);
    QFETCH(QByteArray, expected);

    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QCOMPARE(plan.fitsImage(source.size()), !expected.isNull());
    QCOMPARE(writePlan(buffer, sourceBytes, source.size(), plan), !expected.isNull());
    QCOMPARE(buffer.data(), expected);
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

void TestPlanWriter::commitCheckHasTheLastWord_data()
{
    QTest::addColumn<bool>("earlier");
    QTest::addColumn<bool>("agrees");
    QTest::newRow("new name, check agrees") << false << true;
    QTest::newRow("new name, check refuses") << false << false;
    QTest::newRow("existing file, check agrees") << true << true;
    QTest::newRow("existing file, check refuses") << true << false;
}

// The check is asked once, when every byte is written and before the name is taken; a refusal leaves the
// path as it was and is the writer's failure.
void TestPlanWriter::commitCheckHasTheLastWord()
{
    QFETCH(bool, earlier);
    QFETCH(bool, agrees);
    TestFolder folder;
    const QString target = folder.filePath("out.bin");
    const QByteArray before("what was there");
    if (earlier)
        QVERIFY(folder.write("out.bin", before));

    PlanWriter writer(target);
    int asked = 0;
    bool targetAsBefore = false;
    writer.setCommitCheck([&]() -> std::optional<Outcome> {
        ++asked;
        targetAsBefore = earlier ? readFile(target) == before : !QFileInfo::exists(target);
        if (agrees)
            return std::nullopt;
        return Outcome::refused(
            QStringLiteral("Does not match."), QStringLiteral("Checked beside the write."));
    });
    QVERIFY(writer.open());
    QCOMPARE(commit(writer, OutputPlan { 10, 20, {} }), agrees);
    QCOMPARE(asked, 1);
    QVERIFY(targetAsBefore);
    QCOMPARE(readFile(target), agrees ? source.mid(10, 20) : earlier ? before : QByteArray());
    QCOMPARE(folder.entries(), agrees || earlier ? QStringList { "out.bin" } : QStringList());
    if (!agrees)
        QCOMPARE(
            writer.failure(QStringLiteral("Write failed!!!")).message, QStringLiteral("Does not match."));
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

// A replaced file keeps its permission bits (a read-only one too, which root may replace); a new file gets
// 0666 less the umask, like any file a program creates. Written through a symlink, the link stays and the
// file it names is replaced.
void TestPlanWriter::setsPermissionBits_data()
{
    QTest::addColumn<int>("existingMode");
    QTest::addColumn<int>("umaskBits");
    QTest::addColumn<int>("expectedMode");
    QTest::addColumn<bool>("throughLink");
    // The file to be replaced is removed after the writer opened and before it commits.
    QTest::addColumn<bool>("removedMeanwhile");
    // The file replaced belongs to another user (nobody), which only root may replace it for.
    QTest::addColumn<bool>("othersFile");
    const auto row = [](const char* tag, int existing, int umaskBits, int expected, bool link = false,
                         bool removed = false, bool others = false) {
        QTest::newRow(tag) << existing << umaskBits << expected << link << removed << others;
    };

    row("read-only file replaced", 0444, 022, 0444);
    row("private file replaced", 0600, 0, 0600);
    row("set-user-ID is not carried over", 04755, 022, 0755);
    row("new file, umask 022", -1, 022, 0644);
    row("new file, umask 027", -1, 027, 0640);
    row("file a symlink names replaced", 0640, 022, 0640, true);
    // The file was made private to replace the old one; without it, it is a new file.
    row("file to replace removed meanwhile, umask 022", 0444, 022, 0644, false, true);
    // Root replacing a user's image leaves it the user's, as an edit in place would.
    row("another user's file replaced by root", 0640, 022, 0640, false, false, true);
}

void TestPlanWriter::setsPermissionBits()
{
    QFETCH(int, existingMode);
    QFETCH(int, umaskBits);
    QFETCH(int, expectedMode);
    QFETCH(bool, throughLink);
    QFETCH(bool, removedMeanwhile);
    QFETCH(bool, othersFile);
    const uid_t nobody = 65534;
    if (othersFile && ::geteuid() != 0)
        QSKIP("only root may replace another user's file");

    TestFolder folder;
    const QString target = folder.filePath("out.bin");
    if (existingMode >= 0) {
        QVERIFY(folder.write("out.bin", "old"));
        QCOMPARE(chmod(QFile::encodeName(target).constData(), mode_t(existingMode)), 0);
        QVERIFY(!othersFile || ::chown(QFile::encodeName(target).constData(), nobody, nobody) == 0);
    }
    const QString output = throughLink ? folder.filePath("link.bin") : target;
    if (throughLink)
        QVERIFY(QFile::link(target, output));
    const mode_t savedUmask = umask(mode_t(umaskBits));
    PlanWriter writer(output, ExistingOutput::Replace);
    const bool opened = writer.open();
    QVERIFY(!removedMeanwhile || QFile::remove(target));
    const bool committed = opened && commit(writer);
    umask(savedUmask);
    QVERIFY(committed);
    QCOMPARE(QFileInfo(output).isSymLink(), throughLink);
    QCOMPARE(readFile(target), source.left(64));
    struct stat status { };
    QCOMPARE(stat(QFile::encodeName(target).constData(), &status), 0);
    QCOMPARE(int(status.st_mode & 07777), expectedMode);
    QCOMPARE(status.st_uid, othersFile ? nobody : ::geteuid());
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

void TestPlanWriter::checkAndOpenFindTheSameObstacle_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("existing");
    QTest::addColumn<int>("obstacle");
    // The file the output names: the link's target, or the output itself.
    QTest::addColumn<QString>("target");

    const auto row = [](const char* name, const QString& output, ExistingOutput existing,
                         OutputObstacle obstacle, const QString& target = {}) {
        QTest::newRow(name) << output << int(existing) << int(obstacle)
                            << (target.isNull() ? output : target);
    };
    const ExistingOutput replace = ExistingOutput::Replace;
    const ExistingOutput refuse = ExistingOutput::Refuse;
    row("new file", "new.bin", refuse, OutputObstacle::None);
    row("file, replaced", "file.bin", replace, OutputObstacle::None);
    row("file, not replaced", "file.bin", refuse, OutputObstacle::Exists);
    row("missing folder", "nosuchdir/out.bin", replace, OutputObstacle::MissingFolder);
    row("folder that is a file", "file.bin/out.bin", replace, OutputObstacle::MissingFolder);
    row("folder", "dir", replace, OutputObstacle::Folder);
    row("folder with a slash", "dir/", refuse, OutputObstacle::Folder);
    row("symlink to a file", "link.bin", refuse, OutputObstacle::Exists, "file.bin");
    row("dangling symlink", "dangling.bin", refuse, OutputObstacle::None, "none.bin");
    row("symlink loop", "loop.bin", replace, OutputObstacle::Unreachable);
}

// Looking at the path creates nothing. Opening meets the obstacle the look found and names it, with the
// file it would have written, so that a front end words a failure without looking at the path again.
void TestPlanWriter::checkAndOpenFindTheSameObstacle()
{
    QFETCH(QString, output);
    QFETCH(int, existing);
    QFETCH(int, obstacle);
    QFETCH(QString, target);

    TestFolder folder;
    QVERIFY(makeOutputNodes(folder));
    const QStringList before = folder.entries();
    const QString targetPath = QFileInfo(folder.filePath(target)).absoluteFilePath();

    const OutputCheck check = PlanWriter::check(folder.filePath(output), ExistingOutput(existing));
    QCOMPARE(int(check.obstacle), obstacle);
    QCOMPARE(check.committable(), obstacle == int(OutputObstacle::None));
    QCOMPARE(QFileInfo(check.target).absoluteFilePath(), targetPath);
    QCOMPARE(folder.entries(), before);
    QCOMPARE(readFile(folder.filePath("file.bin")), QByteArray("a file"));

    PlanWriter writer(folder.filePath(output), ExistingOutput(existing));
    QCOMPARE(writer.open(), obstacle == int(OutputObstacle::None));
    QCOMPARE(int(writer.obstacle()), obstacle);
    const Outcome failure = writer.failure(QStringLiteral("failed"));
    QCOMPARE(int(failure.output.obstacle), obstacle);
    QCOMPARE(QFileInfo(failure.output.target).absoluteFilePath(), targetPath);
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
    QVERIFY(!commit(writer));
    QCOMPARE(writer.fault(), OutputFault::NotRegularFile);
    QCOMPARE(writer.failure(QStringLiteral("failed")).output.obstacle, OutputObstacle::Fifo);
    QFileInfo node(target);
    QVERIFY2(!node.isFile() && node.exists(), "the FIFO stays as it was");
    QCOMPARE(folder.entries(), QStringList({ "out.bin" }));
}

// Whatever path the bytes take (cloned, copied by the system, written), the output is the plan over the
// image in memory, byte for byte, after any change made to that memory since the file was read.
void TestPlanWriter::sharesTheImageFilesBytes_data()
{
    QTest::addColumn<SharingPath>("path");
    QTest::addColumn<OutputPlan>("plan");
    // Bytes cloned where a file system shares extents in 4 KiB blocks: whole blocks at positions alike in
    // the file and the output, and a last piece that ends where the file ends.
    QTest::addColumn<qint64>("cloned");
    QTest::addColumn<QVector<MemoryEdit>>("edits");
    // The patches, by their place in the plan, whose bytes a file of their own holds too.
    QTest::addColumn<FilePatches>("filePatches");

    const auto row = [](const char* name, const OutputPlan& plan, qint64 cloned,
                         const QVector<MemoryEdit>& edits = {}, const FilePatches& filePatches = {}) {
        QTest::addRow("%s, system calls", name)
            << SharingPath::System << plan << cloned << edits << filePatches;
        QTest::addRow("%s, cloning", name) << SharingPath::Cloning << plan << cloned << edits << filePatches;
        QTest::addRow("%s, writes only", name)
            << SharingPath::WritesOnly << plan << cloned << edits << filePatches;
        QTest::addRow("%s, copies through the page cache", name)
            << SharingPath::PageCacheCopies << plan << cloned << edits << filePatches;
        QTest::addRow("%s, copies through the page cache, image mapped", name)
            << SharingPath::PageCacheCopiesMapped << plan << cloned << edits << filePatches;
    };
    const qint64 size = sharedFileSize;
    row("whole file, to its unaligned end", { 0, size }, size);
    row("patches off block boundaries",
        { 0, size, { patch(100, "fifty"), blockPatch(9000, QByteArray(5000, 'p')) } }, 4096 + size - 16384);
    row("output ends inside a block, before the file's end", { 0, 5 * 4096 + 77 }, 5 * 4096);
    row("image range from a position off the block boundaries", { 1000, 10000 }, 0);
    row("memory changed in place", { 0, size }, 4096 + size - 8192, { { 5000, 3000 } });
    row("tail moved by whole blocks, as a growth moves it", { 0, size }, 8192 + 8192 + 100,
        { { 8192, 8192, 16384 }, { 8192, 8192 } });
    row("tail moved by 100 bytes", { 0, size }, 8192 + size - 20480, { { 8192, 8192, 8292 }, { 8192, 100 } });
    // A patch whose bytes a file holds too is shared from that file, by the same rules.
    const QByteArray fileBytes = ImageBuilder::randomBytes(8192 + 100, 13);
    row("a file's patch on a block boundary, to the file's unaligned end",
        { 0, size, { blockPatch(8192, fileBytes) } }, 8192 + fileBytes.size() + size - 20480, {}, { 0 });
    row("a file's patch off the block boundaries, beside a plain one",
        { 0, size, { patch(50, "plain"), blockPatch(100, fileBytes.left(5000)) } }, size - 8192, {}, { 1 });
}

void TestPlanWriter::sharesTheImageFilesBytes()
{
    QFETCH(SharingPath, path);
    QFETCH(OutputPlan, plan);
    QFETCH(qint64, cloned);
    QFETCH(QVector<MemoryEdit>, edits);
    QFETCH(FilePatches, filePatches);

    TestFolder folder;
    QByteArray memory = ImageBuilder::randomBytes(int(sharedFileSize), 11);
    const auto origin = originOf(folder.create("image.bin", memory), sharedFileSize,
        path == SharingPath::PageCacheCopiesMapped ? ImageOrigin::Memory::Mapping
                                                   : ImageOrigin::Memory::Copy);
    QVERIFY(origin);
    for (const MemoryEdit& edit : edits) {
        if (edit.to < 0) {
            overlay(memory, int(edit.start), QByteArray(int(edit.length), 'e'));
            origin->changed(edit.start, edit.length);
        } else {
            std::memmove(memory.data() + edit.to, memory.constData() + edit.start, size_t(edit.length));
            origin->moved(edit.start, edit.to, edit.length);
        }
    }
    const uchar* bytes = reinterpret_cast<const uchar*>(memory.constData());
    QBuffer plain;
    QVERIFY(plain.open(QIODevice::WriteOnly) && writePlan(plain, bytes, memory.size(), plan));
    plan.origin = origin;
    for (const int index : filePatches)
        QVERIFY(giveFile(folder, plan.patches[index]));

    SharingCalls calls(path);
    const FileSystemCalls::Override seam(calls);
    PlanWriter writer(folder.filePath("out.bin"));
    QVERIFY(writer.open() && writer.writeAndCommit(bytes, memory.size(), plan));
    QVERIFY2(folder.read("out.bin") == plain.data(), "the output differs from the plan over memory");
    if (path == SharingPath::Cloning)
        QCOMPARE(calls.cloned, cloned);
    if (path == SharingPath::WritesOnly)
        QCOMPARE(calls.cloned + calls.copied, 0);
    if (path == SharingPath::PageCacheCopies || path == SharingPath::PageCacheCopiesMapped) {
        qint64 inPatchFiles = 0;
        for (const int index : filePatches)
            inPatchFiles += plan.patches[index].length();
        const bool imageCopied = path == SharingPath::PageCacheCopiesMapped;
        QCOMPARE(calls.copied, inPatchFiles + (imageCopied ? bytesOfTheImageFile(plan) : 0));
    }
}

// A file that is not, unchanged, the one the image (or a patch) was read from shares nothing: the output
// is the plan as memory holds it.
void TestPlanWriter::writesFromMemoryWhenTheFileChanged_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("whileShared");
    QTest::addColumn<bool>("patchFile");

    for (const bool patchFile : { false, true }) {
        for (const bool whileShared : { false, true }) {
            const char* file = patchFile ? "patch's file" : "image's file";
            const char* when = whileShared ? "while it is shared" : "before the write";
            QTest::addRow("%s overwritten, %s", file, when) << "overwritten" << whileShared << patchFile;
            QTest::addRow("another file put in the %s place, %s", file, when)
                << "replaced" << whileShared << patchFile;
            QTest::addRow("%s permissions changed, %s", file, when) << "chmod" << whileShared << patchFile;
        }
    }
}

void TestPlanWriter::writesFromMemoryWhenTheFileChanged()
{
    QFETCH(QString, change);
    QFETCH(bool, whileShared);
    QFETCH(bool, patchFile);

    TestFolder folder;
    const QByteArray memory = ImageBuilder::randomBytes(int(sharedFileSize), 12);
    const QString image = folder.create("image.bin", memory);
    const QByteArray patchBytes = ImageBuilder::randomBytes(8192, 14);
    OutputPlan plan { 0, sharedFileSize, { patch(5000, "new"), blockPatch(8192, patchBytes) } };
    // Only the file that changes is shared from, so that whatever was shared came from it.
    if (patchFile)
        QVERIFY(giveFile(folder, plan.patches[1]));
    else
        plan.origin = originOf(image, sharedFileSize);
    QVERIFY(patchFile || plan.origin);
    const QString changing = patchFile ? plan.patches[1].origin->path() : image;
    const QString name = QFileInfo(changing).fileName();
    const auto changeFile = [&] {
        if (change == "overwritten")
            QVERIFY(folder.write(name, QByteArray(int(QFileInfo(changing).size()), 'o')));
        else if (change == "replaced")
            QVERIFY(QFile::remove(changing) && folder.write(name, QByteArray(int(sharedFileSize), 'r')));
        else
            QCOMPARE(chmod(QFile::encodeName(changing).constData(), 0600), 0);
    };
    QByteArray expected = memory;
    overlay(expected, 5000, "new");
    overlay(expected, 8192, patchBytes);

    SharingCalls calls(SharingPath::Cloning);
    if (whileShared)
        calls.meanwhile = changeFile;
    else
        changeFile();
    const FileSystemCalls::Override seam(calls);
    PlanWriter writer(folder.filePath("out.bin"));
    QVERIFY(writer.open()
        && writer.writeAndCommit(reinterpret_cast<const uchar*>(memory.constData()), memory.size(), plan));
    QCOMPARE(folder.read("out.bin"), expected);
    if (!whileShared)
        QCOMPARE(calls.cloned + calls.copied, 0);
}

QTEST_GUILESS_MAIN(TestPlanWriter)
#include "tst_planwriter.moc"
