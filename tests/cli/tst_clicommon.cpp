#include "clitestcase.h"

#include "imagebuilder.h"
#include "progressmeter.h"
#include "testfiles.h"
#include "truncationguard.h"
#include "model/imagebuffer.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Usage, help and the rules every command shares: unreadable images, refusals and -o, BLOCK forms across
// DMHs, text a terminal would obey, and an image cut short while it is read.
class TestCliCommon : public CliTestCase {
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void unreadableImage_data();
    void unreadableImage();
    void refusals_data();
    void refusals();
    void outputOptionForms_data();
    void outputOptionForms();
    void quietKeepsOnlyDataAndFailures_data();
    void quietKeepsOnlyDataAndFailures();
    void progressLine_data();
    void progressLine();
    void blockNamesAcrossDmhs_data();
    void blockNamesAcrossDmhs();
    void textEscapesWhatATerminalWouldObey_data();
    void textEscapesWhatATerminalWouldObey();
    void imageCutShortWhileMappedStopsCleanly_data();
    void imageCutShortWhileMappedStopsCleanly();
};

void TestCliCommon::usage_data()
{
    // The command line ("" is an empty argument), and what stdout starts with after a success, stderr after
    // a usage error.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("textStart");

    const auto help = [](const QString& tag, const QString& arguments, const QString& text) {
        QTest::newRow(qPrintable(tag)) << arguments << 0 << text;
    };
    const auto refused = [](const char* tag, const QString& arguments, const QString& text = {}) {
        QTest::newRow(tag) << arguments << 2 << text;
    };
    const QString twice = "Option %1 is given more than once.";
    const QString bothToStandardOutput = "--json and -o - both write to standard output.";
    refused("no command", "");
    refused("unknown command", "dump x.bin");
    help("general help", "--help", "Usage: tessel-cli COMMAND");
    for (const QString command : { "info", "list", "verify", "export", "replace", "diff" })
        help(command + " --help", command + " --help", "Usage: tessel-cli " + command);
    // clang-format off
    refused("info without image", "info");
    refused("info with two images", "info a.bin b.bin");
    refused("unknown option", "list --colour a.bin");
    refused("export without -o", "export a.bin 10");
    refused("export with BLOCK and --name", "export a.bin 10 --name boot -o out");
    refused("replace without FILE", "replace a.bin 10 -o out");
    refused("replace without -o", "replace a.bin 10 r.bin");
    refused("pair without FILE", "replace a.bin 10 r.bin 20 -o x");
    refused("block named by two pairs", "replace a.bin 10 r.bin 10 s.bin -o x");
    refused("empty name in a pair", "replace a.bin 10 r.bin name: s.bin -o x");
    refused("-o given twice", "export a.bin 10 -o x -o y");
    refused("--name given twice", "export a.bin --name a --name b -o x");
    refused("--json given twice", "list --json a.bin --json", twice.arg("--json"));
    refused("--force given twice", "export a.bin 10 --force --force -o x", twice.arg("--force"));
    refused("--dry-run given twice", "replace --dry-run a.bin 10 r.bin --dry-run", twice.arg("--dry-run"));
    refused("empty BLOCK", "export a.bin \"\" -o x");
    refused("empty FILE", "replace a.bin 10 \"\" -o x");
    refused("empty NAME", "export a.bin --name= -o x");
    refused("empty OUT", "export a.bin 10 -o \"\"");
    refused("switch with a value", "export a.bin 10 --force=yes -o x");
    refused("single-dash word", "list -json a.bin");
    refused("usage error with --json prints no JSON", "list --json --colour a.bin");
    // With an image that loads, so that only the arguments can be refused.
    refused("export --all with BLOCK", "export IMAGE 10 --all -o d",
        "--all exports every block; it takes no BLOCK.");
    refused("export --all with --name", "export IMAGE --all --name boot -o d",
        "--all exports every block; it takes no --name.");
    refused("export --all without -o", "export IMAGE --all", "-o DIR is required.");
    refused("export --all to standard output", "export IMAGE --all -o -",
        "--all writes a folder of files; -o - (standard output) cannot hold one.");
    refused("export --json to standard output", "export --json IMAGE 10 -o -", bothToStandardOutput);
    refused("replace --json to standard output", "replace IMAGE 10 IMAGE -o - --json", bothToStandardOutput);
    refused("sbom --json without -o", "sbom --json IMAGE",
        "Without -o the SBOM is written to standard output; --json describes a run that writes it to a file");
    refused("sbom --json to standard output", "sbom --json IMAGE -o -", bothToStandardOutput);
    refused("verify --expect with --hashes", "verify IMAGE --expect m.json --hashes",
        "--expect compares the hashes already; it takes no --hashes.");
    refused("ID and DMH:ID of one block in two pairs", "replace IMAGE 10 r.bin 0:10 s.bin -o x",
        "Pairs 1 (BLOCK 10, FILE r.bin) and 2 (BLOCK 0:10, FILE s.bin) both reach block 10 (DMH 0, entry 0); "
        "each block is replaced once per run.");
    refused("--name and ID of one block in two pairs, --json",
        "replace --json IMAGE --name kernel r.bin 10 s.bin 20 t.bin --dry-run",
        "Pairs 1 (BLOCK name:kernel, FILE r.bin) and 3 (BLOCK 20, FILE t.bin) both reach block 20 "
        "(DMH 0, entry 2)");
    // clang-format on
}

void TestCliCommon::usage()
{
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, textStart);

    const CliRun run = runCommand(words(arguments));
    CLI_COMPARE_EXIT(run, exitCode);
    // Help goes to stdout alone; a usage error says what is wrong on stderr alone.
    const QByteArray& text = exitCode == 0 ? run.out : run.err;
    QVERIFY2(!text.isEmpty() && text.startsWith(textStart.toUtf8()), text.constData());
    QVERIFY2((exitCode == 0 ? run.err : run.out).isEmpty(), "nothing reaches the other stream");
}

void TestCliCommon::unreadableImage_data()
{
    // The image's bytes: null for no file, "fifo" for a FIFO.
    QTest::addColumn<QByteArray>("content");
    // The status text and the explanation after it; FILE is the image's path.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("detail");

    const QString noDmh
        = "FILE holds no DMH: none of its %1 bytes starts the 12 bytes \"*^_^*DM(^o^)\" with 0x30 "
          "26 bytes after their start.";
    const QByteArray wrongRecognition
        = ImageBuilder(4096).dmh(0, TestDmh { 0, 0, 4096, -1, 0x31, {} }).image();
    // clang-format off
    QTest::newRow("missing file") << QByteArray() << "FILEis not exist!" << "FILE: No such file or directory.";
    QTest::newRow("empty file") << QByteArray("") << "Can not find DMH." << noDmh.arg(0);
    QTest::newRow("no DMH") << QByteArray(4096, '\xFF') << "Can not find DMH." << noDmh.arg(4096);
    QTest::newRow("magic without recognition byte") << wrongRecognition << "Can not find DMH." << noDmh.arg(4096);
    // Read at once rather than waiting for a writer that may never come.
    QTest::newRow("FIFO") << QByteArray("fifo") << "FILE is a FIFO; an image is read from a file or a block device."
        << QString();
    // clang-format on
}

void TestCliCommon::unreadableImage()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QFETCH(QString, detail);

    const QString file = path("input.bin");
    if (content == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    else if (!content.isNull())
        QVERIFY(fixture->write("input.bin", content));
    message.replace("FILE", file);
    detail.replace("FILE", file);
    const QString expectedError = detail.isEmpty() ? message : message + '\n' + detail;
    for (const QString command : { "info", "list", "verify" }) {
        const CliRun run = runCommand({ command, file });
        CLI_COMPARE_EXIT(run, 2);
        QCOMPARE(QString::fromUtf8(run.err).trimmed(), expectedError);
        QVERIFY(run.out.isEmpty());
        const CliRun json = runCommand({ command, "--json", file });
        CLI_COMPARE_EXIT(json, 2);
        checkFields(json.json(), { { "success", false }, { "exitStatus", 2 }, { "message", message } });
        QCOMPARE(json.json().value("detail").toString(), detail);
    }
}

void TestCliCommon::refusals_data()
{
    // The command line (IMAGE, OUT, REPL, MISSING and FOLDER are filled in by the test), what lies at OUT
    // before it runs, the exit status, the status text and the explanation after it.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("existingOutput");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("detail");

    const auto row = [](const char* tag, const QString& existing, const QString& arguments,
                         const QString& message, const QString& detail = {}, int exitCode = 1) {
        QTest::newRow(tag) << arguments << existing << exitCode << message << detail;
    };
    const QString inputFile = " is an input file; it is never written in place.";
    const QString exists = "OUT already exists; use --force to replace it.";
    const QString isFolder = "OUT is a folder; -o names the file to write.";
    const QString notFound = "Can not find the DMH.";
    const QString idForm
        = "IDs are written as the table shows them, in lower-case hex without prefix or leading zeros: ";
    const QString noFolder = "MISSING/out.bin cannot be created: there is no folder MISSING.";
    const QString cannotOpen = "Can not open MISSING/out.bin";
    // clang-format off
    row("existing output", "old", "export IMAGE 10 -o OUT", exists);
    row("output is the image", "", "export IMAGE 10 --force -o IMAGE", "IMAGE" + inputFile);
    row("output is the replacement", "", "replace IMAGE 10 REPL --force -o REPL", "REPL" + inputFile);
    row("output links to the image", "symlink", "export IMAGE 10 --force -o OUT", "OUT" + inputFile);
    row("output is a hard link to the image", "hardlink", "replace IMAGE 10 REPL --force -o OUT",
        "OUT" + inputFile);
    row("unknown ID", "", "export IMAGE 99 -o OUT", notFound, "No DMH lists a block with ID 99.");
    row("ID in upper case", "", "replace IMAGE AB REPL -o OUT", notFound, idForm + "ab.");
    row("ID with leading zero", "", "export IMAGE 010 -o OUT", notFound, idForm + "10.");
    row("ambiguous name", "", "export IMAGE --name boot -o OUT",
        "Block name boot is ambiguous; use one of the IDs: 10 (DMH 0), 22 (DMH 0).");
    row("unknown name", "", "replace IMAGE --name boo REPL -o OUT", "No block is named boo.");
    row("record variant: too long", "long", "replace IMAGE 20 REPL -o OUT",
        "File size is over max size, can not replace!!!",
        "The replacement is 65473 bytes, 1 over the 65472 bytes of data block 20 (kernel) holds "
        "(its 65536 bytes less the 64-byte block-info record).");
    row("replacement is a folder", "", "replace IMAGE 10 FOLDER -o OUT", "Can not open FOLDER!!!",
        "FOLDER is a folder, not a file.", 2);
    row("missing replacement", "", "replace IMAGE 10 MISSING -o OUT", "Can not open MISSING!!!",
        "MISSING: No such file or directory.", 2);
    row("output is a dangling symlink", "dangling", "export IMAGE 10 -o OUT", exists);
    row("output is a folder", "folder", "export IMAGE 10 --force -o OUT", isFolder);
    row("sbom: existing output", "old", "sbom IMAGE -o OUT", exists);
    row("sbom: output is the image", "", "sbom IMAGE --force -o IMAGE", "IMAGE" + inputFile);
    row("sbom: missing folder", "", "sbom IMAGE -o MISSING/out.bin", "Can not write MISSING/out.bin",
        noFolder);
    row("verify: missing manifest", "", "verify IMAGE --expect MISSING",
        "Can not read the manifest MISSING: No such file or directory.", {}, 2);
    // A dry run says what the run itself would.
    row("missing folder", "", "replace IMAGE 10 REPL -o MISSING/out.bin", cannotOpen + "!!!", noFolder);
    row("dry run: missing folder", "", "replace IMAGE 10 REPL --dry-run -o MISSING/out.bin",
        cannotOpen + "!!!", noFolder);
    row("export: missing folder", "", "export IMAGE 10 -o MISSING/out.bin", cannotOpen, noFolder);
    row("dry run: folder that is a file", "", "replace IMAGE 10 REPL --dry-run -o REPL/out.bin",
        "Can not open REPL/out.bin!!!", "REPL/out.bin cannot be created: there is no folder REPL.");
    row("dry run: output is a folder", "folder", "replace IMAGE 10 REPL --dry-run -o OUT", isFolder);
    // clang-format on
}

void TestCliCommon::refusals()
{
    QFETCH(QString, arguments);
    QFETCH(QString, existingOutput);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, detail);

    const QString output = path("out.bin");
    create("replacement.bin", existingOutput == "long" ? QByteArray(0x10000 - 63, 'r') : QByteArray(16, 'r'));
    if (existingOutput == "old")
        QVERIFY(fixture->write("out.bin", "old"));
    if (existingOutput == "symlink" || existingOutput == "dangling")
        QVERIFY(QFile::link(existingOutput == "symlink" ? imagePath : path("missing.bin"), output));
    if (existingOutput == "folder")
        QVERIFY(QDir(path()).mkdir("out.bin"));
    if (existingOutput == "hardlink")
        QCOMPARE(::link(QFile::encodeName(imagePath).constData(), QFile::encodeName(output).constData()), 0);
    const QStringList filled = words(arguments);
    const QByteArray outputBefore = readFile(output);

    const CliRun run = runCommand(filled);
    CLI_COMPARE_EXIT(run, exitCode);
    // The status text, then the explanation with the file and the numbers, when there is one.
    const QString expectedError = detail.isEmpty() ? fill(message) : fill(message + '\n' + detail);
    QCOMPARE(QString::fromUtf8(run.err).trimmed(), expectedError);
    QVERIFY2(run.out.isEmpty(), run.out.constData());
    QCOMPARE(readFile(imagePath), StandardImages::fiveBlocks());
    QCOMPARE(readFile(output), outputBefore);
    if (existingOutput.isEmpty())
        QVERIFY2(!QFile::exists(output), "a refused action creates no file");

    // --quiet keeps every refusal and failure.
    const CliRun quiet = runCommand(filled + QStringList { "--quiet" });
    CLI_COMPARE_EXIT(quiet, exitCode);
    QCOMPARE(quiet.err, run.err);

    const CliRun json = runCommand(QStringList { filled.first(), "--json" } + filled.mid(1));
    CLI_COMPARE_EXIT(json, exitCode);
    const QJsonObject document = json.json();
    checkFields(document, { { "success", false }, { "message", fill(message) } });
    QCOMPARE(document.value("detail").toString(), fill(detail));
    QCOMPARE(QString::fromUtf8(json.err).trimmed(), expectedError);
    // A refusal carries every field of its command that is known by then.
    if (filled.contains("-o"))
        QCOMPARE(document.value("output").toString(), filled.value(filled.indexOf("-o") + 1));
    if (filled.first() == "replace") {
        QCOMPARE(document.value("dryRun").toBool(), filled.contains("--dry-run"));
        QVERIFY(document.value("replacement").isString());
    }
    const bool named = message.startsWith("No block") || message.contains("ambiguous")
        || message == "Can not find the DMH.";
    if (filled.first() == "export" || filled.first() == "replace")
        QCOMPARE(document.contains("block"), !named);
}

void TestCliCommon::outputOptionForms_data()
{
    QTest::addColumn<QString>("option");
    // When set, OUT is a read-only file that --force replaces (root may replace it); the new file keeps
    // its permission bits.
    QTest::addColumn<bool>("readOnlyOutput");

    QTest::newRow("-o OUT") << "-o OUT" << false;
    QTest::newRow("-oOUT") << "-oOUT" << false;
    QTest::newRow("--output OUT") << "--output OUT" << false;
    QTest::newRow("--output=OUT") << "--output=OUT" << false;
    QTest::newRow("--force over a read-only file") << "--force -o OUT" << true;
}

void TestCliCommon::outputOptionForms()
{
    QFETCH(QString, option);
    QFETCH(bool, readOnlyOutput);

    const QString output = path("out.bin");
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    if (readOnlyOutput)
        QVERIFY(fixture->write("out.bin", "old") && QFile::setPermissions(output, readOnly));
    const CliRun run = runCommand(words("export IMAGE 10 " + option));
    CLI_COMPARE_EXIT(run, 0);
    QCOMPARE(readFile(output), StandardImages::fiveBlocks().mid(int(dmhPosition + 0x1000), 0x800));
    // The "User" flags say what this user may do (root may write anything); the others are the bits.
    const QFile::Permissions bits = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    if (readOnlyOutput)
        QCOMPARE(QFile::permissions(output) & bits, readOnly);
}

void TestCliCommon::quietKeepsOnlyDataAndFailures_data()
{
    QTest::addColumn<QString>("arguments");
    // What stdout still holds: the start of the data asked for, or nothing.
    QTest::addColumn<QString>("out");

    QTest::newRow("export") << "export IMAGE 10 -o OUT" << QString();
    QTest::newRow("replace") << "replace IMAGE 20 REPL -o OUT" << QString();
    QTest::newRow("replace, dry run: the plan is the data") << "replace IMAGE 20 REPL --dry-run"
                                                            << "Variant:";
    QTest::newRow("export --all") << "export IMAGE --all -o FOLDER/blocks" << QString();
    QTest::newRow("verify: the table is the data") << "verify IMAGE"
                                                   << "DMH";
    QTest::newRow("list --json") << "list --json IMAGE"
                                 << "{";
    QTest::newRow("short form") << "export -q IMAGE 10 -o OUT" << QString();
}

// --quiet drops the success texts and keeps the data asked for; nothing else reaches either stream.
void TestCliCommon::quietKeepsOnlyDataAndFailures()
{
    QFETCH(QString, arguments);
    QFETCH(QString, out);

    create("replacement.bin", QByteArray(16, 'r'));
    const QStringList filled = words(arguments);
    const CliRun run = runCommand(filled.contains("-q") ? filled : filled + QStringList { "--quiet" });
    CLI_COMPARE_EXIT(run, 0);
    QVERIFY2(run.err.isEmpty(), run.err.constData());
    QVERIFY2(run.out.startsWith(out.toUtf8()) && !run.out.contains("successfully"), run.out.constData());
    if (out.isEmpty())
        QVERIFY2(run.out.isEmpty(), run.out.constData());
}

void TestCliCommon::progressLine_data()
{
    QTest::addColumn<bool>("terminal");
    // Each report as "MILLISECONDS:MIB_DONE", of 1000 MiB, under one label unless it names another.
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<QByteArray>("errorStream");

    const QByteArray clear("\r\x1b[K");
    // clang-format off
    QTest::newRow("not a terminal") << false << QStringList { "0:0", "1500:300", "3000:600" } << QByteArray();
    QTest::newRow("done within a second") << true << QStringList { "0:0", "500:500", "900:1000" } << QByteArray();
    QTest::newRow("past a second, redrawn every tenth") << true << QStringList { "0:0", "1000:256", "1050:300", "2000:512" }
        << "\rWork: 256.0 MiB of 1000.0 MiB, 256.0 MiB/s\x1b[K\rWork: 512.0 MiB of 1000.0 MiB, 256.0 MiB/s\x1b[K" + clear;
    QTest::newRow("rate of the current work") << true << QStringList { "0:0", "1200:600", "1250:0:Other", "1900:100:Other" }
        << "\rWork: 600.0 MiB of 1000.0 MiB, 500.0 MiB/s\x1b[K\rOther: 100.0 MiB of 1000.0 MiB, 153.8 MiB/s\x1b[K" + clear;
    // clang-format on
}

// The progress line shows only on a terminal and after about a second, with the bytes done, the total and
// the rate, and is cleared at the end.
void TestCliCommon::progressLine()
{
    QFETCH(bool, terminal);
    QFETCH(QStringList, reports);
    QFETCH(QByteArray, errorStream);

    CapturingConsole console;
    qint64 now = 0;
    ProgressMeter meter(console, terminal, [&now] { return now; });
    constexpr qint64 mebibyte = qint64(1) << 20;
    for (const QString& report : reports) {
        const QStringList parts = report.split(':');
        now = parts.at(0).toLongLong();
        meter.update(parts.value(2, "Work"), parts.at(1).toLongLong() * mebibyte, 1000 * mebibyte);
    }
    meter.finish();
    QCOMPARE(console.err, errorStream);
    QVERIFY(console.out.isEmpty());
}

void TestCliCommon::blockNamesAcrossDmhs_data()
{
    QTest::addColumn<bool>("emptyFirstDmh");
    QTest::addColumn<QStringList>("block");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    // DMH 0 lists 5 "boot" (or nothing), DMH 1 lists 5 "boot" and 6 "late", DMH 2 lists 6 "spare".
    const QString notFound = "Can not find the DMH.\n";
    // clang-format off
    QTest::newRow("name in two DMHs with one ID") << false << QStringList { "--name", "boot" } << 1
        << "Block name boot is ambiguous; use one of the IDs: 5 (DMH 0), 1:5.";
    QTest::newRow("name behind an empty DMH") << true << QStringList { "--name", "late" } << 1
        << "Block late has ID 6, but the search by ID ends at DMH 0, which has no entries; "
           "use 1:6 to act on it.";
    QTest::newRow("ID behind an empty DMH") << true << QStringList { "6" } << 1
        << notFound + "The search by ID ends at DMH 0, which has no entries; "
           "1:6 reaches the block behind it.";
    QTest::newRow("DMH:ID behind an empty DMH") << true << QStringList { "1:6" } << 0 << QString();
    QTest::newRow("DMH:ID of the last DMH") << false << QStringList { "2:6" } << 0 << QString();
    QTest::newRow("DMH:ID of a DMH that is not there") << false << QStringList { "3:5" } << 1
        << notFound + "The image has 3 DMH(s), numbered from 0; there is no DMH 3.";
    QTest::newRow("DMH:ID not in that DMH") << false << QStringList { "0:6" } << 1
        << notFound + "DMH 0 lists no block with ID 6.";
    // clang-format on
}

void TestCliCommon::blockNamesAcrossDmhs()
{
    QFETCH(bool, emptyFirstDmh);
    QFETCH(QStringList, block);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QVector<TestEntry> boot { testEntry(5, 0x100, 0x10, "boot") };
    ImageBuilder builder(0x30000);
    builder.dmh(0, testDmh(emptyFirstDmh ? QVector<TestEntry>() : boot, 0x30000))
        .dmh(0x10000, testDmh(boot + QVector<TestEntry> { testEntry(6, 0x200, 0x10, "late") }, 0x30000))
        .dmh(0x20000, testDmh({ testEntry(6, 0x100, 0x10, "spare") }, 0x30000));
    builder.fill(0x10200, 0x10, 'L').fill(0x20100, 0x10, 'S');
    QVERIFY(fixture->write("image.bin", builder.image()));

    const QString output = path("out.bin");
    const CliRun run = runCommand(QStringList { "export", imagePath } + block + QStringList { "-o", output });
    CLI_COMPARE_EXIT(run, exitCode);
    QCOMPARE(QString::fromUtf8(run.err).trimmed(), message);
    if (exitCode == 0)
        QCOMPARE(readFile(output), QByteArray(0x10, block.first() == "1:6" ? 'L' : 'S'));
    else
        QVERIFY(!QFile::exists(output));
}

void TestCliCommon::textEscapesWhatATerminalWouldObey_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("shown");

    // clang-format off
    QTest::newRow("escape sequence") << QByteArray("\x1b[2J") << "\\x1b[2J";
    QTest::newRow("C1 control") << QByteArray("a\xc2\x9b" "2J") << "a\\x9b2J";
    QTest::newRow("right-to-left override") << QByteArray("\xe2\x80\xae" "abc") << "\\u{202e}abc";
    QTest::newRow("isolate") << QByteArray("\xe2\x81\xa6" "ab") << "\\u{2066}ab";
    QTest::newRow("carriage return and title") << QByteArray("a\rb\x1b]0;") << "a\\x0db\\x1b]0;";
    // clang-format on
    QTest::newRow("plain") << QByteArray("kernel") << "kernel";
}

void TestCliCommon::textEscapesWhatATerminalWouldObey()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, shown);

    // The crafted text is both a block's name and the software version in its ssdata block; block 3,
    // named so too, lies outside the image, so refusals quote its name.
    const QByteArray image
        = ImageBuilder(0x10000)
              .dmh(0,
                  testDmh({ testEntry(1, 0x1000, 0x100, name), testEntry(2, 0x2000, 0x100, "ssdata"),
                              testEntry(3, 0x20000, 0x100, name) },
                      0x10000))
              .bytes(0x2000, name + QByteArray(1, '\0'))
              .image();
    QVERIFY(fixture->write("image.bin", image));

    const QString list = QString::fromUtf8(runCommand({ "list", imagePath }).out);
    QVERIFY2(list.contains("  " + shown + "  "), qPrintable(list));
    const QString info = QString::fromUtf8(runCommand({ "info", imagePath }).out);
    QVERIFY2(info.contains("Software Version:  " + shown + '\n'), qPrintable(info));
    const CliRun exported = runCommand({ "export", imagePath, "3", "-o", fixture->path("out.bin") });
    const QString refusal = QString::fromUtf8(exported.err);
    QVERIFY2(
        exported.exitCode != 0 && refusal.contains("Block 3 (" + shown + ") lies at "), qPrintable(refusal));
    const QString all
        = QString::fromUtf8(runCommand({ "export", imagePath, "--all", "-o", fixture->path("all") }).err);
    QVERIFY2(all.contains("Block 3 (" + shown + ") lies at "), qPrintable(all));
    for (const QString& output : { list, info, refusal, all }) {
        for (const ushort code : { 0x0d, 0x1b, 0x9b, 0x202e, 0x2066 })
            QVERIFY2(!output.contains(QChar(code)), "no character a terminal obeys reaches it");
    }
}

void TestCliCommon::imageCutShortWhileMappedStopsCleanly_data()
{
    // What the program has named as the input being read when the page is lost: only the file that was
    // cut short (or the one being loaded) is named in the message.
    QTest::addColumn<QString>("naming");
    QTest::newRow("its mapping named") << "mapping";
    // While an image loads its mapping is not known yet; its scan reads every page.
    QTest::newRow("being loaded") << "loading";
    QTest::newRow("another mapping named") << "other";
}

void TestCliCommon::imageCutShortWhileMappedStopsCleanly()
{
    QFETCH(QString, naming);
    // The commands map their images; another process cuts one short. The next read of a lost page
    // raises SIGBUS, which tessel-cli turns into one line on stderr naming the input and exit status 2.
    // In a child, since it ends the process.
    const QString file = create("shrinking.bin", QByteArray(1 << 20, 'x'));
    int errorPipe[2];
    QCOMPARE(::pipe(errorPipe), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::dup2(errorPipe[1], STDERR_FILENO);
        stopCleanlyWhenAnInputShrinks();
        const int descriptor = ::open(QFile::encodeName(file).constData(), O_RDONLY);
        ImageBuffer image;
        if (descriptor < 0 || !image.mapFile(descriptor, 1 << 20)
            || ::truncate(QFile::encodeName(file).constData(), 0) != 0)
            ::_exit(100);
        static const uchar elsewhere[16] = {};
        if (naming == "loading")
            nameInputForTruncation(file);
        else if (naming == "mapping")
            nameInputForTruncation(file, image.data(), 1 << 20);
        else
            nameInputForTruncation("other.bin", elsewhere, 16);
        const volatile uchar lastByte = image.data()[(1 << 20) - 1];
        ::_exit(lastByte == 'x' ? 101 : 102);
    }
    ::close(errorPipe[1]);
    QByteArray error;
    char chunk[256];
    for (ssize_t got; (got = ::read(errorPipe[0], chunk, sizeof chunk)) > 0;)
        error.append(chunk, int(got));
    ::close(errorPipe[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), "the child ends by itself, not by the signal");
    QCOMPARE(WEXITSTATUS(status), 2);
    QCOMPARE(error,
        "tessel-cli: " + (naming != "other" ? QFile::encodeName(file) + ": " : QByteArray())
            + "an input file was cut short while it was being read; stopped.\n");
}

QTEST_GUILESS_MAIN(TestCliCommon)
#include "tst_clicommon.moc"
