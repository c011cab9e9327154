#include "standardimages.h"
#include "testfolder.h"
#include "windowdriver.h"

#include <QDir>
#include <QMimeData>
#include <QtTest>

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

void TestOpening::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    twoDmh = folder->create("twodmh.bin", StandardImages::twoDmhs());
    small = folder->create("small.bin", StandardImages::twoEntries());
    noDmh = folder->create("nodmh.bin", StandardImages::noDmh());
}

void TestOpening::browseOpensChosenImage()
{
    WindowDriver driver;
    QVERIFY(QDir(folder->path()).mkpath("images"));
    const QString chosen = folder->create("images/a.bin", StandardImages::twoEntries());

    const DialogSeen first = driver.browse(chosen);
    QCOMPARE(first.dialogsShown, 1);
    QVERIFY(first.accepted);
    QCOMPARE(first.caption, QStringLiteral("Flash bin"));
    QCOMPARE(first.nameFilters, QStringList { "Bin (*.bin)" });
    // "/*.bin" starts the first dialog in the root folder.
    QCOMPARE(first.directory, QStringLiteral("/"));

    QCOMPARE(driver.pathField()->text(), chosen);
    QCOMPARE(driver.labelText("laSDRAMSize"), QStringLiteral("33554432"));
    QCOMPARE(driver.labelText("laBlockNum"), QStringLiteral("2"));
    QCOMPARE(driver.table()->model()->rowCount(), 2);
    QVERIFY2(driver.statusBar()->currentMessage().isEmpty(), "a successful open shows no message");
    QCOMPARE(driver.table()->contextMenuPolicy(), Qt::CustomContextMenu);

    // The next dialog starts in the folder of the file chosen last.
    const DialogSeen second = driver.browse(QString());
    QCOMPARE(second.dialogsShown, 1);
    QCOMPARE(second.directory, folder->filePath("images"));
}

void TestOpening::cancelledDialogChangesNothing()
{
    WindowDriver driver;
    QCOMPARE(driver.browse(QString()).dialogsShown, 1);
    QVERIFY(driver.pathField()->text().isEmpty());
    QCOMPARE(driver.table()->model(), nullptr);
    QCOMPARE(driver.table()->contextMenuPolicy(), Qt::NoContextMenu);
    QVERIFY(driver.statusBar()->currentMessage().isEmpty());
    QCOMPARE(driver.browse(QString()).directory, QStringLiteral("/"));

    // After an image is open, a cancelled dialog leaves it on screen as it was.
    QVERIFY(driver.browse(twoDmh).accepted);
    QAbstractItemModel* model = driver.table()->model();
    QCOMPARE(driver.browse(QString()).dialogsShown, 1);
    QCOMPARE(driver.pathField()->text(), twoDmh);
    QCOMPARE(driver.table()->model(), model);
    QCOMPARE(driver.labelText("laBlockNum"), QStringLiteral("8"));
}

void TestOpening::dialogFailureShowsErrorAndEnablesMenu()
{
    WindowDriver driver;
    QVERIFY(driver.browse(noDmh).accepted);
    QCOMPARE(driver.pathField()->text(), noDmh);
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Can not find DMH."));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:red"));
    QVERIFY(driver.labelText("laBlockNum").isEmpty());
    QCOMPARE(driver.table()->model(), nullptr);
    QCOMPARE(driver.table()->contextMenuPolicy(), Qt::CustomContextMenu);
}

void TestOpening::drop_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("plainText");
    QTest::addColumn<QString>("shownPath");
    QTest::addColumn<QString>("blockNumber");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("menuEnabled");

    // Names stand for the images of init(); "missing" for a file that does not exist.
    QTest::newRow("one image") << QStringList { "twodmh" } << QString() << "twodmh"
                               << "8" << QString() << true;
    QTest::newRow("three files, first taken")
        << QStringList { "small", "twodmh", "nodmh" } << QString() << "small"
        << "2" << QString() << true;
    QTest::newRow("first of several fails") << QStringList { "nodmh", "twodmh" } << QString() << "nodmh"
                                            << QString() << "Can not find DMH." << false;
    QTest::newRow("missing file") << QStringList { "missing" } << QString() << "missing" << QString()
                                  << "missingis not exist!" << false;
    QTest::newRow("web address") << QStringList { "http://example.com/a.bin" } << QString() << QString()
                                 << QString() << QString() << false;
    QTest::newRow("web address before a file") << QStringList { "http://example.com/a.bin", "twodmh" }
                                               << QString() << QString() << QString() << QString() << false;
    QTest::newRow("plain text path") << QStringList() << "twodmh" << QString() << QString() << QString()
                                     << false;
}

void TestOpening::drop()
{
    QFETCH(QStringList, files);
    QFETCH(QString, plainText);
    QFETCH(QString, shownPath);
    QFETCH(QString, blockNumber);
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
    const DropOutcome outcome = driver.drop(&mimeData);
    QVERIFY2(outcome.enterAccepted, "every drag may enter the path field");
    QCOMPARE(outcome.enterAction, Qt::CopyAction);
    QVERIFY2(!outcome.dropAccepted, "the drop itself is never marked accepted");

    QCOMPARE(driver.pathField()->text(), pathOf(shownPath));
    QCOMPARE(driver.labelText("laBlockNum"), blockNumber);
    QCOMPARE(driver.statusBar()->currentMessage(), status.replace("missing", pathOf("missing")));
    QCOMPARE(driver.statusColour(), status.isEmpty() ? QString() : QStringLiteral("color:red"));
    QCOMPARE(driver.table()->contextMenuPolicy(), menuEnabled ? Qt::CustomContextMenu : Qt::NoContextMenu);
}

void TestOpening::dropDoesNotMoveBrowseStart()
{
    WindowDriver driver;
    driver.dropFile(twoDmh);
    QCOMPARE(driver.labelText("laBlockNum"), QStringLiteral("8"));
    QCOMPARE(driver.browse(QString()).directory, QStringLiteral("/"));
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
            opened = driver.browse(path).accepted;
        else if (way == "drop")
            driver.dropFile(path);
        else
            driver.window().openChosenImage(path);
        return opened && watch.busyThroughout() && !QGuiApplication::overrideCursor();
    };
    QVERIFY(open(twoDmh));
    QAbstractItemModel* model = driver.table()->model();
    QVERIFY(model);
    QCOMPARE(driver.table()->contextMenuPolicy(), Qt::CustomContextMenu);

    QVERIFY(open(noDmh));
    QCOMPARE(driver.pathField()->text(), noDmh);
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Can not find DMH."));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:red"));
    QCOMPARE(driver.labelText("laBlockNum"), QStringLiteral("8"));
    QCOMPARE(driver.labelText("laSDRAMSize"), QStringLiteral("67108864"));
    QCOMPARE(driver.table()->model(), model);
    QCOMPARE(model->rowCount(), 8);

    // A later success replaces the image but leaves the red message where it was.
    QVERIFY(open(small));
    QCOMPARE(driver.labelText("laBlockNum"), QStringLiteral("2"));
    QCOMPARE(driver.table()->model()->rowCount(), 2);
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Can not find DMH."));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:red"));
    // Only the dialog and the command line move the next dialog's start to the image's folder.
    QCOMPARE(driver.browse(QString()).directory, way == "drop" ? QStringLiteral("/") : folder->path());
}

QTEST_MAIN(TestOpening)
#include "tst_opening.moc"
