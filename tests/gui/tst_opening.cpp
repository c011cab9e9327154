#include "standardimages.h"
#include "testfolder.h"
#include "windowdriver.h"

#include <QDir>
#include <QMimeData>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Opening an image by the Browse dialog and by dropping files on the path field.
class TestOpening : public QObject {
    Q_OBJECT

private slots:
    void init();
    void browseOpensChosenImage();
    void cancelledDialogChangesNothing();
    void dialogFailureShowsErrorAndEnablesMenu();
    void drop_data();
    void drop();
    void dropDoesNotMoveBrowseStart();
    void failedOpenKeepsLastImage_data();
    void failedOpenKeepsLastImage();

private:
    std::unique_ptr<TestFolder> folder;
    QString twoDmh;
    QString small;
    QString noDmh;
};

namespace {

// Checks what the window shows of the images opened so far: the path field; the block number and as many
// table rows (-1: neither); the status line, red when there is one; whether the table offers its menu.
void expectShown(
    const WindowDriver& driver, const QString& path, int blocks, const QString& status, bool menuEnabled)
{
    QCOMPARE(driver.pathField()->text(), path);
    QCOMPARE(driver.labelText("laBlockNum"), blocks < 0 ? QString() : QString::number(blocks));
    QCOMPARE(driver.table()->model() ? driver.table()->model()->rowCount() : -1, blocks);
    QCOMPARE(driver.status(), status);
    QCOMPARE(driver.statusColour(), status.isEmpty() ? QString() : failureColour);
    QCOMPARE(driver.table()->contextMenuPolicy(), menuEnabled ? Qt::CustomContextMenu : Qt::NoContextMenu);
}

// Opens a FIFO for writing when `release` has not come within seconds: a reader stuck in opening it then
// gets an end of file and goes on instead of hanging the test, and the watch tells that one was stuck.
class FifoWatch {
public:
    explicit FifoWatch(const QString& fifo)
        : thread(QThread::create([this, path = QFile::encodeName(fifo)] {
            if (released.tryAcquire(1, 5000))
                return;
            // Opening for writing without blocking succeeds only while a reader has the FIFO open.
            const int writer = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0) {
                stuck = true;
                ::close(writer);
            }
        }))
    {
        thread->start();
    }
    ~FifoWatch() { release(); }
    void release()
    {
        released.release();
        thread->wait();
    }
    bool readerWaited() const { return stuck; }

private:
    QSemaphore released;
    std::atomic<bool> stuck { false };
    std::unique_ptr<QThread> thread;
};

// Where the next Browse dialog starts; it is cancelled.
QString browseStart(WindowDriver& driver)
{
    return driver.browse(QString()).shown.value(0).directory;
}

} // namespace

void TestOpening::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    twoDmh = folder->create("twodmh.bin", StandardImages::twoDmhs());
    small = folder->create("small.bin", StandardImages::twoEntries());
    noDmh = folder->create("nodmh.bin", StandardImages::noDmh());
    QCOMPARE(::mkfifo(QFile::encodeName(folder->filePath("fifo.bin")).constData(), 0600), 0);
}

void TestOpening::browseOpensChosenImage()
{
    WindowDriver driver;
    QVERIFY(QDir(folder->path()).mkpath("images"));
    const QString chosen = folder->create("images/a.bin", StandardImages::twoEntries());

    const DialogsSeen first = driver.browse(chosen);
    QCOMPARE(first.shown.size(), 1);
    QVERIFY(first.accepted());
    QCOMPARE(first.shown[0].caption, QStringLiteral("Flash bin"));
    QCOMPARE(first.shown[0].nameFilters, QStringList { "Bin (*.bin)" });
    // "/*.bin" starts the first dialog in the root folder.
    QCOMPARE(first.shown[0].directory, QStringLiteral("/"));
    expectShown(driver, chosen, 2, "", true);
    QCOMPARE(driver.labelText("laSDRAMSize"), QStringLiteral("33554432"));

    // The next dialog starts in the folder of the file chosen last.
    QCOMPARE(browseStart(driver), folder->filePath("images"));
}

void TestOpening::cancelledDialogChangesNothing()
{
    WindowDriver driver;
    QCOMPARE(driver.browse(QString()).shown.size(), 1);
    expectShown(driver, "", -1, "", false);
    QCOMPARE(browseStart(driver), QStringLiteral("/"));

    // After an image is open, a cancelled dialog leaves it on screen as it was.
    QVERIFY(driver.browse(twoDmh).accepted());
    QAbstractItemModel* model = driver.table()->model();
    QCOMPARE(driver.browse(QString()).shown.size(), 1);
    expectShown(driver, twoDmh, 8, "", true);
    QCOMPARE(driver.table()->model(), model);
}

void TestOpening::dialogFailureShowsErrorAndEnablesMenu()
{
    WindowDriver driver;
    QVERIFY(driver.browse(noDmh).accepted());
    expectShown(driver, noDmh, -1, "Can not find DMH.", true);
}

namespace {

// Names stand for the images of init(), "missing" for a file that does not exist; `text` is dropped as
// plain text rather than as a file.
void dropRow(const char* name, const QStringList& files, const QString& shown, int blocks,
    const QString& status, bool menuEnabled, const QString& text = QString())
{
    QTest::newRow(name) << files << text << shown << blocks << status << menuEnabled;
}

} // namespace

void TestOpening::drop_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("plainText");
    QTest::addColumn<QString>("shownPath");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("menuEnabled");
    const QString web = QStringLiteral("http://example.com/a.bin");
    dropRow("one image", { "twodmh" }, "twodmh", 8, "", true);
    dropRow("three files, first taken", { "small", "twodmh", "nodmh" }, "small", 2, "", true);
    dropRow("first of several fails", { "nodmh", "twodmh" }, "nodmh", -1, "Can not find DMH.", false);
    dropRow("missing file", { "missing" }, "missing", -1, "missingis not exist!", false);
    // Nothing writes to it: reading it would wait for ever.
    dropRow("FIFO", { "fifo" }, "fifo", -1, "read file failed!", false);
    dropRow("web address", { web }, "", -1, "", false);
    dropRow("web address before a file", { web, "twodmh" }, "", -1, "", false);
    dropRow("plain text path", {}, "", -1, "", false, "twodmh");
}

void TestOpening::drop()
{
    QFETCH(QStringList, files);
    QFETCH(QString, plainText);
    QFETCH(QString, shownPath);
    QFETCH(int, blocks);
    QFETCH(QString, status);
    QFETCH(bool, menuEnabled);
    const auto pathOf = [this](const QString& name) {
        return name.isEmpty() ? QString() : folder->filePath(name + (name == "missing" ? "" : ".bin"));
    };
    QList<QUrl> urls;
    for (const QString& file : files)
        urls << (file.startsWith("http") ? QUrl(file) : QUrl::fromLocalFile(pathOf(file)));
    QMimeData mimeData;
    if (!urls.isEmpty())
        mimeData.setUrls(urls);
    if (!plainText.isEmpty())
        mimeData.setText(pathOf(plainText));

    WindowDriver driver;
    FifoWatch watch(pathOf("fifo"));
    const DropOutcome outcome = driver.drop(&mimeData);
    watch.release();
    QVERIFY2(!watch.readerWaited(), "the window waited for something to write to the FIFO");
    QVERIFY2(outcome.enterAccepted, "every drag may enter the path field");
    QCOMPARE(outcome.enterAction, Qt::CopyAction);
    QVERIFY2(!outcome.dropAccepted, "the drop itself is never marked accepted");
    expectShown(driver, pathOf(shownPath), blocks, status.replace("missing", pathOf("missing")), menuEnabled);
}

void TestOpening::dropDoesNotMoveBrowseStart()
{
    WindowDriver driver;
    driver.dropFile(twoDmh);
    QCOMPARE(driver.labelText("laBlockNum"), QStringLiteral("8"));
    QCOMPARE(browseStart(driver), QStringLiteral("/"));
}

void TestOpening::failedOpenKeepsLastImage_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("dialog") << "dialog";
    QTest::newRow("drop") << "drop";
    // An image named on the program's command line, which is opened as the dialog's choice is.
    QTest::newRow("command line") << "command line";
}

// Every load runs under the busy cursor, which is gone again after it, whether it succeeded or not.
void TestOpening::failedOpenKeepsLastImage()
{
    QFETCH(QString, way);
    WindowDriver driver;
    const auto open = [&](const QString& path) {
        const CursorWatch watch(driver);
        bool opened = true;
        if (way == "dialog")
            opened = driver.browse(path).accepted();
        else if (way == "drop")
            driver.dropFile(path);
        else
            driver.window().openChosenImage(path);
        return opened && watch.busyThroughout() && !QGuiApplication::overrideCursor();
    };
    QVERIFY(open(twoDmh));
    QAbstractItemModel* model = driver.table()->model();
    expectShown(driver, twoDmh, 8, "", true);

    QVERIFY(open(noDmh));
    expectShown(driver, noDmh, 8, "Can not find DMH.", true);
    QCOMPARE(driver.labelText("laSDRAMSize"), QStringLiteral("67108864"));
    QCOMPARE(driver.table()->model(), model);

    // A later success replaces the image but leaves the red message where it was.
    QVERIFY(open(small));
    expectShown(driver, small, 2, "Can not find DMH.", true);
    // Only the dialog and the command line move the next dialog's start to the image's folder.
    QCOMPARE(browseStart(driver), way == "drop" ? QStringLiteral("/") : folder->path());
}

QTEST_MAIN(TestOpening)
#include "tst_opening.moc"
