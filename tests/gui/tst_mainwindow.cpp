#include "app/stylesheet.h"
#include "standardimages.h"
#include "testfolder.h"
#include "windowdriver.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace {

// The relative luminance of a colour, as contrast ratios are reckoned (WCAG 2).
double luminance(QRgb colour)
{
    const auto linear = [](int channel) {
        const double value = channel / 255.0;
        return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(colour)) + 0.7152 * linear(qGreen(colour)) + 0.0722 * linear(qBlue(colour));
}

// The contrast of text on its background in a picture of one widget, frames cut off by `inset`: the
// background is the commonest colour, the text the pixel farthest from it in luminance.
double textContrast(const QImage& picture, int inset)
{
    const QRect inside = picture.rect().adjusted(inset, inset, -inset, -inset);
    QHash<QRgb, int> counts;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            ++counts[picture.pixel(x, y) | 0xff000000u];
    const QList<QRgb> colours = counts.keys();
    const double background = luminance(*std::max_element(
        colours.begin(), colours.end(), [&](QRgb one, QRgb other) { return counts[one] < counts[other]; }));
    double text = background;
    for (QRgb colour : colours)
        if (std::abs(luminance(colour) - background) > std::abs(text - background))
            text = luminance(colour);
    return (std::max(background, text) + 0.05) / (std::min(background, text) + 0.05);
}

// What a dark desktop theme hands the application: light text on near-black.
QPalette darkDesktopPalette()
{
    const QColor light(239, 240, 241);
    const QColor window(35, 38, 41);
    return QPalette(light, QColor(49, 54, 59), QColor(70, 75, 80), QColor(20, 22, 24), QColor(40, 44, 48),
        light, Qt::white, QColor(20, 22, 24), window);
}

} // namespace

// The window as it starts: form, texts, fonts, resources, style sheet, meta-object and block menu.
class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void startsEmpty();
    void formTexts_data();
    void formTexts();
    void windowProperties();
    void tableTakesExtraHeight();
    void slotsInMetaObject();
    void blockMenuEntries();
    void resourcesLoad();
    void styleSheetEndsAtNul_data();
    void styleSheetEndsAtNul();
    void readableOnDarkDesktop_data();
    void readableOnDarkDesktop();
    void commandLine_data();
    void commandLine();
};

void TestMainWindow::startsEmpty()
{
    WindowDriver driver;
    QLineEdit* path = driver.pathField();
    QVERIFY(path);
    QVERIFY(path->text().isEmpty());
    QVERIFY(path->isReadOnly());
    QVERIFY(path->isEnabled());
    for (const char* value : { "laSDRAMSize", "laFlashSize", "laBlockNum", "laSoftVer" })
        QVERIFY2(driver.labelText(value).isEmpty(), value);
    QCOMPARE(driver.table()->model(), nullptr);
    QCOMPARE(driver.table()->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(driver.table()->contextMenuPolicy(), Qt::NoContextMenu);
    QVERIFY(driver.status().isEmpty());
    QCOMPARE(driver.window().statusBar(), driver.statusBar());

    // No menu bar, no tool bar, and "About" reachable from nowhere.
    QVERIFY(driver.window().findChildren<QMenuBar*>().isEmpty());
    QVERIFY(driver.window().findChildren<QToolBar*>().isEmpty());
    auto* about = driver.find<QAction>("actionAbout");
    QVERIFY(about);
    QCOMPARE(about->text(), QStringLiteral("About"));
    QVERIFY(about->associatedWidgets().isEmpty());
    QVERIFY(about->shortcut().isEmpty());

    // Only the path field takes drops.
    QVERIFY(path->acceptDrops());
    QVERIFY(!driver.window().acceptDrops());
    QVERIFY(!driver.table()->acceptDrops());
    QVERIFY(!driver.table()->viewport()->acceptDrops());
}

void TestMainWindow::formTexts_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("text");
    QTest::newRow("path caption") << QStringLiteral("label") << "Flash Path";
    QTest::newRow("browse") << QStringLiteral("BtnBrowseFlash") << "Browse";
    QTest::newRow("sdram caption") << QStringLiteral("label_2") << "SDRAM Size:";
    QTest::newRow("flash caption") << QStringLiteral("label_4") << "Flash Size:";
    QTest::newRow("block caption") << QStringLiteral("label_6") << "Block Number:";
    QTest::newRow("version caption") << QStringLiteral("label_8") << "Software Version:";
}

void TestMainWindow::formTexts()
{
    QFETCH(QString, objectName);
    QFETCH(QString, text);
    WindowDriver driver;
    QWidget* widget = driver.window().findChild<QWidget*>(objectName);
    QVERIFY2(widget, qPrintable(objectName));
    QCOMPARE(widget->property("text").toString(), text);
}

void TestMainWindow::windowProperties()
{
    WindowDriver driver;
    MainWindow& window = driver.window();
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Tessel"));
    QCOMPARE(window.size(), QSize(661, 520));
    QCOMPARE(window.windowModality(), Qt::NonModal);
    QCOMPARE(window.font().family(), QStringLiteral("Arial"));
    QCOMPARE(window.font().pointSize(), 9);
    QVERIFY(!window.windowIcon().isNull());

    auto* central = driver.find<QWidget>("centralWidget");
    QCOMPARE(window.centralWidget(), central);
    QCOMPARE(central->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(central->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    // The application style sheet overrides the form's fonts and colours where it has rules.
    for (const char* name :
        { "label", "laBlockNum", "LEBinFile", "BtnBrowseFlash", "tableView", "statusBar" }) {
        const QFont font = driver.find<QWidget>(name)->font();
        QVERIFY2(font.family() == QStringLiteral("Calibri") && font.pixelSize() == 14, name);
    }
    QCOMPARE(driver.pathField()->palette().color(QPalette::Text), QColor(0x15428b));
    QCOMPARE(driver.find<QLabel>("label_2")->palette().color(QPalette::WindowText), QColor(0x15428b));
}

void TestMainWindow::tableTakesExtraHeight()
{
    WindowDriver driver;
    QWidget* browse = driver.find<QWidget>("BtnBrowseFlash");
    QWidget* blockLabel = driver.find<QWidget>("label_6");
    driver.window().resize(661, 600);
    QTRY_COMPARE(driver.window().height(), 600);
    QCoreApplication::processEvents();
    const int browseHeight = browse->height();
    const int labelHeight = blockLabel->height();
    const int tableHeight = driver.table()->height();
    driver.window().resize(661, 900);
    QTRY_COMPARE(driver.table()->height(), tableHeight + 300);
    QCOMPARE(browse->height(), browseHeight);
    QCOMPARE(blockLabel->height(), labelHeight);
}

void TestMainWindow::slotsInMetaObject()
{
    const QMetaObject& meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.classInfoCount() - meta.classInfoOffset(), 0);
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);
    QCOMPARE(meta.enumeratorCount() - meta.enumeratorOffset(), 0);
    QCOMPARE(meta.constructorCount(), 0);

    QStringList signatures;
    for (int index = meta.methodOffset(); index < meta.methodCount(); ++index) {
        const QMetaMethod method = meta.method(index);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        signatures << QString::fromLatin1(method.methodSignature());
    }
    const QStringList expected { "slotClickSaveBlock()", "slotClickSaveBin()", "slotBrowseFlash()",
        "TableViewMenuRequested(QPoint)" };
    QCOMPARE(signatures, expected);
    const QMetaMethod menuSlot = meta.method(meta.methodOffset() + 3);
    QCOMPARE(menuSlot.parameterNames(), QList<QByteArray> { "pos" });
}

void TestMainWindow::blockMenuEntries()
{
    WindowDriver driver;
    QMenu* menu = driver.blockMenu();
    QVERIFY(menu);
    QVERIFY(!menu->isVisible());
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions.at(0)->text(), QStringLiteral("Save as..."));
    QVERIFY(actions.at(1)->isSeparator());
    QCOMPARE(actions.at(2)->text(), QStringLiteral("Replace with..."));
    for (QAction* action : actions)
        QVERIFY(action->isEnabled());
}

void TestMainWindow::resourcesLoad()
{
    QFile sheet(QStringLiteral(":/global.qss"));
    QVERIFY2(sheet.open(QIODevice::ReadOnly), "the style sheet is not compiled in");
    const QByteArray sheetBytes = sheet.readAll();
    QVERIFY(sheetBytes.startsWith("/* Customize any plain widget that is a child of a QMainWindow. */"));
    QVERIFY(QFile::exists(QStringLiteral(":/background.png")));

    const QIcon icon(QStringLiteral(":/Tessel/icon1.ico"));
    const QList<QSize> sizes = icon.availableSizes();
    for (int side : { 16, 32, 48, 64 })
        QVERIFY2(sizes.contains(QSize(side, side)), qPrintable(QString::number(side)));

    // The window applies the compiled-in sheet to the whole application.
    WindowDriver driver;
    QCOMPARE(qApp->styleSheet(), QString::fromLatin1(sheetBytes));
    QCOMPARE(driver.window().windowIcon().availableSizes().size(), sizes.size());
}

void TestMainWindow::styleSheetEndsAtNul_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("applied");
    QTest::newRow("plain") << QByteArray("QLabel { color: red; }") << "QLabel { color: red; }";
    QTest::newRow("nul inside") << QByteArray("QLabel { color: red; }\0QLabel { color: blue; }", 46)
                                << "QLabel { color: red; }";
    QTest::newRow("nul first") << QByteArray("\0QLabel { color: blue; }", 24) << "";
    QTest::newRow("latin-1") << QByteArray("/* caf\xe9 */") << QString::fromUtf8("/* café */");
    QTest::newRow("empty") << QByteArray() << "";
}

void TestMainWindow::styleSheetEndsAtNul()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, applied);
    QTemporaryDir folder;
    const QString path = folder.filePath("sheet.qss");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    qApp->setStyleSheet(QStringLiteral("QLabel { color: green; }"));
    applyStyleSheet(path);
    QCOMPARE(qApp->styleSheet(), applied);

    // A sheet that cannot be read clears the application's sheet.
    applyStyleSheet(folder.filePath("missing.qss"));
    QCOMPARE(qApp->styleSheet(), QString());
    applyStyleSheet();
}

void TestMainWindow::readableOnDarkDesktop_data()
{
    QTest::addColumn<QString>("part");
    QTest::newRow("path field") << "path field";
    QTest::newRow("browse button") << "browse button";
    QTest::newRow("odd table row") << "odd table row";
    QTest::newRow("file dialog's name field") << "file dialog";
}

// Grabs a part of the window as a dark desktop shows it and measures its text against its background.
void TestMainWindow::readableOnDarkDesktop()
{
    QFETCH(QString, part);
    QApplication::setPalette(darkDesktopPalette());
    TestFolder folder;
    WindowDriver driver;
    driver.dropFile(folder.create("twodmh.bin", StandardImages::twoDmhs()));
    QImage picture;
    int inset = 4;
    if (part == "path field") {
        QVERIFY(!driver.pathField()->text().isEmpty());
        picture = driver.pathField()->grab().toImage();
    } else if (part == "browse button") {
        picture = driver.find<QPushButton>("BtnBrowseFlash")->grab().toImage();
    } else if (part == "odd table row") {
        // One cell, inside its grid lines: row 1's name, "kernel12".
        QTableView* table = driver.table();
        picture = table->viewport()->grab(table->visualRect(table->model()->index(1, 3))).toImage();
        inset = 2;
    } else {
        QFileDialog dialog(&driver.window());
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* nameField = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(nameField);
        nameField->setText(QStringLiteral("kernel.bin"));
        // Without the text cursor, which is drawn in another colour than the text.
        nameField->clearFocus();
        picture = nameField->grab().toImage();
    }
    const double contrast = textContrast(picture, inset);
    // 4.5 to 1 is the least contrast for normal text that the web's accessibility guidelines allow.
    QVERIFY2(contrast >= 4.5, qPrintable(QStringLiteral("contrast %1 to 1").arg(contrast)));
}

namespace {

// `out` is how stdout starts, `err` a line stderr holds; empty means nothing of the program's own.
void commandLineRow(const char* name, const QStringList& arguments, bool display, int exitCode,
    const char* out, const char* err = "")
{
    QTest::newRow(name) << arguments << display << exitCode << QByteArray(out) << QByteArray(err);
}

} // namespace

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    commandLineRow("help", { "--help" }, true, 0, "Usage: " TESSEL_PATH " [options] [image]\n");
    commandLineRow("version", { "-v" }, true, 0, "Tessel " TESSEL_VERSION "\n");
    // Where no window can show, the texts are still there.
    commandLineRow("help, no display", { "-h" }, false, 0, "Usage: ");
    commandLineRow("version, no display", { "--version" }, false, 0, "Tessel " TESSEL_VERSION "\n");
    commandLineRow(
        "help after a toolkit option", { "-platform", "offscreen", "--help" }, false, 0, "Usage: ");
    commandLineRow(
        "unknown option", { "--bogus", "image.bin" }, true, 2, "", "Tessel: Unknown option 'bogus'.");
    commandLineRow("two images", { "a.bin", "b.bin" }, true, 2, "",
        "Tessel: Only one image can be opened; 2 were given.");
    // Decoded, \377 would become U+FFFD, and the path another file's name.
    commandLineRow("image name not valid text", { "a\\377.bin" }, true, 2, "",
        "Tessel: Argument 'a\\xff.bin' is not valid text in the locale's encoding; it would name another "
        "file, so it is refused.");
}

// What the program prints and how it ends when its arguments ask for no window, or are wrong.
void TestMainWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
        environment.remove(QString::fromLatin1(name));
    if (display)
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess program;
    program.setProcessEnvironment(environment);
    // Through the shell, whose printf makes the bytes an escape such as \377 in an argument stands for.
    const QString expand = QStringLiteral(
        "p=$0; n=$#; for a; do set -- \"$@\" \"$(printf '%b' \"$a\")\"; done; shift $n; exec \"$p\" \"$@\"");
    program.start(QStringLiteral("/bin/sh"), QStringList { "-c", expand, TESSEL_PATH } + arguments);
    QVERIFY(program.waitForFinished(30000));
    const QByteArray printed = program.readAllStandardOutput();
    const QByteArray complained = program.readAllStandardError();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    QVERIFY2(out.isEmpty() ? printed.isEmpty() : printed.startsWith(out), printed.constData());
    if (err.isEmpty())
        QVERIFY2(!complained.contains("Tessel"), complained.constData());
    else
        QVERIFY2(complained.split('\n').contains(err), complained.constData());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
