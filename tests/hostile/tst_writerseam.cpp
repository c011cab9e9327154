#include "writeractions.h"

#include "inprocesscli.h"
#include "testfiles.h"
#include "ops/write/filesystemcalls.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>
#include <tuple>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <unistd.h>

// Every system call of a commit made to fail in turn through the file-system seam: the action ends in
// its red text (the window's actions) or exit status 1 (tessel-cli), the target keeps its bytes (or stays
// absent) and no new file is left, except that a failed folder sync leaves the complete new file with a
// failure report. And in every successful commit the folder is synced after the name is in place.
class TestWriterSeam : public QObject {
    Q_OBJECT

private slots:
    void failsAtEveryCall_data();
    void failsAtEveryCall();
    void nameTakenAtTheLastMoment_data();
    void nameTakenAtTheLastMoment();
    void cliUnpackFailsAtEveryCall_data();
    void cliUnpackFailsAtEveryCall();
    void cliUnpackFolderTakenAtTheLastMoment_data();
    void cliUnpackFolderTakenAtTheLastMoment();
    void cliStopsWhenAnInputChanges_data();
    void cliStopsWhenAnInputChanges();
    void sharingFallsBackOrFails_data();
    void sharingFallsBackOrFails();
};

namespace {

using Real = FileSystemCalls;

// The real calls, recorded by name and announced to `beforeCall`; the one numbered `failAt` (from 0)
// fails with EIO instead.
class ScriptedCalls : public FileSystemCalls {
public:
    int failAt = -1;
    // Every call of this name fails with `failure` instead.
    QString failing;
    int failure = 0;
    // Unnamed files fail as on a file system without them, so the writer takes its named fallback.
    bool withoutUnnamedFiles = false;
    // What another program does just before a call, given the call's name.
    std::function<void(const QString&)> beforeCall;
    // Another writer takes this name just before this one links or renames a file to it: after every look
    // the writer takes, so only a step that refuses an existing name keeps the other file.
    QByteArray takenName;
    static constexpr char otherBytes[] = "the other writer's output";
    QStringList made;

#define SCRIPTED(Result, call, parameters, arguments)                                                        \
    Result call parameters override                                                                          \
    {                                                                                                        \
        return pass(#call) ? Real::call arguments : -1;                                                      \
    }
    SCRIPTED(int, openFolder, (const char* path), (path))
    SCRIPTED(int, status, (int folder, const char* name, struct stat* result), (folder, name, result))
    SCRIPTED(int, access, (int folder, const char* name, int mode), (folder, name, mode))
    SCRIPTED(int, createNamed, (int folder, const char* name, mode_t mode), (folder, name, mode))
    SCRIPTED(ssize_t, write, (int file, const void* data, size_t length), (file, data, length))
    SCRIPTED(int, cloneRange, (int source, off_t from, int file, off_t to, off_t length),
        (source, from, file, to, length))
    SCRIPTED(
        ssize_t, copyRange, (int source, off_t* from, int file, size_t length), (source, from, file, length))
    SCRIPTED(int, setMode, (int file, mode_t mode), (file, mode))
    SCRIPTED(int, syncFile, (int file), (file))
    SCRIPTED(int, remove, (int folder, const char* name), (folder, name))
    SCRIPTED(int, syncFolder, (int folder), (folder))
    SCRIPTED(int, makeFolder, (int folder, const char* name, mode_t mode), (folder, name, mode))
    SCRIPTED(int, openFolderAt, (int folder, const char* name), (folder, name))
    SCRIPTED(int, exchange, (int folder, const char* first, const char* second), (folder, first, second))
    SCRIPTED(int, removeFolder, (int folder, const char* name), (folder, name))
#undef SCRIPTED
    int createUnnamed(int folder, mode_t mode) override
    {
        if (!pass("createUnnamed"))
            return -1;
        if (!withoutUnnamedFiles)
            return Real::createUnnamed(folder, mode);
        errno = EOPNOTSUPP;
        return -1;
    }

    int linkUnnamed(int file, int folder, const char* name) override
    {
        takeName(folder, name);
        return pass("linkUnnamed") ? Real::linkUnnamed(file, folder, name) : -1;
    }
    int rename(int folder, const char* from, const char* to, bool replace) override
    {
        takeName(folder, to);
        return pass("rename") ? Real::rename(folder, from, to, replace) : -1;
    }
    // As on NFS, where the kernel's copy is tried before writes even for bytes memory holds: every way
    // of sharing is taken in turn, whatever file system the test runs on.
    int fileSystemOf(int file, struct statfs* result) override
    {
        const int status = Real::fileSystemOf(file, result);
        result->f_type = NFS_SUPER_MAGIC;
        return status;
    }

private:
    void takeName(int folder, const char* name)
    {
        if (takenName != name)
            return;
        const int other = openat(folder, name, O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (other >= 0 && ::write(other, otherBytes, sizeof otherBytes - 1) >= 0)
            ::close(other);
    }
    bool pass(const char* call)
    {
        if (beforeCall)
            beforeCall(QLatin1String(call));
        made << QLatin1String(call);
        if (failing == QLatin1String(call)) {
            errno = failure;
            return false;
        }
        if (made.size() - 1 != failAt)
            return true;
        errno = EIO;
        return false;
    }
};

// What another process does to a file that a run reads.
enum class InputEdit { Appended, Overwritten, CutShort, PermissionsChanged, ReplacedByCopy, Removed };

// Makes `edit` to the file at `path`; whether it was made, and made whole.
bool editInput(InputEdit edit, const QByteArray& path)
{
    const QByteArray copy = path + ".copy";
    const int file = ::open(path.constData(), O_WRONLY | (edit == InputEdit::Appended ? O_APPEND : 0));
    struct stat status { };
    bool edited = file >= 0 && ::fstat(file, &status) == 0;
    switch (edit) {
    case InputEdit::Appended:
    case InputEdit::Overwritten:
        // 16 bytes at the end, or in the middle.
        edited = edited && ::pwrite(file, "written meanwhile", 16, status.st_size / 2) == 16;
        break;
    case InputEdit::CutShort:
        edited = edited && ::ftruncate(file, 4096) == 0;
        break;
    case InputEdit::PermissionsChanged:
        edited = edited && ::fchmod(file, (status.st_mode & 07777) ^ S_IROTH) == 0;
        break;
    case InputEdit::ReplacedByCopy:
        // The same bytes in another file.
        edited = edited && QFile::copy(QFile::decodeName(path), QFile::decodeName(copy))
            && ::rename(copy.constData(), path.constData()) == 0;
        break;
    case InputEdit::Removed:
        edited = edited && ::unlink(path.constData()) == 0;
        break;
    }
    ::close(file);
    return edited;
}

enum class Target { New, Existing, NewNotReplacing };

const QByteArray previousOutput("bytes of an earlier output");

ExistingOutput existingOf(Target target)
{
    return target == Target::NewNotReplacing ? ExistingOutput::Refuse : ExistingOutput::Replace;
}

// The folder as it was before a run, with the output as it was.
bool prepareTarget(ImageFixture& fixture, Target target)
{
    QFile::remove(fixture.path("out.bin"));
    return target != Target::Existing || fixture.write("out.bin", previousOutput);
}

// The name is in place (by a link or a rename) before the folder is synced, and nothing follows that sync.
QString orderProblem(const QStringList& made)
{
    const int synced = made.indexOf("syncFolder");
    const int placed = qMax(made.lastIndexOf("linkUnnamed"), made.lastIndexOf("rename"));
    if (synced < 0 || made.count("syncFolder") != 1)
        return QStringLiteral("the folder is not synced exactly once");
    if (placed < 0 || placed > synced || made.lastIndexOf("syncFile") > placed)
        return QStringLiteral("the folder is synced before the name is in place");
    if (synced != made.size() - 1)
        return QStringLiteral("calls follow the folder sync");
    return {};
}

// One run as the user meets it: the window's status text, or all that tessel-cli printed; exit status 1
// stands for the window's red text.
struct WriterRun {
    int exitCode = -1;
    QString text;
    OutputFault fault = OutputFault::None;
};

// tessel-cli in this process, so that the seam reaches it; what it prints on both streams is kept.
WriterRun runCliHere(const QStringList& arguments)
{
    const CliRun run = runCliInProcess(arguments);
    return { run.exitCode, QString::fromUtf8(run.out + run.err) };
}

// One writer to out.bin: the window's action, or tessel-cli doing the same (--force where it replaces).
WriterRun runToOutput(ImageFixture& fixture, Writer writer, ExistingOutput existing, bool commandLine)
{
    if (!commandLine) {
        const Outcome outcome = runWriter(fixture, writer, "out.bin", existing);
        return { outcome.success ? 0 : 1, outcome.message, outcome.outputFault };
    }
    QStringList arguments { writer == Writer::Export ? "export" : "replace", fixture.imagePath,
        actionOf(writer).id };
    if (writer != Writer::Export)
        arguments << fixture.path("replacement.img");
    arguments << "-o" << fixture.path("out.bin");
    if (existing == ExistingOutput::Replace)
        arguments << "--force";
    return runCliHere(arguments);
}

// What the folder of export --all replaces: nothing, an empty folder, or what an earlier run wrote.
enum class FolderTarget { New, Empty, Full };

// The folder "blocks" as it was before a run, and no hidden folder beside it.
bool prepareFolder(ImageFixture& fixture, FolderTarget target)
{
    QDir top(fixture.path(QString()));
    for (const QString& name : fixture.entries()) {
        if (name == "blocks" || name.startsWith(".blocks.tessel-"))
            QDir(fixture.path(name)).removeRecursively();
    }
    if (target == FolderTarget::New)
        return true;
    if (!top.mkpath(QStringLiteral("blocks")))
        return false;
    return target == FolderTarget::Empty
        || (fixture.write("blocks/old.bin", previousOutput)
            && fixture.write("blocks/index.json",
                R"({"command": "list", "blocks": [{"file": "old.bin"}, {"file": null}]})"));
}

// Every file is synced before the folder is, the folder before it takes the name (a rename, or an
// exchange with the folder there), and the parent after that, last.
QString folderOrderProblem(const QStringList& made)
{
    const int placed = qMax(made.lastIndexOf("rename"), made.lastIndexOf("exchange"));
    if (placed < 0 || made.count("rename") + made.count("exchange") != 1)
        return QStringLiteral("the folder is not put in place exactly once");
    const int folderSynced = made.lastIndexOf("syncFolder", placed);
    if (folderSynced < 0 || made.lastIndexOf("syncFile") > folderSynced)
        return QStringLiteral("the new folder is not synced after its files and before it is put in place");
    if (made.indexOf("syncFolder", placed) != made.size() - 1)
        return QStringLiteral("the parent is not synced last, after the folder is in place");
    return {};
}

} // namespace

Q_DECLARE_METATYPE(InputEdit)
Q_DECLARE_METATYPE(Target)
Q_DECLARE_METATYPE(FolderTarget)

void TestWriterSeam::failsAtEveryCall_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<bool>("commandLine");
    QTest::addColumn<Target>("target");
    QTest::addColumn<bool>("named");
    const QVector<QPair<Target, const char*>> targets { { Target::New, "new file" },
        { Target::Existing, "existing file replaced" },
        { Target::NewNotReplacing, "new file, not replacing" } };
    const QVector<std::tuple<Writer, bool, const char*>> writers { { Writer::Export, false, "export" },
        { Writer::Padded, false, "padded" }, { Writer::WithInfo, false, "record" },
        { Writer::Grow, false, "grow" }, { Writer::Export, true, "tessel-cli export" },
        { Writer::Padded, true, "tessel-cli replace" } };
    for (const auto& [writer, commandLine, name] : writers) {
        for (const auto& [target, targetName] : targets) {
            for (const bool named : { false, true })
                QTest::addRow("%s, %s, %s", name, targetName, named ? "named" : "unnamed")
                    << writer << commandLine << target << named;
        }
    }
}

// The window's actions and tessel-cli alike: a successful run is recorded call by call, then run again
// with each of those calls failing in turn.
void TestWriterSeam::failsAtEveryCall()
{
    QFETCH(Writer, writer);
    QFETCH(bool, commandLine);
    QFETCH(Target, target);
    QFETCH(bool, named);

    ImageFixture fixture;
    QVERIFY(prepareWriter(fixture, writer));
    const QString output = fixture.path("out.bin");
    const auto runWith = [&](ScriptedCalls& calls) {
        calls.withoutUnnamedFiles = named;
        const FileSystemCalls::Override seam(calls);
        return runToOutput(fixture, writer, existingOf(target), commandLine);
    };

    QVERIFY(prepareTarget(fixture, target));
    ScriptedCalls recorder;
    const WriterRun done = runWith(recorder);
    QVERIFY2(done.exitCode == 0, qPrintable(done.text));
    QCOMPARE(done.text.section('\n', 0, 0), successText(writer, output));
    const QByteArray expected = fixture.read("out.bin");
    QCOMPARE(expected.size(), actionOf(writer).outputLength);
    const QString problem = orderProblem(recorder.made);
    QVERIFY2(problem.isEmpty(), qPrintable(problem + ": " + recorder.made.join(", ")));
    QCOMPARE(recorder.made.contains("createNamed"), named);
    // Calls up to the one that creates the new file belong to opening the output.
    const int lastOpeningCall
        = qMax(recorder.made.lastIndexOf("createUnnamed"), recorder.made.lastIndexOf("createNamed"));

    for (int failAt = 0; failAt < recorder.made.size(); ++failAt) {
        const QString failed = recorder.made[failAt];
        QVERIFY(prepareTarget(fixture, target));
        QStringList after = fixture.entries();
        ScriptedCalls failing;
        failing.failAt = failAt;
        const WriterRun run = runWith(failing);
        const QByteArray context = QStringLiteral("call %1 (%2) failed: ").arg(failAt).arg(failed).toUtf8()
            + run.text.toUtf8() + "; left " + fixture.entries().join(", ").toUtf8();
        QVERIFY2(run.exitCode == 1, context.constData());
        // The window shows the status text of the step that failed; tessel-cli looks at the output before it
        // opens it and explains a failure there in words of its own.
        if (!commandLine)
            QVERIFY2(run.text
                    == (failAt <= lastOpeningCall ? openFailureText(writer, output)
                                                  : writeFailureText(writer, output)),
                context.constData());
        if (failed == "syncFolder") {
            // The new file is whole and in place; only the sync that makes its name durable failed.
            QVERIFY2(run.text.contains(writeFailureText(writer, output)), context.constData());
            QVERIFY2(commandLine ? run.text.contains("was written, but its folder could not be synced")
                                 : run.fault == OutputFault::NotDurable,
                context.constData());
            QVERIFY2(fixture.read("out.bin") == expected, context.constData());
            if (!after.contains("out.bin"))
                after << "out.bin";
            after.sort();
        } else {
            QVERIFY2(!run.text.contains("was written"), context.constData());
            QVERIFY2(fixture.read("out.bin") == (target == Target::Existing ? previousOutput : QByteArray()),
                context.constData());
        }
        QVERIFY2(fixture.entries() == after, context.constData());
    }
}

void TestWriterSeam::nameTakenAtTheLastMoment_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<bool>("commandLine");
    QTest::addColumn<bool>("named");
    for (const bool named : { false, true }) {
        const char* storage = named ? "named" : "unnamed";
        for (const Writer writer : { Writer::Export, Writer::Padded, Writer::Grow })
            QTest::addRow("%s, %s", writerName(writer), storage) << writer << false << named;
        QTest::addRow("tessel-cli replace, %s", storage) << Writer::Padded << true << named;
    }
}

void TestWriterSeam::nameTakenAtTheLastMoment()
{
    QFETCH(Writer, writer);
    QFETCH(bool, commandLine);
    QFETCH(bool, named);

    ImageFixture fixture;
    QVERIFY(prepareWriter(fixture, writer));
    const QString output = fixture.path("out.bin");
    QStringList expectedEntries = fixture.entries() << "out.bin";
    expectedEntries.sort();
    ScriptedCalls racing;
    racing.takenName = "out.bin";
    racing.withoutUnnamedFiles = named;
    const FileSystemCalls::Override seam(racing);
    const WriterRun run = runToOutput(fixture, writer, ExistingOutput::Refuse, commandLine);
    QCOMPARE(run.exitCode, 1);
    if (commandLine) {
        // The -o refusal of a name taken before the run, now for one taken during it.
        QCOMPARE(
            run.text.trimmed(), QStringLiteral("%1 already exists; use --force to replace it.").arg(output));
    } else {
        QCOMPARE(run.text, writeFailureText(writer, output));
        QCOMPARE(run.fault, OutputFault::Exists);
    }
    QCOMPARE(fixture.read("out.bin"), QByteArray(ScriptedCalls::otherBytes));
    QCOMPARE(fixture.entries(), expectedEntries);
}

void TestWriterSeam::cliUnpackFailsAtEveryCall_data()
{
    QTest::addColumn<FolderTarget>("target");
    QTest::addRow("new folder") << FolderTarget::New;
    QTest::addRow("empty folder used") << FolderTarget::Empty;
    QTest::addRow("earlier export replaced") << FolderTarget::Full;
}

void TestWriterSeam::cliUnpackFailsAtEveryCall()
{
    QFETCH(FolderTarget, target);

    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::recordAndTwoPlain()));
    const QString folder = fixture.path("blocks");
    QStringList arguments { "export", fixture.imagePath, "--all", "-o", folder };
    if (target == FolderTarget::Full)
        arguments << "--force";

    QVERIFY(prepareFolder(fixture, target));
    ScriptedCalls recorder;
    const auto runWith = [&arguments](ScriptedCalls& calls) {
        const FileSystemCalls::Override seam(calls);
        return runCliHere(arguments);
    };
    const WriterRun done = runWith(recorder);
    QVERIFY2(done.exitCode == 0, qPrintable(done.text));
    const QMap<QString, QByteArray> written = folderTree(folder);
    // Three block files, the rest file and index.json.
    QCOMPARE(written.size(), 5);
    const QString problem = folderOrderProblem(recorder.made);
    QVERIFY2(problem.isEmpty(), qPrintable(problem + ": " + recorder.made.join(", ")));
    QCOMPARE(recorder.made.contains("exchange"), target == FolderTarget::Full);
    const int placed = qMax(recorder.made.lastIndexOf("rename"), recorder.made.lastIndexOf("exchange"));

    for (int failAt = 0; failAt < recorder.made.size(); ++failAt) {
        const QString failed = recorder.made[failAt];
        QVERIFY(prepareFolder(fixture, target));
        const QMap<QString, QByteArray> before = folderTree(fixture.path(QString()));
        ScriptedCalls failing;
        failing.failAt = failAt;
        const WriterRun run = runWith(failing);
        const QByteArray context
            = QStringLiteral("call %1 (%2) failed: %3").arg(failAt).arg(failed, run.text).toUtf8();
        QVERIFY2(run.exitCode == 1, context.constData());
        if (failAt <= placed) {
            QVERIFY2(!run.text.contains("was written, but"), context.constData());
            QVERIFY2(folderTree(fixture.path(QString())) == before, context.constData());
            continue;
        }
        // After the folder is in place: the new one stays, and the failure says what is not done.
        QVERIFY2(folderTree(folder) == written, context.constData());
        if (failed == "syncFolder") {
            QVERIFY2(run.text.contains("its parent folder could not be synced"), context.constData());
        } else {
            const QString leftover
                = run.text.mid(run.text.indexOf("the rest is in ") + 15).section('\n', 0, 0);
            QVERIFY2(leftover.startsWith(fixture.path(".blocks.tessel-")), context.constData());
            QVERIFY2(QFileInfo(leftover.chopped(1)).isDir(), context.constData());
        }
    }
}

void TestWriterSeam::cliUnpackFolderTakenAtTheLastMoment_data()
{
    QTest::addColumn<bool>("force");
    QTest::newRow("a file put at DIR") << false;
    QTest::newRow("a file put into the earlier export at DIR, --force") << true;
}

// Another program puts a file where the folder goes just before it is renamed there, or into the earlier
// export that --force would replace: the run is refused as if the file had been there from the start,
// the other file stays, and the hidden folder is gone.
void TestWriterSeam::cliUnpackFolderTakenAtTheLastMoment()
{
    QFETCH(bool, force);
    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::recordAndTwoPlain()));
    const QString folder = fixture.path("blocks");
    QVERIFY(prepareFolder(fixture, force ? FolderTarget::Full : FolderTarget::New));
    QStringList expectedEntries = fixture.entries();
    if (!force)
        expectedEntries << "blocks";
    expectedEntries.sort();
    QStringList arguments { "export", fixture.imagePath, "--all", "-o", folder };
    if (force)
        arguments << "--force";
    ScriptedCalls racing;
    racing.takenName = "blocks";
    // Or another program puts a file into the earlier export when the new folder is synced, the last step
    // before it takes the earlier one's place.
    ScriptedCalls intruding;
    bool intruded = false;
    intruding.beforeCall = [&](const QString& call) {
        if (call == "syncFolder" && !intruded)
            intruded = fixture.write("blocks/notes.txt", "another program's file");
    };
    const FileSystemCalls::Override seam(force ? intruding : racing);
    const QMap<QString, QByteArray> earlier = folderTree(folder);
    const WriterRun run = runCliHere(arguments);
    QCOMPARE(run.exitCode, 1);
    if (force) {
        QCOMPARE(run.text.trimmed(),
            QStringLiteral("%1 holds notes.txt, which is not a file its index.json lists; --force replaces "
                           "only an empty folder or one that export --all wrote, so nothing was written.")
                .arg(folder));
        QMap<QString, QByteArray> expected = earlier;
        expected.insert(QStringLiteral("/notes.txt"), "another program's file");
        QCOMPARE(folderTree(folder), expected);
    } else {
        QCOMPARE(run.text.trimmed(),
            QStringLiteral("%1 is a file; -o names the folder that --all writes, so nothing was written.")
                .arg(folder));
        QCOMPARE(fixture.read("blocks"), QByteArray(ScriptedCalls::otherBytes));
    }
    QCOMPARE(fixture.entries(), expectedEntries);
}

void TestWriterSeam::cliStopsWhenAnInputChanges_data()
{
    // IMAGE, R1, R2, R3 and OUT stand for the fixture's files; R1 is a padded replacement of boot (5), R2 one
    // of kernel (6, with a record), R3 grows boot. DIR is the image unpacked by export --all.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("input");
    QTest::addColumn<InputEdit>("edit");
    // The writer's call before which the input is edited.
    QTest::addColumn<QString>("moment");
    // The first line printed, NAME standing for the input's path; empty for a success.
    QTest::addColumn<QString>("message");

    const QString changed = QStringLiteral("NAME changed while it was read.");
    const QString cutShort = QStringLiteral("NAME: an input file was cut short while it was being read.");
    const QString replaceBoot = QStringLiteral("replace IMAGE 5 R1 -o OUT");
    // clang-format off
    QTest::newRow("export, image grew") << "export IMAGE 5 -o OUT" << "image.bin" << InputEdit::Appended << "syncFile" << changed;
    QTest::newRow("export, image cut short while written from") << "export IMAGE 5 -o OUT" << "image.bin" << InputEdit::CutShort << "write" << cutShort;
    QTest::newRow("replace, image written in place") << replaceBoot << "image.bin" << InputEdit::Overwritten << "syncFile" << changed;
    QTest::newRow("replace, image cut short while written from") << replaceBoot << "image.bin" << InputEdit::CutShort << "write" << cutShort;
    QTest::newRow("replace, replacement written in place") << replaceBoot << "r1.img" << InputEdit::Overwritten << "write" << changed;
    QTest::newRow("replace, image replaced by a copy") << replaceBoot << "image.bin" << InputEdit::ReplacedByCopy << "syncFile" << changed;
    QTest::newRow("replace, image grew after the commit") << replaceBoot << "image.bin" << InputEdit::Appended << "syncFolder" << "";
    QTest::newRow("replace to standard output, image cut short") << "replace IMAGE 5 R1 -o -" << "image.bin" << InputEdit::CutShort << "write" << cutShort;
    QTest::newRow("record, image's permissions changed") << "replace IMAGE 6 R2 -o OUT" << "image.bin" << InputEdit::PermissionsChanged << "syncFile" << changed;
    QTest::newRow("growth, replacement removed") << "replace IMAGE 5 R3 -o OUT" << "r3.img" << InputEdit::Removed << "syncFile" << changed;
    QTest::newRow("two pairs, second replacement grew") << "replace IMAGE 5 R1 6 R2 --update-crc -o OUT" << "r2.img" << InputEdit::Appended << "syncFile" << changed;
    QTest::newRow("export --all, image grew") << "export IMAGE --all -o OUT" << "image.bin" << InputEdit::Appended << "syncFolder" << changed;
    QTest::newRow("export --all, image cut short while written from") << "export IMAGE --all -o OUT" << "image.bin" << InputEdit::CutShort << "write" << cutShort;
    QTest::newRow("pack, block file written in place") << "pack DIR -o OUT" << "unpacked/d0-e01-id5-boot.bin" << InputEdit::Overwritten << "syncFile" << changed;
    QTest::newRow("pack, block file cut short while written from") << "pack DIR -o OUT" << "unpacked/d0-e02-id7-tail.bin" << InputEdit::CutShort << "write" << cutShort;
    QTest::newRow("pack, rest file grew") << "pack DIR -o OUT" << "unpacked/rest-0.bin" << InputEdit::Appended << "syncFile" << changed;
    // clang-format on
}

// tessel-cli in this process, with an input edited at a precise step of the writer: before the output takes
// its name, the run ends with exit status 2 naming the input and nothing is written; after it, the output
// stands. The image is mapped, so cutting it short makes the write from its lost pages fail (EFAULT).
void TestWriterSeam::cliStopsWhenAnInputChanges()
{
    QFETCH(QString, arguments);
    QFETCH(QString, input);
    QFETCH(InputEdit, edit);
    QFETCH(QString, moment);
    QFETCH(QString, message);

    ImageFixture fixture;
    QVERIFY(fixture.load(StandardImages::recordAndTwoPlain()));
    QVERIFY(fixture.writeReplacement("r1.img", actionOf(Writer::Padded).replacementLength));
    QVERIFY(fixture.writeReplacement("r2.img", actionOf(Writer::WithInfo).replacementLength));
    QVERIFY(fixture.writeReplacement("r3.img", actionOf(Writer::Grow).replacementLength));
    if (arguments.contains("DIR"))
        QCOMPARE(
            runCliHere({ "export", fixture.imagePath, "--all", "-o", fixture.path("unpacked") }).exitCode, 0);
    const QStringList before = fixture.entries();
    const QMap<QString, QString> paths { { "DIR", fixture.path("unpacked") }, { "IMAGE", fixture.imagePath },
        { "OUT", fixture.path("out") } };
    QStringList words = arguments.split(' ');
    for (QString& word : words)
        word = paths.value(word, word.startsWith('R') ? fixture.path(word.toLower() + ".img") : word);
    // Standard output is the test's own: the data goes to a file meanwhile (/dev/null would not read it).
    QTemporaryFile sink;
    QVERIFY(sink.open());
    const int savedOut = ::dup(STDOUT_FILENO);
    ::dup2(sink.handle(), STDOUT_FILENO);
    // The first call named `moment` is preceded by the edit.
    ScriptedCalls editing;
    bool edited = false;
    editing.beforeCall = [&](const QString& call) {
        if (!edited && call == moment)
            edited = editInput(edit, QFile::encodeName(fixture.path(input)));
    };
    WriterRun run;
    {
        const FileSystemCalls::Override seam(editing);
        run = runCliHere(words);
    }
    ::dup2(savedOut, STDOUT_FILENO);
    ::close(savedOut);

    QVERIFY(edited);
    if (message.isEmpty()) {
        QVERIFY2(run.exitCode == 0, qPrintable(run.text));
        QVERIFY(fixture.entries().contains("out"));
        return;
    }
    QVERIFY2(run.exitCode == 2, qPrintable(run.text));
    const QStringList lines = run.text.split('\n');
    QCOMPARE(lines.first(), QString(message).replace("NAME", fixture.path(input)));
    // The writer's own report: the write from lost pages is the input's failure, not the output's.
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(1).endsWith(words.last() == "-"
                     ? "What went to standard output before this was found cannot be trusted."
                     : "Nothing was written."),
        qPrintable(run.text));
    QStringList after = before;
    if (edit == InputEdit::Removed)
        after.removeOne(input);
    QCOMPARE(fixture.entries(), after);
}

// The calls that share the image file's bytes with the output: one the file system cannot make
// (EOPNOTSUPP, EXDEV, EINVAL) hands the bytes to the next way (clone, then copy, then write) and the output
// is the same; one that fails (EIO, ENOSPC) fails the run and leaves nothing behind.
void TestWriterSeam::sharingFallsBackOrFails_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<bool>("commandLine");
    QTest::addColumn<bool>("pack");
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("nextCall");

    const QVector<QPair<int, const char*>> errors { { EOPNOTSUPP, "EOPNOTSUPP" }, { EXDEV, "EXDEV" },
        { EINVAL, "EINVAL" }, { EIO, "EIO" }, { ENOSPC, "ENOSPC" } };
    // tessel-cli pack shares the block files of the unpacked image, not an image file.
    const QVector<std::tuple<Writer, bool, bool, const char*>> writers { { Writer::Padded, false, false,
                                                                             "padded" },
        { Writer::Grow, false, false, "grow" }, { Writer::Padded, true, false, "tessel-cli replace" },
        { Writer::Padded, true, true, "tessel-cli pack" } };
    for (const auto& [writer, commandLine, pack, name] : writers) {
        for (const auto& [error, errorName] : errors) {
            QTest::addRow("%s, clone fails with %s", name, errorName)
                << writer << commandLine << pack << "cloneRange" << error << "copyRange";
            QTest::addRow("%s, copy fails with %s", name, errorName)
                << writer << commandLine << pack << "copyRange" << error << "write";
        }
    }
}

void TestWriterSeam::sharingFallsBackOrFails()
{
    QFETCH(Writer, writer);
    QFETCH(bool, commandLine);
    QFETCH(bool, pack);
    QFETCH(QString, call);
    QFETCH(int, error);
    QFETCH(QString, nextCall);

    ImageFixture fixture;
    QVERIFY(prepareWriter(fixture, writer));
    if (pack)
        QCOMPARE(
            runCliHere({ "export", fixture.imagePath, "--all", "-o", fixture.path("unpacked") }).exitCode, 0);
    const auto runWith = [&](ScriptedCalls& calls) {
        const FileSystemCalls::Override seam(calls);
        if (pack)
            return runCliHere({ "pack", fixture.path("unpacked"), "-o", fixture.path("out.bin"), "--force" });
        return runToOutput(fixture, writer, ExistingOutput::Replace, commandLine);
    };
    QVERIFY(prepareTarget(fixture, Target::Existing));
    ScriptedCalls recorder;
    QCOMPARE(runWith(recorder).exitCode, 0);
    const QByteArray expected = fixture.read("out.bin");
    QVERIFY2(recorder.made.contains(call), qPrintable(recorder.made.join(", ")));

    QVERIFY(prepareTarget(fixture, Target::Existing));
    const QStringList before = fixture.entries();
    ScriptedCalls failing;
    failing.failing = call;
    failing.failure = error;
    const WriterRun run = runWith(failing);
    const QByteArray context = failing.made.join(", ").toUtf8() + ": " + run.text.toUtf8();
    if (error == EIO || error == ENOSPC) {
        QVERIFY2(run.exitCode == 1, context.constData());
        QVERIFY2(run.text.contains(pack ? QStringLiteral("Pack failed!!!")
                                        : writeFailureText(writer, fixture.path("out.bin"))),
            context.constData());
        QCOMPARE(fixture.read("out.bin"), previousOutput);
        QCOMPARE(fixture.entries(), before);
        return;
    }
    QVERIFY2(run.exitCode == 0, context.constData());
    QCOMPARE(fixture.read("out.bin"), expected);
    // The next way took the bytes, and the way that could not was not asked again.
    QVERIFY2(failing.made.indexOf(nextCall, failing.made.indexOf(call)) > 0, context.constData());
    QVERIFY2(failing.made.count(call) == 1, context.constData());
}

QTEST_GUILESS_MAIN(TestWriterSeam)
#include "tst_writerseam.moc"
