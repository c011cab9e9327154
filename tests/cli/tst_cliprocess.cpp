#include "cliprocess.h"
#include "standardimages.h"
#include "testfiles.h"
#include "testfolder.h"

#include <QDir>
#include <QtTest>

namespace {

QProcessEnvironment environmentWith(const QString& epoch, const QString& zone = QStringLiteral("UTC"))
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("SOURCE_DATE_EPOCH"));
    if (!epoch.isNull())
        environment.insert(QStringLiteral("SOURCE_DATE_EPOCH"), epoch);
    environment.insert(QStringLiteral("TZ"), zone);
    return environment;
}

} // namespace

// What only the program as a process shows: exit statuses, which stream each text goes to, the
// environment it reads, and its arguments as raw bytes.
class TestCliProcess : public QObject {
    Q_OBJECT

private slots:
    void init();
    void streamsAndStatuses_data();
    void streamsAndStatuses();
    void sourceDateEpoch_data();
    void sourceDateEpoch();
    void fileNameThatIsNotText();
    void standardOutputCarriesOnlyTheData_data();
    void standardOutputCarriesOnlyTheData();
    void standardOutputThatFails_data();
    void standardOutputThatFails();

private:
    QString path(const QString& name) const { return folder->filePath(name); }

    std::unique_ptr<TestFolder> folder;
};

void TestCliProcess::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    QVERIFY(writeFile(path("image.bin"), StandardImages::recordAndTwoPlain()));
    QVERIFY(writeFile(path("exists.bin"), "old"));
    QVERIFY(writeFile(path("repl.bin"), QByteArray(100, 'r')));
    QVERIFY(writeFile(path("other.bin"), StandardImages::fiveBlocks()));
}

void TestCliProcess::streamsAndStatuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    // $IMAGE, $OUT, $EXISTS and $MISSING are paths in the test's folder; an empty expectation means
    // "nothing"; stderr is compared by its first line.
    QTest::newRow("help") << QStringList { "--help" } << 0 << QByteArray("Usage: tessel-cli COMMAND")
                          << QByteArray();
    QTest::newRow("command help") << QStringList { "replace", "--help" } << 0
                                  << QByteArray("Usage: tessel-cli replace") << QByteArray();
    QTest::newRow("version") << QStringList { "--version" } << 0
                             << QByteArray("tessel-cli " TESSEL_VERSION "\n") << QByteArray();
    QTest::newRow("bad usage") << QStringList { "export", "$IMAGE", "5" } << 2 << QByteArray()
                               << QByteArray("-o OUT is required.");
    QTest::newRow("bad usage, JSON asked") << QStringList { "export", "--json", "$IMAGE", "5", "-o", "A",
        "-o", "B" } << 2 << QByteArray() << QByteArray("Option --output is given more than once.");
    QTest::newRow("success") << QStringList { "export", "$IMAGE", "5", "-o", "$OUT" } << 0
                             << QByteArray("Save block $OUT successfully!!!") << QByteArray();
    QTest::newRow("refusal") << QStringList { "export", "$IMAGE", "5", "-o", "$EXISTS" } << 1 << QByteArray()
                             << QByteArray("$EXISTS already exists; use --force to replace it.");
    QTest::newRow("diff of an image with itself")
        << QStringList { "diff", "$IMAGE", "$IMAGE" } << 0 << QByteArray("DMH  ID  Name") << QByteArray();
    QTest::newRow("unreadable image")
        << QStringList { "info", "$MISSING" } << 2 << QByteArray() << QByteArray("$MISSINGis not exist!");
    QTest::newRow("unreadable replacement") << QStringList { "replace", "$IMAGE", "5", "$MISSING", "-o",
        "$OUT" } << 2 << QByteArray() << QByteArray("Can not open $MISSING!!!");
}

void TestCliProcess::streamsAndStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    const auto fill = [this](QByteArray text) {
        return text.replace("$IMAGE", QFile::encodeName(path("image.bin")))
            .replace("$MISSING", QFile::encodeName(path("missing.bin")))
            .replace("$EXISTS", QFile::encodeName(path("exists.bin")))
            .replace("$OUT", QFile::encodeName(path("out.bin")));
    };
    QStringList filled;
    for (const QString& argument : arguments)
        filled << QFile::decodeName(fill(QFile::encodeName(argument)));
    const CliRun run = runCliProcess(filled, environmentWith(QStringLiteral("1772694489")));
    QCOMPARE(run.exitCode, exitCode);
    if (out.isEmpty())
        QVERIFY2(run.out.isEmpty(), run.out.constData());
    else
        QVERIFY2(run.out.startsWith(fill(out)), run.out.constData());
    if (err.isEmpty())
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    else
        QCOMPARE(run.err.split('\n').first(), fill(err));
}

void TestCliProcess::sourceDateEpoch_data()
{
    QTest::addColumn<QString>("epoch");
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QByteArray>("stamp");

    // 2026-03-05 07:08:09 UTC, written in UTC whatever the machine's zone.
    // clang-format off
    QTest::newRow("UTC") << "1772694489" << "UTC" << QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7);
    QTest::newRow("zone east of UTC") << "1772694489" << "Asia/Tokyo" << QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7);
    QTest::newRow("zone west of UTC, a day earlier there") << "1772694489" << "America/Los_Angeles" << QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7);
    QTest::newRow("last second") << "253402300799" << "UTC" << QByteArray("\x0F\x27\x0C\x1F\x17\x3B\x3B", 7);
    QTest::newRow("word") << "yesterday" << "UTC" << QByteArray();
    QTest::newRow("trailing newline") << "1772694489\n" << "UTC" << QByteArray();
    QTest::newRow("sign") << "+1772694489" << "UTC" << QByteArray();
    QTest::newRow("past 9999") << "253402300800" << "UTC" << QByteArray();
    QTest::newRow("last second, zone east of UTC") << "253402300799" << "Asia/Tokyo" << QByteArray("\x0F\x27\x0C\x1F\x17\x3B\x3B", 7);
    // clang-format on
}

void TestCliProcess::sourceDateEpoch()
{
    QFETCH(QString, epoch);
    QFETCH(QString, zone);
    QFETCH(QByteArray, stamp);

    const QString output = path("out.bin");
    const CliRun run
        = runCliProcess({ "replace", "--json", path("image.bin"), "6", path("repl.bin"), "-o", output },
            environmentWith(epoch, zone));
    if (stamp.isEmpty()) {
        // Checked with the arguments: bad usage, no JSON, and no file looked at or written.
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("SOURCE_DATE_EPOCH"), run.err.constData());
        QVERIFY2(run.out.isEmpty(), run.out.constData());
        QVERIFY(!QFile::exists(output));
        return;
    }
    QCOMPARE(run.exitCode, 0);
    const int record = 0x20000 - 64;
    QCOMPARE(readFile(output).mid(record + 48, 7), stamp);
}

void TestCliProcess::fileNameThatIsNotText()
{
    // "report\xe9.txt" is not UTF-8: decoded and encoded again it would name "report\xef\xbf\xbd.txt".
    const QByteArray badName = QFile::encodeName(folder->path()) + "/report\xe9.txt";
    const QByteArray otherName = QFile::encodeName(folder->path()) + "/report\xef\xbf\xbd.txt";
    QVERIFY(writeFile(QFile::decodeName(otherName), "someone else's file"));
    QProcess shell;
    shell.setProcessEnvironment(environmentWith(QString()));
    // The shell passes the bytes on unchanged, which a QProcess argument list cannot.
    shell.start(QStringLiteral("/bin/sh"),
        { "-c", "exec \"$0\" export \"$1\" 5 --force -o \"$(printf \"$2\")\"",
            QStringLiteral(TESSEL_CLI_PATH), path("image.bin"),
            QFile::decodeName(QFile::encodeName(folder->path()) + "/report\\351.txt") });
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.exitCode(), 2);
    QVERIFY2(shell.readAllStandardError().contains("report\\xe9.txt"), "the refusal names the bytes");
    QCOMPARE(readFile(QFile::decodeName(otherName)), QByteArray("someone else's file"));
    QVERIFY(!QFile::exists(QString::fromLatin1(badName)));
}

void TestCliProcess::standardOutputCarriesOnlyTheData_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");

    // $IMAGE and $REPL are paths in the test's folder; -o follows the arguments.
    const QByteArray exported
        = "Save block - successfully!!!\nWrote %1 bytes, %2 of block %3, to standard output.";
    const QByteArray replaced
        = "Replace block successfully!!!\nWrote the new image, 262144 bytes, to standard output.";
    QTest::newRow("export") << QStringList { "export", "$IMAGE",
        "5" } << QByteArray(exported).replace("%1", "32768").replace("%2", "all").replace("%3", "5");
    QTest::newRow("export, data part of a record") << QStringList { "export", "$IMAGE",
        "6" } << QByteArray(exported).replace("%1", "1000").replace("%2", "the data part").replace("%3", "6");
    QTest::newRow("export by name, --force") << QStringList { "export", "$IMAGE", "--name", "boot",
        "--force" } << QByteArray(exported).replace("%1", "32768").replace("%2", "all").replace("%3", "5");
    QTest::newRow("replace, padded, --update-crc")
        << QStringList { "replace", "$IMAGE", "5", "$REPL", "--update-crc" } << replaced;
    QTest::newRow("replace, record") << QStringList { "replace", "$IMAGE", "6", "$REPL" } << replaced;
    QTest::newRow("sbom") << QStringList { "sbom",
        "$IMAGE" } << QByteArray("Wrote the SBOM of $IMAGE (3 blocks, $LENGTH bytes) to standard output.");
}

// -o - writes exactly the bytes -o OUT writes, and stdout carries nothing else: the status text moves
// to stderr.
void TestCliProcess::standardOutputCarriesOnlyTheData()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);

    arguments.replaceInStrings(QStringLiteral("$IMAGE"), path("image.bin"));
    arguments.replaceInStrings(QStringLiteral("$REPL"), path("repl.bin"));
    const QProcessEnvironment environment = environmentWith(QStringLiteral("1772694489"));
    const CliRun toFile = runCliProcess(arguments + QStringList { "-o", path("out.bin") }, environment);
    QVERIFY2(toFile.exitCode == 0, toFile.err.constData());
    const QByteArray expected = readFile(path("out.bin"));
    QVERIFY(!expected.isEmpty());

    const CliRun toPipe = runCliProcess(arguments + QStringList { "-o", "-" }, environment);
    QVERIFY2(toPipe.exitCode == 0, toPipe.err.constData());
    QCOMPARE(toPipe.out.size(), expected.size());
    QVERIFY2(toPipe.out == expected, "standard output holds the output byte for byte");
    message.replace("$IMAGE", path("image.bin").toUtf8())
        .replace("$LENGTH", QByteArray::number(expected.size()));
    QCOMPARE(toPipe.err, message + '\n');
    QVERIFY2(!QFile::exists(QStringLiteral("-")), "no file named - is written");
}

void TestCliProcess::standardOutputThatFails_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("lastError");

    const int full = int(StandardOutput::FullDevice);
    const int closed = int(StandardOutput::ClosedPipe);
    const int terminal = int(StandardOutput::Terminal);
    const QByteArray noSpace("tessel-cli: write error: No space left on device");
    const QByteArray brokenPipe("tessel-cli: write error: Broken pipe");
    const QByteArray onTerminal(
        "Standard output is a terminal; -o - writes binary data there. Send it to a "
        "pipe or a file (-o - | sha256sum, -o - > out.bin), or name a file with -o OUT.");

    QTest::newRow("list, full disk") << QStringList { "list", "$IMAGE" } << full << 1 << noSpace;
    QTest::newRow("info --json, full disk")
        << QStringList { "info", "--json", "$IMAGE" } << full << 1 << noSpace;
    QTest::newRow("verify, full disk") << QStringList { "verify", "$IMAGE" } << full << 1 << noSpace;
    QTest::newRow("sbom, full disk") << QStringList { "sbom", "$IMAGE" } << full << 1 << noSpace;
    QTest::newRow("export -o -, full disk")
        << QStringList { "export", "$IMAGE", "6", "-o", "-" } << full << 1 << noSpace;
    QTest::newRow("replace -o -, full disk")
        << QStringList { "replace", "$IMAGE", "6", "$REPL", "-o", "-" } << full << 1 << noSpace;
    QTest::newRow("unreadable image, JSON on a full disk")
        << QStringList { "info", "--json", "$MISSING" } << full << 2 << noSpace;
    QTest::newRow("usage error, nothing for stdout") << QStringList { "export", "$IMAGE",
        "5" } << full << 2 << QByteArray("Run 'tessel-cli export --help' for usage.");
    // diff's 1 means "the images differ": a report that was lost is trouble, 2, whatever it said.
    QTest::newRow("diff, identical, full disk")
        << QStringList { "diff", "$IMAGE", "$IMAGE" } << full << 2 << noSpace;
    QTest::newRow("diff, different, full disk")
        << QStringList { "diff", "$IMAGE", "$OTHER" } << full << 2 << noSpace;
    QTest::newRow("diff --json, different, full disk")
        << QStringList { "diff", "--json", "$IMAGE", "$OTHER" } << full << 2 << noSpace;
    // A reader that went away ends the run quietly, by SIGPIPE, as it ends a filter.
    QTest::newRow("list, closed pipe") << QStringList { "list", "$IMAGE" } << closed << 141 << QByteArray();
    QTest::newRow("export -o -, closed pipe")
        << QStringList { "export", "$IMAGE", "6", "-o", "-" } << closed << 141 << QByteArray();
    QTest::newRow("replace -o -, closed pipe")
        << QStringList { "replace", "$IMAGE", "6", "$REPL", "-o", "-" } << closed << 141 << QByteArray();
    QTest::newRow("diff, different, closed pipe")
        << QStringList { "diff", "$IMAGE", "$OTHER" } << closed << 141 << QByteArray();
    QTest::newRow("export -o -, terminal")
        << QStringList { "export", "$IMAGE", "5", "-o", "-" } << terminal << 2 << onTerminal;
    QTest::newRow("replace -o -, terminal") << QStringList { "replace", "$IMAGE", "5", "$REPL", "-o", "-",
        "--force" } << terminal << 2 << onTerminal;
    QTest::newRow("list, terminal") << QStringList { "list", "$IMAGE" } << terminal << 0 << QByteArray();
}

// A failed write to standard output ends in a write error with the system's reason and a failed exit
// status, 2 kept when the command had already failed with it; a closed pipe ends the run without a word;
// -o - to a terminal is refused.
void TestCliProcess::standardOutputThatFails()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, output);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, lastError);

    arguments.replaceInStrings(QStringLiteral("$IMAGE"), path("image.bin"));
    arguments.replaceInStrings(QStringLiteral("$REPL"), path("repl.bin"));
    arguments.replaceInStrings(QStringLiteral("$MISSING"), path("missing.bin"));
    arguments.replaceInStrings(QStringLiteral("$OTHER"), path("other.bin"));
    // The system's reasons in English.
    QProcessEnvironment environment = environmentWith(QStringLiteral("1772694489"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    const CliRun run = runCliWithStandardOutput(arguments, environment, StandardOutput(output));
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    const QList<QByteArray> lines = run.err.trimmed().split('\n');
    QCOMPARE(lines.last(), lastError);
    QCOMPARE(run.err.count("write error"), lastError.contains("write error") ? 1 : 0);
    if (lastError.isEmpty())
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    if (StandardOutput(output) == StandardOutput::Terminal) {
        if (exitCode == 0)
            QVERIFY2(run.out.startsWith("DMH "), run.out.constData());
        else
            QVERIFY2(run.out.isEmpty(), "nothing reaches the terminal");
    }
}

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"
