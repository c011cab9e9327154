#include "imagebuilder.h"
#include "standardimages.h"
#include "testfiles.h"
#include "testfolder.h"
#include "windowdriver.h"

#include "model/imagelayout.h"

#include <QTextCodec>
#include <QtTest>

#include <unistd.h>

class TestBlockActions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void exportsSelectedBlock();
    void proposesPlainFileName_data();
    void proposesPlainFileName();
    void replaces_data();
    void replaces();
    void growthStaysInMemoryButNotInTable();
    void refusedWithoutUsableBlock_data();
    void refusedWithoutUsableBlock();
    void writeOverOpenImageOpensItAgain_data();
    void writeOverOpenImageOpensItAgain();

private:
    // Drops image.bin on the window; its four blocks are listed.
    void openImage(WindowDriver& driver);

    std::unique_ptr<TestFolder> folder;
    QString imagePath;
    QByteArray image;
};

void TestBlockActions::initTestCase()
{
    // Names are decoded as a desktop of today decodes them.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void TestBlockActions::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    image = StandardImages::fourBlocks();
    imagePath = folder->create("image.bin", image);
}

void TestBlockActions::openImage(WindowDriver& driver)
{
    driver.dropFile(imagePath);
    QCOMPARE(driver.pathField()->text(), imagePath);
    QCOMPARE(driver.table()->model()->rowCount(), 4);
}

void TestBlockActions::exportsSelectedBlock()
{
    WindowDriver driver;
    openImage(driver);
    driver.selectRow(0);
    const QString output = folder->filePath("boot.out");

    const CursorWatch watch(driver);
    const DialogsSeen seen = driver.trigger("Save as...", { output });
    QVERIFY2(watch.busyThroughout(), "the export runs under the busy cursor");
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QVERIFY(seen.accepted());
    QCOMPARE(seen.summaries(), QStringList { "Save Block in " + QDir::currentPath() + ": All (*.*)" });
    QCOMPARE(seen.shown[0].proposedName, QStringLiteral("boot"));

    QCOMPARE(driver.status(), QStringLiteral("Save block %1 successfully!!!").arg(output));
    QCOMPARE(driver.statusColour(), successColour);
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
    QTest::newRow("home folder") << QByteArray("~root") << "root";
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
    WindowDriver driver;
    driver.dropFile(folder->create("image.bin", ImageBuilder(0x1000).dmh(0, dmh).image()));
    QCOMPARE(driver.cell(0, 3), QString::fromLocal8Bit(name.leftJustified(8, '\0').constData(), 8));

    const DialogsSeen seen = driver.chooseFromMenu(driver.rowPoint(0), "Save as...", { QString() });
    QVERIFY(!seen.unexpected);
    QCOMPARE(seen.shown.size(), 1);
    QCOMPARE(seen.shown[0].proposedName, proposed);
    QCOMPARE(seen.shown[0].directory, QDir::currentPath());
}

void TestBlockActions::replaces_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("written");
    QTest::addColumn<bool>("imageGone");
    QTest::newRow("record") << 0 << 0x1FFC0 << "Replace block successfully!!!" << true << false;
    QTest::newRow("record, one byte too many")
        << 0 << 0x1FFC1 << "File size is over max size, can not replace!!!" << false << false;
    QTest::newRow("padded") << 1 << 1000 << "Replace block successfully!!!" << true << false;
    QTest::newRow("grow") << 1 << 0x30000 << "Replace Block successfully!!!" << true << false;
    // The growth looks for the file the image was loaded from last of all.
    QTest::newRow("grow, image file deleted") << 1 << 0x30000 << "Can not open IMAGE!!!" << false << true;
}

void TestBlockActions::replaces()
{
    QFETCH(int, row);
    QFETCH(int, length);
    QFETCH(QString, message);
    QFETCH(bool, written);
    QFETCH(bool, imageGone);
    WindowDriver driver;
    openImage(driver);
    if (imageGone)
        QVERIFY(QFile::remove(imagePath));
    driver.selectRow(row);
    const QByteArray bytes = ImageBuilder::randomBytes(length, 5);
    const QString replacement = folder->create("new.img", bytes);
    const QString output = folder->filePath("out.bin");

    const CursorWatch watch(driver);
    const DialogsSeen seen = driver.trigger("Replace with...", { replacement, output });
    // The busy cursor from the choice to the message, and gone after a refusal as after a write.
    QVERIFY2(watch.busyThroughout(), "the replacement runs under the busy cursor");
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QVERIFY(seen.accepted());
    QCOMPARE(seen.summaries(),
        QStringList({ "Select a block in /: All (*.*)", "Save flash Bin in /: Bin (*.bin)" }));
    QCOMPARE(driver.status(), message.replace("IMAGE", imagePath));
    QCOMPARE(driver.statusColour(), written ? successColour : failureColour);
    QCOMPARE(QFileInfo::exists(output), written);
    if (!written) {
        // Nothing of a replacement that failed stays behind: the block exports as it was loaded.
        const QString exported = folder->filePath("block.out");
        driver.trigger("Save as...", { exported });
        QCOMPARE(driver.status(), QStringLiteral("Save block %1 successfully!!!").arg(exported));
        QVERIFY(readFile(exported) == (row == 0 ? image.mid(0x10000, 1000) : image.mid(0x30000, 0x20000)));
        return;
    }
    const QByteArray result = readFile(output);
    QCOMPARE(result.size(), int(StandardImages::fourBlocksLength));
    QCOMPARE(result.mid(row == 0 ? 0x10000 : 0x30000, length), bytes);
    if (row == 0) {
        // The record carries the replacement's length and a time from the local clock.
        const uchar* record = reinterpret_cast<const uchar*>(result.constData()) + 0x30000 - 64;
        QCOMPARE(ImageLayout::readU32(record + 24), quint32(length));
        QVERIFY(qAbs(int(ImageLayout::readU16(record + 48)) - QDate::currentDate().year()) <= 1);
    }
}

void TestBlockActions::growthStaysInMemoryButNotInTable()
{
    WindowDriver driver;
    openImage(driver);
    driver.selectRow(1);
    const QString replacement = folder->create("kernel.img", ImageBuilder::randomBytes(0x30000, 6));
    driver.trigger("Replace with...", { replacement, folder->filePath("grown.bin") });
    QCOMPARE(driver.status(), QStringLiteral("Replace Block successfully!!!"));
    QCOMPARE(driver.cell(1, 1), QStringLiteral("131072"));

    driver.selectRow(3);
    const QString exported = folder->filePath("rootfs.out");
    driver.trigger("Save as...", { exported });
    QCOMPARE(driver.status(), QStringLiteral("Save block %1 successfully!!!").arg(exported));
    QCOMPARE(readFile(exported), image.mid(0x70000, 0x8000));
}

namespace {

// Answers are paths to type, "replacement" standing for a file of one byte and "out" for an output beside
// the image, or empty to cancel. `thenOpened`, when not empty, is an image opened after image.bin that
// leaves image.bin's table on screen.
void refusal(const char* name, const QByteArray& thenOpened, const char* entry, const QStringList& answers,
    const char* message)
{
    QTest::newRow(name) << thenOpened << QString(entry) << answers << QString(message);
}

// Blocks with the IDs of image.bin's first two (other bytes, other names), and a second DMH listing none.
QByteArray sameIdsAndAnEmptyDmh()
{
    const TestDmh listed
        = testDmh({ testEntry(2, 0x1000, 0x1000, "other"), testEntry(1, 0x2000, 0x1000, "env") });
    return ImageBuilder(0x10000, 'o').dmh(0, listed).dmh(0x8000, testDmh({})).image();
}

} // namespace

void TestBlockActions::refusedWithoutUsableBlock_data()
{
    QTest::addColumn<QByteArray>("thenOpened");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("message");
    refusal("save as, no selection", {}, "Save as...", {}, "Not selecting saving block");
    refusal("replace with, no selection, cancelled", {}, "Replace with...", { "" }, "");
    refusal(
        "replace with, no selection", {}, "Replace with...", { "replacement", "out" }, "no block selected");
    // After a failed open the table still lists the last image while memory holds the failed one.
    const QByteArray noDmh(4096, 'z');
    refusal("save as, stale table", noDmh, "Save as...", { "out" }, "Not data from file!!!");
    refusal("replace with, stale table", noDmh, "Replace with...", { "replacement", "out" },
        "Not data from file!!!");
    // An image with a DMH that lists no block loads but is not shown: the rows are still image.bin's.
    refusal("save as, table kept by an empty DMH", sameIdsAndAnEmptyDmh(), "Save as...", { "out" },
        "Not data from file!!!");
    refusal("replace with, table kept by an empty DMH", sameIdsAndAnEmptyDmh(), "Replace with...",
        { "replacement", "out" }, "Not data from file!!!");
}

void TestBlockActions::refusedWithoutUsableBlock()
{
    QFETCH(QByteArray, thenOpened);
    QFETCH(QString, entry);
    QFETCH(QStringList, answers);
    QFETCH(QString, message);
    const QString output = folder->filePath("out.bin");
    answers.replaceInStrings(QRegularExpression("^out$"), output);
    answers.replaceInStrings(QRegularExpression("^replacement$"), folder->create("any.img", "x"));
    WindowDriver driver;
    openImage(driver);
    if (!thenOpened.isEmpty()) {
        driver.dropFile(folder->create("then.bin", thenOpened));
        QCOMPARE(driver.table()->model()->rowCount(), 4);
        QCOMPARE(driver.cell(1, 3), QString::fromLocal8Bit("kernel\0\0", 8));
        driver.selectRow(1);
        driver.statusBar()->clearMessage();
    }
    const DialogsSeen seen = driver.trigger(entry, answers);
    QCOMPARE(seen.shown.size(), answers.size());
    QVERIFY(!seen.unexpected);
    QCOMPARE(driver.status(), message);
    if (!message.isEmpty())
        QCOMPARE(driver.statusColour(), failureColour);
    QVERIFY(!QFileInfo::exists(output));
}

namespace {

// image.bin is the image; link.bin a symlink to it, hard.bin a hard link of it, other.bin a copy.
void writeOver(const char* name, const char* opened, const char* written, bool sameFile)
{
    QTest::newRow(name) << QString(opened) << QString(written) << sameFile;
}

} // namespace

void TestBlockActions::writeOverOpenImageOpensItAgain_data()
{
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("written");
    QTest::addColumn<bool>("sameFile");
    writeOver("same path", "image.bin", "image.bin", true);
    writeOver("opened through a symlink", "link.bin", "image.bin", true);
    writeOver("written through a symlink", "image.bin", "link.bin", true);
    writeOver("hard link, replaced apart", "image.bin", "hard.bin", false);
    writeOver("another file", "image.bin", "other.bin", false);
}

// Two replacements in a row written over the image: the second starts from what the first wrote.
void TestBlockActions::writeOverOpenImageOpensItAgain()
{
    QFETCH(QString, opened);
    QFETCH(QString, written);
    QFETCH(bool, sameFile);
    QVERIFY(QFile::link(imagePath, folder->filePath("link.bin")));
    QCOMPARE(::link(QFile::encodeName(imagePath).constData(),
                 QFile::encodeName(folder->filePath("hard.bin")).constData()),
        0);
    folder->create("other.bin", image);
    const QString target = folder->filePath(written);
    const QByteArray recordData = ImageBuilder::randomBytes(1000, 7);
    const QByteArray paddedData = ImageBuilder::randomBytes(1000, 8);

    WindowDriver driver;
    driver.dropFile(folder->filePath(opened));
    const QString crcBefore = driver.cell(0, 2);
    const DialogsSeen first = driver.chooseFromMenu(
        driver.rowPoint(0), "Replace with...", { folder->create("record.img", recordData), target });
    QVERIFY(!first.unexpected);
    QVERIFY2(first.shown.last().replaceConfirmed, "the dialog asks before replacing a file");
    QCOMPARE(driver.status(), QStringLiteral("Replace block successfully!!!"));
    QCOMPARE(driver.statusColour(), successColour);
    QCOMPARE(driver.pathField()->text(), folder->filePath(opened));
    // Opened again, the table shows the record's new entry CRC and, like any fresh table, no selection.
    QCOMPARE(driver.cell(0, 2) != crcBefore, sameFile);
    QCOMPARE(driver.selectedRows(), sameFile ? QList<int>() : QList<int> { 0 });

    const DialogsSeen second = driver.chooseFromMenu(
        driver.rowPoint(1), "Replace with...", { folder->create("padded.img", paddedData), target });
    QVERIFY(!second.unexpected);
    QCOMPARE(driver.status(), QStringLiteral("Replace block successfully!!!"));
    const QByteArray result = readFile(target);
    QCOMPARE(result.mid(0x30000, 1000), paddedData);
    QCOMPARE(result.mid(0x10000, 1000), sameFile ? recordData : image.mid(0x10000, 1000));
    if (!sameFile)
        QCOMPARE(readFile(imagePath), image);
}

QTEST_MAIN(TestBlockActions)
#include "tst_blockactions.moc"
