#include "cliprocess.h"
#include "fixedclock.h"
#include "standardimages.h"
#include "testfiles.h"
#include "testfolder.h"

#include <QtTest>

namespace {

QProcessEnvironment environmentWith(
    const QString& epoch = QString::number(fixedEpoch), const QString& zone = QStringLiteral("UTC"))
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
    // `text` with $IMAGE, $REPL, $OTHER, $EXISTS, $MISSING and $OUT made paths of the files init() makes
    // (out.bin and missing.bin it does not).
    QString fill(QString text) const;
    QByteArray fill(const QByteArray& text) const { return fill(QString::fromUtf8(text)).toUtf8(); }
    // A command line written as one text, split at blanks and filled in.
    QStringList arguments(const QString& line) const { return fill(line).split(' ', Qt::SkipEmptyParts); }

    std::unique_ptr<TestFolder> folder;
};

QString TestCliProcess::fill(QString text) const
{
    for (const char* name : { "IMAGE", "REPL", "OTHER", "EXISTS", "MISSING", "OUT" })
        text.replace(QLatin1Char('$') + name, path(QString::fromLatin1(name).toLower() + ".bin"));
    return text;
}

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
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    // What stdout starts with and stderr's first line; an empty one means "nothing".
    const auto row
        = [](const char* tag, const char* arguments, int exitCode, const char* out, const char* err) {
              QTest::newRow(tag) << QString(arguments) << exitCode << QByteArray(out) << QByteArray(err);
          };
    row("help", "--help", 0, "Usage: tessel-cli COMMAND", "");
    row("command help", "replace --help", 0, "Usage: tessel-cli replace", "");
    row("version", "--version", 0, "tessel-cli " TESSEL_VERSION "\n", "");
    row("bad usage", "export $IMAGE 5", 2, "", "-o OUT is required.");
    row("bad usage, JSON asked", "export --json $IMAGE 5 -o A -o B", 2, "",
        "Option --output is given more than once.");
    row("success", "export $IMAGE 5 -o $OUT", 0, "Save block $OUT successfully!!!", "");
    row("refusal", "export $IMAGE 5 -o $EXISTS", 1, "", "$EXISTS already exists; use --force to replace it.");
    row("diff of an image with itself", "diff $IMAGE $IMAGE", 0, "DMH  ID  Name", "");
    row("unreadable image", "info $MISSING", 2, "", "$MISSINGis not exist!");
    row("unreadable replacement", "replace $IMAGE 5 $MISSING -o $OUT", 2, "", "Can not open $MISSING!!!");
}

void TestCliProcess::streamsAndStatuses()
{
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    const CliRun run = runCliProcess(this->arguments(arguments), environmentWith());
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(out.isEmpty() ? run.out.isEmpty() : run.out.startsWith(fill(out)), run.out.constData());
    QCOMPARE(err.isEmpty() ? run.err : run.err.split('\n').first(), fill(err));
}

void TestCliProcess::sourceDateEpoch_data()
{
    QTest::addColumn<QString>("epoch");
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QByteArray>("stamp");

    // 2026-03-05 07:08:09 UTC and 9999-12-31 23:59:59 UTC, written in UTC whatever the machine's zone; no
    // stamp: refused.
    const QByteArray in2026("\xEA\x07\x03\x05\x07\x08\x09", 7);
    const QByteArray lastSecond("\x0F\x27\x0C\x1F\x17\x3B\x3B", 7);
    QTest::newRow("UTC") << "1772694489"
                         << "UTC" << in2026;
    QTest::newRow("zone east of UTC") << "1772694489"
                                      << "Asia/Tokyo" << in2026;
    QTest::newRow("zone west of UTC, a day earlier there") << "1772694489"
                                                           << "America/Los_Angeles" << in2026;
    QTest::newRow("last second") << "253402300799"
                                 << "UTC" << lastSecond;
    QTest::newRow("word") << "yesterday"
                          << "UTC" << QByteArray();
    QTest::newRow("trailing newline") << "1772694489\n"
                                      << "UTC" << QByteArray();
    QTest::newRow("sign") << "+1772694489"
                          << "UTC" << QByteArray();
    QTest::newRow("past 9999") << "253402300800"
                               << "UTC" << QByteArray();
    QTest::newRow("last second, zone east of UTC") << "253402300799"
                                                   << "Asia/Tokyo" << lastSecond;
}

void TestCliProcess::sourceDateEpoch()
{
    QFETCH(QString, epoch);
    QFETCH(QString, zone);
    QFETCH(QByteArray, stamp);

    const CliRun run
        = runCliProcess(arguments("replace --json $IMAGE 6 $REPL -o $OUT"), environmentWith(epoch, zone));
    if (stamp.isEmpty()) {
        // Checked with the arguments: bad usage, no JSON, and no file looked at or written.
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("SOURCE_DATE_EPOCH"), run.err.constData());
        QVERIFY2(run.out.isEmpty(), run.out.constData());
        QVERIFY(!QFile::exists(path("out.bin")));
        return;
    }
    QCOMPARE(run.exitCode, 0);
    const int record = 0x20000 - 64;
    QCOMPARE(readFile(path("out.bin")).mid(record + 48, 7), stamp);
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
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("message");

    // -o follows the arguments.
    const auto exported = [](const char* length, const char* part, const char* block) {
        return QByteArray("Save block - successfully!!!\nWrote ") + length + " bytes, " + part + " of block "
            + block + ", to standard output.";
    };
    const QByteArray replaced
        = "Replace block successfully!!!\nWrote the new image, 262144 bytes, to standard output.";
    QTest::newRow("export") << "export $IMAGE 5" << exported("32768", "all", "5");
    QTest::newRow("export, data part of a record")
        << "export $IMAGE 6" << exported("1000", "the data part", "6");
    QTest::newRow("export by name, --force")
        << "export $IMAGE --name boot --force" << exported("32768", "all", "5");
    QTest::newRow("replace, padded, --update-crc") << "replace $IMAGE 5 $REPL --update-crc" << replaced;
    QTest::newRow("replace, record") << "replace $IMAGE 6 $REPL" << replaced;
    QTest::newRow("sbom") << "sbom $IMAGE"
                          << QByteArray(
                                 "Wrote the SBOM of $IMAGE (3 blocks, $LENGTH bytes) to standard output.");
}

// -o - writes exactly the bytes -o OUT writes, and stdout carries nothing else: the status text moves
// to stderr.
void TestCliProcess::standardOutputCarriesOnlyTheData()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, message);

    const CliRun toFile = runCliProcess(this->arguments(arguments + " -o $OUT"), environmentWith());
    QVERIFY2(toFile.exitCode == 0, toFile.err.constData());
    const QByteArray expected = readFile(path("out.bin"));
    QVERIFY(!expected.isEmpty());

    const CliRun toPipe = runCliProcess(this->arguments(arguments + " -o -"), environmentWith());
    QVERIFY2(toPipe.exitCode == 0, toPipe.err.constData());
    QCOMPARE(toPipe.out.size(), expected.size());
    QVERIFY2(toPipe.out == expected, "standard output holds the output byte for byte");
    QCOMPARE(toPipe.err, fill(message).replace("$LENGTH", QByteArray::number(expected.size())) + '\n');
    QVERIFY2(!QFile::exists(QStringLiteral("-")), "no file named - is written");
}

void TestCliProcess::standardOutputThatFails_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("lastError");

    const auto row = [](const char* tag, const char* arguments, StandardOutput output, int exitCode,
                         const QByteArray& lastError) {
        QTest::newRow(tag) << QString(arguments) << int(output) << exitCode << lastError;
    };
    const StandardOutput full = StandardOutput::FullDevice;
    const StandardOutput closed = StandardOutput::ClosedPipe;
    const StandardOutput terminal = StandardOutput::Terminal;
    const QByteArray noSpace("tessel-cli: write error: No space left on device");
    const QByteArray onTerminal(
        "Standard output is a terminal; -o - writes binary data there. Send it to a "
        "pipe or a file (-o - | sha256sum, -o - > out.bin), or name a file with -o OUT.");

    row("list, full disk", "list $IMAGE", full, 1, noSpace);
    row("info --json, full disk", "info --json $IMAGE", full, 1, noSpace);
    row("verify, full disk", "verify $IMAGE", full, 1, noSpace);
    row("sbom, full disk", "sbom $IMAGE", full, 1, noSpace);
    row("export -o -, full disk", "export $IMAGE 6 -o -", full, 1, noSpace);
    row("replace -o -, full disk", "replace $IMAGE 6 $REPL -o -", full, 1, noSpace);
    row("unreadable image, JSON on a full disk", "info --json $MISSING", full, 2, noSpace);
    row("usage error, nothing for stdout", "export $IMAGE 5", full, 2,
        "Run 'tessel-cli export --help' for usage.");
    // diff's 1 means "the images differ": a report that was lost is trouble, 2, whatever it said.
    row("diff, identical, full disk", "diff $IMAGE $IMAGE", full, 2, noSpace);
    row("diff, different, full disk", "diff $IMAGE $OTHER", full, 2, noSpace);
    row("diff --json, different, full disk", "diff --json $IMAGE $OTHER", full, 2, noSpace);
    // A reader that went away ends the run quietly, by SIGPIPE, as it ends a filter.
    row("list, closed pipe", "list $IMAGE", closed, 141, "");
    row("export -o -, closed pipe", "export $IMAGE 6 -o -", closed, 141, "");
    row("replace -o -, closed pipe", "replace $IMAGE 6 $REPL -o -", closed, 141, "");
    row("diff, different, closed pipe", "diff $IMAGE $OTHER", closed, 141, "");
    row("export -o -, terminal", "export $IMAGE 5 -o -", terminal, 2, onTerminal);
    row("replace -o -, terminal", "replace $IMAGE 5 $REPL -o - --force", terminal, 2, onTerminal);
    row("list, terminal", "list $IMAGE", terminal, 0, "");
    // As "cat f >> f" is refused: the data would go into the file being read.
    const QByteArray intoTheImage("Standard output is the input file $IMAGE; it is never written in place.");
    row("export -o - >> IMAGE", "export $IMAGE 5 -o -", StandardOutput::AppendedFile, 1, intoTheImage);
    row("replace -o - >> IMAGE", "replace $IMAGE 6 $REPL -o -", StandardOutput::AppendedFile, 1,
        intoTheImage);
}

// A failed write to standard output ends in a write error with the system's reason and a failed exit
// status, 2 kept when the command had already failed with it; a closed pipe ends the run without a word;
// -o - to a terminal is refused.
void TestCliProcess::standardOutputThatFails()
{
    QFETCH(QString, arguments);
    QFETCH(int, output);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, lastError);

    // The system's reasons in English.
    QProcessEnvironment environment = environmentWith();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    const QString image = fill(QStringLiteral("$IMAGE"));
    const QByteArray imageBefore = readFile(image);
    const CliRun run
        = runCliWithStandardOutput(this->arguments(arguments), environment, StandardOutput(output), image);
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    QCOMPARE(lastError.isEmpty() ? run.err : run.err.trimmed().split('\n').last(), fill(lastError));
    QVERIFY2(readFile(image) == imageBefore, "the image is as it was");
    QCOMPARE(run.err.count("write error"), lastError.contains("write error") ? 1 : 0);
    if (StandardOutput(output) == StandardOutput::Terminal)
        QVERIFY2(exitCode == 0 ? run.out.startsWith("DMH ") : run.out.isEmpty(), run.out.constData());
}

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"
