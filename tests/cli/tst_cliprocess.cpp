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

private:
    QString path(const QString& name) const { return folder->filePath(name); }

    std::unique_ptr<TestFolder> folder;
};

void TestCliProcess::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    QVERIFY(writeFile(path(QStringLiteral("image.bin")), StandardImages::recordAndTwoPlain()));
    QVERIFY(writeFile(path(QStringLiteral("exists.bin")), "old"));
    QVERIFY(writeFile(path(QStringLiteral("repl.bin")), QByteArray(100, 'r')));
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

    // 2026-03-05 07:08:09 UTC, written as the local time the record holds.
    QTest::newRow("UTC") << "1772694489"
                         << "UTC" << QByteArray("\xEA\x07\x03\x05\x07\x08\x09", 7);
    QTest::newRow("local time") << "1772694489"
                                << "Asia/Tokyo" << QByteArray("\xEA\x07\x03\x05\x10\x08\x09", 7);
    QTest::newRow("last second") << "253402300799"
                                 << "UTC" << QByteArray("\x0F\x27\x0C\x1F\x17\x3B\x3B", 7);
    QTest::newRow("word") << "yesterday"
                          << "UTC" << QByteArray();
    QTest::newRow("trailing newline") << "1772694489\n"
                                      << "UTC" << QByteArray();
    QTest::newRow("sign") << "+1772694489"
                          << "UTC" << QByteArray();
    QTest::newRow("past 9999") << "253402300800"
                               << "UTC" << QByteArray();
    QTest::newRow("past 9999 in the local zone") << "253402300799"
                                                 << "Asia/Tokyo" << QByteArray();
}

void TestCliProcess::sourceDateEpoch()
{
    QFETCH(QString, epoch);
    QFETCH(QString, zone);
    QFETCH(QByteArray, stamp);

    const QString output = path(QStringLiteral("out.bin"));
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

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"
