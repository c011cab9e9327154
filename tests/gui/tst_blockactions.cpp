#include "dialogscript.h"
#include "imagebuilder.h"
#include "standardimages.h"
#include "testfiles.h"
#include "testfolder.h"
#include "windowdriver.h"

#include "model/imagelayout.h"

#include <QAction>
#include <QStandardItemModel>
#include <QTextCodec>
#include <QtTest>

#include <unistd.h>

class TestBlockActions : public QObject {
    Q_OBJECT

private slots:
    void init();
    void initTestCase();
    void exportsSelectedBlock();
    void proposesPlainFileName_data();
    void proposesPlainFileName();
    void replaces_data();
    void replaces();
    void growthStaysInMemoryButNotInTable();
    void noSelection();
    void staleCatalogueStopsEveryAction();
    void writeOverOpenImageOpensItAgain_data();
    void writeOverOpenImageOpensItAgain();

private:
    void openImage(WindowDriver& driver);
    void selectRow(WindowDriver& driver, int row);
    QAction* action(WindowDriver& driver, const QString& text);

    std::unique_ptr<TestFolder> folder;
    QString imagePath;
    QByteArray image;
};

void TestBlockActions::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    image = StandardImages::fourBlocks();
    imagePath = folder->filePath("image.bin");
    QVERIFY(writeFile(imagePath, image));
}

void TestBlockActions::openImage(WindowDriver& driver)
{
    driver.dropFile(imagePath);
    QCOMPARE(driver.pathField()->text(), imagePath);
    QCOMPARE(driver.table()->model()->rowCount(), 4);
}

void TestBlockActions::selectRow(WindowDriver& driver, int row)
{
    driver.table()->setCurrentIndex(driver.table()->model()->index(row, 0));
}

QAction* TestBlockActions::action(WindowDriver& driver, const QString& text)
{
    for (QAction* candidate : driver.blockMenu()->actions())
        if (candidate->text() == text)
            return candidate;
    return nullptr;
}

void TestBlockActions::initTestCase()
{
    // Names are decoded as a desktop of today decodes them.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void TestBlockActions::exportsSelectedBlock()
{
    WindowDriver driver;
    openImage(driver);
    selectRow(driver, 0);
    const QString output = folder->filePath("boot.out");

    const CursorWatch watch(driver);
    DialogScript script({ output });
    action(driver, "Save as...")->trigger();
    QVERIFY2(watch.busyThroughout(), "the export runs under the busy cursor");
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QVERIFY(!script.unexpected);
    QCOMPARE(script.shown.size(), 1);
    QCOMPARE(script.shown[0].caption, QStringLiteral("Save Block"));
    QCOMPARE(script.shown[0].nameFilters, QStringList { "All (*.*)" });
    QCOMPARE(script.shown[0].proposedName, QStringLiteral("boot"));
    QCOMPARE(script.shown[0].directory, QDir::currentPath());

    QCOMPARE(
        driver.statusBar()->currentMessage(), QStringLiteral("Save block %1 successfully!!!").arg(output));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:#15428b"));
    QCOMPARE(readFile(output), image.mid(0x10000, 1000));
}

void TestBlockActions::proposesPlainFileName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("proposed");
    // Each name is the name field of the block with ID 2a.
    QTest::newRow("plain") << QByteArray("boot") << "boot";
    QTest::newRow("cut at the zero") << QByteArray("na\0me", 5) << "na";
    QTest::newRow("two folders up") << QByteArray("../../et") << "et";
    QTest::newRow("right-to-left override") << QByteArray("\xE2\x80\xAEgnp.e") << "gnp.e";
    QTest::newRow("isolate and mark") << QByteArray("\xE2\x81\xA6x\xE2\x80\x8Fy") << "xy";
    QTest::newRow("tab and newline") << QByteArray("a\tb\nc") << "abc";
    QTest::newRow("C1 control and delete") << QByteArray("\xC2\x85\x61\x7F\x62") << "ab";
    QTest::newRow("backslash") << QByteArray("a\\b") << "ab";
    QTest::newRow("hidden file") << QByteArray(".profile") << "profile";
    QTest::newRow("dot behind a control") << QByteArray("\x01.x") << "x";
    QTest::newRow("only dots") << QByteArray("..") << "2a";
    QTest::newRow("only a separator") << QByteArray("/") << "2a";
    QTest::newRow("only controls") << QByteArray("\x1B\x07") << "2a";
    QTest::newRow("empty") << QByteArray() << "2a";
}

// The dialog proposes a plain file in its own folder; the table still shows the name as read.
void TestBlockActions::proposesPlainFileName()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, proposed);
    TestDmh dmh;
    dmh.entries = { testEntry(0x2a, 0x100, 0x10, name) };
    QVERIFY(writeFile(imagePath, ImageBuilder(0x1000).dmh(0, dmh).image()));
    WindowDriver driver;
    driver.dropFile(imagePath);
    QCOMPARE(driver.table()->model()->index(0, 3).data().toString(),
        QString::fromLocal8Bit(name.leftJustified(8, '\0').constData(), 8));

    DialogScript script({ QString() });
    QVERIFY(driver.chooseFromMenu(driver.rowPoint(0), "Save as..."));
    QCOMPARE(script.shown.size(), 1);
    QCOMPARE(script.shown[0].proposedName, proposed);
    QCOMPARE(script.shown[0].directory, QDir::currentPath());
}

void TestBlockActions::replaces_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("colour");

    QTest::newRow("record") << 0 << 0x1FFC0 << "Replace block successfully!!!"
                            << "color:#15428b";
    QTest::newRow("record, one byte too many")
        << 0 << 0x1FFC1 << "File size is over max size, can not replace!!!"
        << "color:red";
    QTest::newRow("padded") << 1 << 1000 << "Replace block successfully!!!"
                            << "color:#15428b";
    QTest::newRow("grow") << 1 << 0x30000 << "Replace Block successfully!!!"
                          << "color:#15428b";
}

void TestBlockActions::replaces()
{
    QFETCH(int, row);
    QFETCH(int, length);
    QFETCH(QString, message);
    QFETCH(QString, colour);

    WindowDriver driver;
    openImage(driver);
    selectRow(driver, row);
    const QString replacement = folder->filePath("new.img");
    const QByteArray bytes = ImageBuilder::randomBytes(length, 5);
    QVERIFY(writeFile(replacement, bytes));
    const QString output = folder->filePath("out.bin");

    const CursorWatch watch(driver);
    DialogScript script({ replacement, output });
    action(driver, "Replace with...")->trigger();
    // The busy cursor from the choice to the message, and gone after a refusal as after a write.
    QVERIFY2(watch.busyThroughout(), "the replacement runs under the busy cursor");
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QVERIFY(!script.unexpected);
    QCOMPARE(script.shown.size(), 2);
    QCOMPARE(script.shown[0].caption, QStringLiteral("Select a block"));
    QCOMPARE(script.shown[0].nameFilters, QStringList { "All (*.*)" });
    QCOMPARE(script.shown[0].directory, QStringLiteral("/"));
    QCOMPARE(script.shown[1].caption, QStringLiteral("Save flash Bin"));
    QCOMPARE(script.shown[1].nameFilters, QStringList { "Bin (*.bin)" });
    QCOMPARE(script.shown[1].directory, QStringLiteral("/"));

    QCOMPARE(driver.statusBar()->currentMessage(), message);
    QCOMPARE(driver.statusColour(), colour);
    if (colour != "color:#15428b") {
        QVERIFY(!QFileInfo::exists(output));
        return;
    }
    const QByteArray written = readFile(output);
    QCOMPARE(written.size(), int(StandardImages::fourBlocksLength));
    const int start = row == 0 ? 0x10000 : 0x30000;
    QCOMPARE(written.mid(start, length), bytes);
    if (row == 0) {
        // The record carries the replacement's length and a time from the local clock.
        const uchar* record = reinterpret_cast<const uchar*>(written.constData()) + 0x30000 - 64;
        QCOMPARE(ImageLayout::readU32(record + 24), quint32(length));
        QVERIFY(qAbs(int(ImageLayout::readU16(record + 48)) - QDate::currentDate().year()) <= 1);
    }
}

void TestBlockActions::growthStaysInMemoryButNotInTable()
{
    WindowDriver driver;
    openImage(driver);
    selectRow(driver, 1);
    const QString replacement = folder->filePath("kernel.img");
    QVERIFY(writeFile(replacement, ImageBuilder::randomBytes(0x30000, 6)));
    {
        DialogScript script({ replacement, folder->filePath("grown.bin") });
        action(driver, "Replace with...")->trigger();
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Replace Block successfully!!!"));
    QCOMPARE(driver.table()->model()->index(1, 1).data().toString(), QStringLiteral("131072"));

    selectRow(driver, 3);
    const QString exported = folder->filePath("rootfs.out");
    {
        DialogScript script({ exported });
        action(driver, "Save as...")->trigger();
    }
    QCOMPARE(
        driver.statusBar()->currentMessage(), QStringLiteral("Save block %1 successfully!!!").arg(exported));
    QCOMPARE(readFile(exported), image.mid(0x70000, 0x8000));
}

void TestBlockActions::noSelection()
{
    WindowDriver driver;
    openImage(driver);
    QVERIFY(!driver.table()->selectionModel()->currentIndex().isValid());
    {
        DialogScript script({});
        action(driver, "Save as...")->trigger();
        QCOMPARE(script.shown.size(), 0);
        QVERIFY(!script.unexpected);
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Not selecting saving block"));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:red"));

    driver.statusBar()->clearMessage();
    {
        DialogScript script({ QString() });
        action(driver, "Replace with...")->trigger();
        QCOMPARE(script.shown.size(), 1);
    }
    QVERIFY2(driver.statusBar()->currentMessage().isEmpty(), "a cancelled dialog shows no message");

    const QString replacement = folder->filePath("any.img");
    QVERIFY(writeFile(replacement, "x"));
    {
        DialogScript script({ replacement, folder->filePath("out.bin") });
        action(driver, "Replace with...")->trigger();
        QCOMPARE(script.shown.size(), 2);
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("no block selected"));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:red"));
}

// After a failed open the table still lists the last image while memory holds the failed one.
void TestBlockActions::staleCatalogueStopsEveryAction()
{
    WindowDriver driver;
    openImage(driver);
    const QString noDmh = folder->filePath("plain.bin");
    QVERIFY(writeFile(noDmh, QByteArray(4096, 'z')));
    driver.dropFile(noDmh);
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Can not find DMH."));
    selectRow(driver, 1);

    const QString output = folder->filePath("stale.out");
    {
        DialogScript script({ output });
        action(driver, "Save as...")->trigger();
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Not data from file!!!"));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:red"));
    QVERIFY(!QFileInfo::exists(output));

    driver.statusBar()->clearMessage();
    const QString replacement = folder->filePath("any.img");
    QVERIFY(writeFile(replacement, "x"));
    {
        DialogScript script({ replacement, output });
        action(driver, "Replace with...")->trigger();
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Not data from file!!!"));
    QVERIFY(!QFileInfo::exists(output));
}

void TestBlockActions::writeOverOpenImageOpensItAgain_data()
{
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("written");
    QTest::addColumn<bool>("sameFile");
    // image.bin is the image; link.bin a symlink to it, hard.bin a hard link of it, other.bin a copy.
    QTest::newRow("same path") << "image.bin"
                               << "image.bin" << true;
    QTest::newRow("opened through a symlink") << "link.bin"
                                              << "image.bin" << true;
    QTest::newRow("written through a symlink") << "image.bin"
                                               << "link.bin" << true;
    QTest::newRow("hard link, replaced apart") << "image.bin"
                                               << "hard.bin" << false;
    QTest::newRow("another file") << "image.bin"
                                  << "other.bin" << false;
}

// Two replacements in a row written over the image: the second starts from what the first wrote.
void TestBlockActions::writeOverOpenImageOpensItAgain()
{
    QFETCH(QString, opened);
    QFETCH(QString, written);
    QFETCH(bool, sameFile);
    QVERIFY(QFile::link(imagePath, folder->filePath("link.bin")));
    QVERIFY(::link(QFile::encodeName(imagePath).constData(),
                QFile::encodeName(folder->filePath("hard.bin")).constData())
        == 0);
    QVERIFY(writeFile(folder->filePath("other.bin"), image));
    const QString target = folder->filePath(written);
    const QByteArray recordData = ImageBuilder::randomBytes(1000, 7);
    const QByteArray paddedData = ImageBuilder::randomBytes(1000, 8);
    const QString recordFile = folder->create("record.img", recordData);
    const QString paddedFile = folder->create("padded.img", paddedData);

    WindowDriver driver;
    driver.dropFile(folder->filePath(opened));
    const QString crcBefore = driver.table()->model()->index(0, 2).data().toString();
    {
        DialogScript script({ recordFile, target });
        QVERIFY(driver.chooseFromMenu(driver.rowPoint(0), "Replace with..."));
        QVERIFY(!script.unexpected);
        QVERIFY2(script.shown.last().replaceConfirmed, "the dialog asks before replacing a file");
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Replace block successfully!!!"));
    QCOMPARE(driver.statusColour(), QStringLiteral("color:#15428b"));
    QCOMPARE(driver.pathField()->text(), folder->filePath(opened));
    // Opened again, the table shows the record's new entry CRC and, like any fresh table, no selection.
    const QString crcAfter = driver.table()->model()->index(0, 2).data().toString();
    QCOMPARE(crcAfter != crcBefore, sameFile);
    QCOMPARE(driver.selectedRows(), sameFile ? QList<int>() : QList<int> { 0 });

    {
        DialogScript script({ paddedFile, target });
        QVERIFY(driver.chooseFromMenu(driver.rowPoint(1), "Replace with..."));
        QVERIFY(!script.unexpected);
    }
    QCOMPARE(driver.statusBar()->currentMessage(), QStringLiteral("Replace block successfully!!!"));
    const QByteArray result = readFile(target);
    QCOMPARE(result.mid(0x30000, 1000), paddedData);
    QCOMPARE(result.mid(0x10000, 1000), sameFile ? recordData : image.mid(0x10000, 1000));
    if (!sameFile)
        QCOMPARE(readFile(imagePath), image);
}

QTEST_MAIN(TestBlockActions)
#include "tst_blockactions.moc"
