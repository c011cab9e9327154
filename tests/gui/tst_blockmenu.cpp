#include "standardimages.h"
#include "testfolder.h"
#include "windowdriver.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

// The block menu on the table: when a right click shows it, where, and how often.
class TestBlockMenu : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstOpen_data();
    void firstOpen();
    void oneMenuPerRightClickAfterManyOpens();
    void menuOpensBelowLastRow();
    void menuKeyShowsCurrentRow();
    void actionsActOnSelectedRowOnly_data();
    void actionsActOnSelectedRowOnly();
    void statusLineKeptThroughMenu_data();
    void statusLineKeptThroughMenu();

private:
    // One gesture of the tables below, as a user makes it: "click 1", "ctrl+click 1", "right click 1" and
    // "right click below" (the menu stays open), "save as 1", "save as below" and "replace with 1" (the
    // entry clicked in the menu shown there), "hover save as", "hover replace with", and the keys
    // "escape", "down", "ctrl+space" and "tab to the table".
    void perform(const QString& gesture);

    std::unique_ptr<TestFolder> folder;
    std::unique_ptr<WindowDriver> driver;
};

void TestBlockMenu::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    driver = std::make_unique<WindowDriver>();
    QVERIFY(driver->blockMenu());
}

void TestBlockMenu::cleanup()
{
    driver.reset();
}

void TestBlockMenu::perform(const QString& gesture)
{
    const QString place = gesture.section(' ', -1);
    const QPoint point = place == "below" ? driver->belowRows() : driver->rowPoint(place.toInt());
    if (gesture.startsWith("click "))
        driver->clickTable(point);
    else if (gesture.startsWith("ctrl+click "))
        driver->clickTable(point, Qt::LeftButton, Qt::ControlModifier);
    else if (gesture.startsWith("right click "))
        driver->clickTable(point, Qt::RightButton);
    else if (gesture.startsWith("save as ") || gesture.startsWith("replace with "))
        QVERIFY(driver->chooseFromMenu(point, gesture.startsWith("save") ? "Save as..." : "Replace with..."));
    else if (gesture.startsWith("hover "))
        driver->hoverMenuEntry(gesture == "hover save as" ? "Save as..." : "Replace with...");
    else if (gesture == "escape")
        driver->pressKey(Qt::Key_Escape);
    else if (gesture == "down")
        driver->pressKey(Qt::Key_Down);
    else if (gesture == "ctrl+space")
        driver->pressKey(Qt::Key_Space, Qt::ControlModifier);
    else if (gesture == "tab to the table")
        for (int presses = 0; presses < 5 && QApplication::focusWidget() != driver->table(); ++presses)
            driver->pressKey(Qt::Key_Tab);
    else
        QFAIL(qPrintable("unknown gesture " + gesture));
}

void TestBlockMenu::firstOpen_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<bool>("menuShown");
    QTest::newRow("nothing opened") << "none" << false << false;
    QTest::newRow("dialog, image loads") << "dialog" << true << true;
    QTest::newRow("dialog, load fails") << "dialog" << false << true;
    QTest::newRow("drop, image loads") << "drop" << true << true;
    QTest::newRow("drop, load fails") << "drop" << false << false;
}

void TestBlockMenu::firstOpen()
{
    QFETCH(QString, way);
    QFETCH(bool, loads);
    QFETCH(bool, menuShown);
    const QString path = loads ? folder->create("small.bin", StandardImages::twoEntries())
                               : folder->create("nodmh.bin", StandardImages::noDmh());
    if (way == "dialog")
        QVERIFY(driver->browse(path).accepted());
    else if (way == "drop")
        driver->dropFile(path);
    QCOMPARE(driver->table()->model() != nullptr, loads);

    QSignalSpy shown(driver->blockMenu(), &QMenu::aboutToShow);
    QSignalSpy requested(driver->table(), &QWidget::customContextMenuRequested);
    driver->clickTable(QPoint(20, 20), Qt::RightButton);
    QCOMPARE(requested.count(), menuShown ? 1 : 0);
    QCOMPARE(shown.count(), menuShown ? 1 : 0);
    QCOMPARE(driver->blockMenu()->isVisible(), menuShown);
    if (menuShown)
        return;
    // Not even a request made by hand reaches the menu: nothing is connected yet.
    emit driver->table()->customContextMenuRequested(QPoint(20, 20));
    QCOMPARE(shown.count(), 0);
    QVERIFY(!driver->blockMenu()->isVisible());
}

void TestBlockMenu::oneMenuPerRightClickAfterManyOpens()
{
    const QString twoDmh = folder->create("twodmh.bin", StandardImages::twoDmhs());
    const QString small = folder->create("small.bin", StandardImages::twoEntries());
    for (int open = 0; open < 10; ++open) {
        const QString path = open % 3 == 2 ? small : twoDmh;
        if (open % 2 == 0)
            QVERIFY(driver->browse(path).accepted());
        else
            driver->dropFile(path);
    }
    QCOMPARE(driver->table()->model()->rowCount(), 8);

    QMenu* menu = driver->blockMenu();
    QSignalSpy shown(menu, &QMenu::aboutToShow);
    const QPoint point = driver->rowPoint(1);
    driver->clickTable(point, Qt::RightButton);
    QCOMPARE(shown.count(), 1);
    QVERIFY(menu->isVisible());
    // Exactly under the mouse: mapped through the viewport, below the 30-pixel header.
    QCOMPARE(menu->pos(), driver->table()->viewport()->mapToGlobal(point));
    QVERIFY(menu->pos() != driver->table()->mapToGlobal(point));
    QVERIFY(menu->activeAction() == nullptr);
    menu->hide();

    emit driver->table()->customContextMenuRequested(point);
    QCOMPARE(shown.count(), 2);
}

void TestBlockMenu::menuOpensBelowLastRow()
{
    driver->dropFile(folder->create("small.bin", StandardImages::twoEntries()));
    QTableView* table = driver->table();
    const QPoint belowRows(table->viewport()->width() / 2, driver->rowPoint(1).y() + 3 * table->rowHeight(1));
    QVERIFY(!table->indexAt(belowRows).isValid());
    QSignalSpy shown(driver->blockMenu(), &QMenu::aboutToShow);
    driver->clickTable(belowRows, Qt::RightButton);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(driver->blockMenu()->pos(), table->viewport()->mapToGlobal(belowRows));
}

// The Menu key on a row scrolled out of view brings the row back into view and opens the menu on it.
void TestBlockMenu::menuKeyShowsCurrentRow()
{
    TestDmh dmh;
    for (int id = 0; id < 100; ++id)
        dmh.entries.append(
            testEntry(quint8(id), quint32(0x1000 + 0x10 * id), 0x10, "b" + QByteArray::number(id)));
    driver->dropFile(folder->create("tall.bin", ImageBuilder(0x2000).dmh(0, dmh).image()));
    QTableView* table = driver->table();
    driver->clickTable(driver->rowPoint(1));
    QCOMPARE(driver->selectedRows(), QList<int> { 1 });
    table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
    const QModelIndex current = table->currentIndex();
    QVERIFY(!table->viewport()->rect().intersects(table->visualRect(current)));

    QSignalSpy shown(driver->blockMenu(), &QMenu::aboutToShow);
    driver->pressMenuKey();
    QCOMPARE(shown.count(), 1);
    QVERIFY(table->viewport()->rect().contains(table->visualRect(current)));
    QCOMPARE(driver->blockMenu()->pos(), table->viewport()->mapToGlobal(table->visualRect(current).center()));
}

void TestBlockMenu::actionsActOnSelectedRowOnly_data()
{
    QTest::addColumn<QStringList>("gestures");
    // The row the actions act on, the one shown selected; -1 for none.
    QTest::addColumn<int>("actedOn");
    QTest::newRow("save as below the rows, first time") << QStringList {} << -1;
    QTest::newRow("save as below the rows, second time") << QStringList { "save as below" } << -1;
    QTest::newRow("menu below the rows closed") << QStringList { "right click below", "escape" } << -1;
    QTest::newRow("ctrl+click on the selected row") << QStringList { "click 1", "ctrl+click 1" } << -1;
    QTest::newRow("ctrl+space on the selected row") << QStringList { "click 2", "ctrl+space" } << -1;
    QTest::newRow("tab into the table") << QStringList { "tab to the table" } << -1;
    QTest::newRow("click on a row") << QStringList { "click 1" } << 1;
    QTest::newRow("click, then down") << QStringList { "click 1", "down" } << 2;
    QTest::newRow("ctrl+click on another row") << QStringList { "click 1", "ctrl+click 3" } << 3;
    QTest::newRow("right click on a row") << QStringList { "right click 2", "escape" } << 2;
    QTest::newRow("row deselected, then clicked")
        << QStringList { "click 1", "ctrl+click 1", "click 0" } << 0;
}

// Both actions are chosen from the menu below the rows, where a right click changes no selection.
void TestBlockMenu::actionsActOnSelectedRowOnly()
{
    QFETCH(QStringList, gestures);
    QFETCH(int, actedOn);
    driver->dropFile(folder->create("four.bin", StandardImages::fourBlocks()));
    // No gesture opens a dialog: one that showed would be closed and noted.
    QVERIFY(!answering({}, [&] {
        for (const QString& gesture : qAsConst(gestures))
            perform(gesture);
    }).unexpected);
    QCOMPARE(driver->selectedRows(), actedOn < 0 ? QList<int>() : QList<int> { actedOn });

    const QString exported = folder->filePath("block.out");
    const DialogsSeen saved = driver->chooseFromMenu(driver->belowRows(), "Save as...", { exported });
    QVERIFY(!saved.unexpected);
    QCOMPARE(saved.shown.size(), actedOn < 0 ? 0 : 1);
    QCOMPARE(QFileInfo::exists(exported), actedOn >= 0);
    if (actedOn >= 0) {
        QCOMPARE(
            saved.shown[0].proposedName, QStringList({ "boot", "kernel", "nocrc", "rootfs" }).at(actedOn));
        QCOMPARE(driver->status(), QStringLiteral("Save block %1 successfully!!!").arg(exported));
        return;
    }
    QCOMPARE(driver->status(), QStringLiteral("Not selecting saving block"));
    QCOMPARE(driver->statusColour(), failureColour);

    const QString output = folder->filePath("out.bin");
    const QString replacement = folder->create("new.img", QByteArray(100, 'r'));
    const DialogsSeen replaced
        = driver->chooseFromMenu(driver->belowRows(), "Replace with...", { replacement, output });
    QVERIFY(!replaced.unexpected);
    QCOMPARE(replaced.shown.size(), 2);
    QCOMPARE(driver->status(), QStringLiteral("no block selected"));
    QCOMPARE(driver->statusColour(), failureColour);
    QVERIFY(!QFileInfo::exists(output));
    QCOMPARE(driver->selectedRows(), QList<int>());
}

void TestBlockMenu::statusLineKeptThroughMenu_data()
{
    QTest::addColumn<QStringList>("gestures");
    QTest::addColumn<QStringList>("answers");
    QTest::newRow("hover save as") << QStringList { "right click below", "hover save as" } << QStringList();
    QTest::newRow("hover replace with") << QStringList { "right click below", "hover replace with",
        "hover save as", "escape" } << QStringList();
    QTest::newRow("keys through the menu")
        << QStringList { "right click 1", "down", "down", "escape" } << QStringList();
    QTest::newRow("save as, dialog cancelled") << QStringList { "save as 1" } << QStringList { "" };
    QTest::newRow("replace with, first dialog cancelled")
        << QStringList { "replace with 1" } << QStringList { "" };
    QTest::newRow("replace with, second dialog cancelled")
        << QStringList { "replace with 1" } << QStringList { "replacement", "" };
}

// The status line keeps the last message, whatever the menu and its entries point at.
void TestBlockMenu::statusLineKeptThroughMenu()
{
    QFETCH(QStringList, gestures);
    QFETCH(QStringList, answers);
    driver->dropFile(folder->create("four.bin", StandardImages::fourBlocks()));
    QVERIFY(!driver->chooseFromMenu(driver->belowRows(), "Save as...", {}).unexpected);
    const QString message = QStringLiteral("Not selecting saving block");
    QCOMPARE(driver->status(), message);

    answers.replaceInStrings("replacement", folder->create("new.img", QByteArray(100, 'r')));
    {
        DialogScript script(answers);
        for (const QString& gesture : qAsConst(gestures)) {
            perform(gesture);
            QCOMPARE(driver->status(), message);
        }
        QCOMPARE(script.shown.size(), answers.size());
        QVERIFY(!script.unexpected);
    }
    QCOMPARE(driver->status(), message);
    QCOMPARE(driver->statusColour(), failureColour);
}

QTEST_MAIN(TestBlockMenu)
#include "tst_blockmenu.moc"
