#include "standardimages.h"
#include "testfolder.h"
#include "windowdriver.h"

#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

// The block menu on the table: when a right click shows it, where, and how often.
class TestBlockMenu : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void noMenuBeforeFirstOpen();
    void firstOpen_data();
    void firstOpen();
    void oneMenuPerRightClickAfterManyOpens();
    void menuOpensBelowLastRow();

private:
    // Right-clicks the table's viewport at `point` through the window, as the platform delivers it.
    void rightClick(const QPoint& point);
    QPoint rowPoint(int row) const;

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

void TestBlockMenu::rightClick(const QPoint& point)
{
    QWidget* viewport = driver->table()->viewport();
    QWindow* window = driver->window().windowHandle();
    QTest::mouseClick(window, Qt::RightButton, Qt::NoModifier, viewport->mapTo(&driver->window(), point));
}

QPoint TestBlockMenu::rowPoint(int row) const
{
    QTableView* table = driver->table();
    return table->visualRect(table->model()->index(row, 1)).center();
}

void TestBlockMenu::noMenuBeforeFirstOpen()
{
    QSignalSpy shown(driver->blockMenu(), &QMenu::aboutToShow);
    QSignalSpy requested(driver->table(), &QWidget::customContextMenuRequested);
    rightClick(QPoint(20, 20));
    QCOMPARE(requested.count(), 0);
    // Not even a request made by hand reaches the menu: nothing is connected yet.
    emit driver->table()->customContextMenuRequested(QPoint(20, 20));
    QCOMPARE(shown.count(), 0);
    QVERIFY(!driver->blockMenu()->isVisible());
}

void TestBlockMenu::firstOpen_data()
{
    QTest::addColumn<bool>("byDialog");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<bool>("menuShown");
    QTest::newRow("dialog, image loads") << true << true << true;
    QTest::newRow("dialog, load fails") << true << false << true;
    QTest::newRow("drop, image loads") << false << true << true;
    QTest::newRow("drop, load fails") << false << false << false;
}

void TestBlockMenu::firstOpen()
{
    QFETCH(bool, byDialog);
    QFETCH(bool, loads);
    QFETCH(bool, menuShown);
    const QString path = loads ? folder->create("small.bin", StandardImages::twoEntries())
                               : folder->create("nodmh.bin", StandardImages::noDmh());
    if (byDialog)
        QVERIFY(driver->browse(path).accepted);
    else
        driver->dropFile(path);
    QCOMPARE(driver->table()->model() != nullptr, loads);

    QSignalSpy shown(driver->blockMenu(), &QMenu::aboutToShow);
    rightClick(QPoint(20, 20));
    QCOMPARE(shown.count(), menuShown ? 1 : 0);
    QCOMPARE(driver->blockMenu()->isVisible(), menuShown);
}

void TestBlockMenu::oneMenuPerRightClickAfterManyOpens()
{
    const QString twoDmh = folder->create("twodmh.bin", StandardImages::twoDmhs());
    const QString small = folder->create("small.bin", StandardImages::twoEntries());
    for (int open = 0; open < 10; ++open) {
        const QString path = open % 3 == 2 ? small : twoDmh;
        if (open % 2 == 0)
            QVERIFY(driver->browse(path).accepted);
        else
            driver->dropFile(path);
    }
    QCOMPARE(driver->table()->model()->rowCount(), 8);

    QMenu* menu = driver->blockMenu();
    QSignalSpy shown(menu, &QMenu::aboutToShow);
    const QPoint point = rowPoint(1);
    rightClick(point);
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
    const QPoint belowRows(table->viewport()->width() / 2, rowPoint(1).y() + 3 * table->rowHeight(1));
    QVERIFY(!table->indexAt(belowRows).isValid());
    QSignalSpy shown(driver->blockMenu(), &QMenu::aboutToShow);
    rightClick(belowRows);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(driver->blockMenu()->pos(), table->viewport()->mapToGlobal(belowRows));
}

QTEST_MAIN(TestBlockMenu)
#include "tst_blockmenu.moc"
