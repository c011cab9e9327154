#include "standardimages.h"
#include "testfolder.h"
#include "windowdriver.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QPointer>
#include <QtTest>

// The block table and the summary labels as a loaded image fills them.
class TestBlockTable : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cells_data();
    void cells();
    void rowsShadedAcrossDmhs();
    void tableIsReadOnlyAndSelectsRows();
    void headers();
    void summaryLabels_data();
    void summaryLabels();
    void firstDmhWithoutEntriesKeepsTable();
    void replacedModelIsReleased();

private:
    std::unique_ptr<TestFolder> folder;
    std::unique_ptr<WindowDriver> driver;
};

void TestBlockTable::init()
{
    folder = std::make_unique<TestFolder>();
    QVERIFY(folder->isValid());
    driver = std::make_unique<WindowDriver>();
    driver->dropFile(folder->create("twodmh.bin", StandardImages::twoDmhs()));
    QVERIFY(driver->table()->model());
}

void TestBlockTable::cells_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");
    const QString nul(QChar(0));
    QTest::newRow("id 171 in hex") << 0 << 0 << "ab";
    QTest::newRow("id 31 in hex") << 1 << 0 << "1f";
    QTest::newRow("id 0") << 2 << 0 << "0";
    QTest::newRow("first of second DMH") << 3 << 0 << "1";
    QTest::newRow("last row") << 7 << 0 << "5";
    QTest::newRow("size decimal") << 0 << 1 << "4096";
    QTest::newRow("size all bits set") << 1 << 1 << "4294967295";
    QTest::newRow("crc hex lower case") << 0 << 2 << "abcd";
    QTest::newRow("crc 0") << 1 << 2 << "0";
    QTest::newRow("short name keeps all 8 bytes") << 0 << 3 << "boot" + nul.repeated(4);
    QTest::newRow("8-byte name") << 1 << 3 << "kernel12";
    QTest::newRow("version keeps all 8 bytes") << 0 << 4 << "v1.2.3" + nul.repeated(2);
    QTest::newRow("8-byte version") << 1 << 4 << "20240101";
    QTest::newRow("time") << 0 << 5 << "2014/3/5/14/7/9";
    QTest::newRow("year bytes 05 08") << 2 << 5 << "2053/3/5/14/7/9";
}

void TestBlockTable::cells()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, text);
    const QAbstractItemModel* model = driver->table()->model();
    QCOMPARE(model->rowCount(), 8);
    QCOMPARE(model->columnCount(), 6);
    QCOMPARE(model->index(row, column).data(Qt::DisplayRole).toString(), text);
    QCOMPARE(model->index(row, column).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
}

void TestBlockTable::rowsShadedAcrossDmhs()
{
    const QAbstractItemModel* model = driver->table()->model();
    const QBrush shade(QColor(229, 239, 252, 255), Qt::SolidPattern);
    for (int row = 0; row < model->rowCount(); ++row)
        for (int column = 0; column < model->columnCount(); ++column) {
            const QVariant background = model->index(row, column).data(Qt::BackgroundRole);
            // Even rows are shaded, odd ones have no background of their own.
            QVERIFY2(row % 2 == 0 ? background.value<QBrush>() == shade : !background.isValid(),
                qPrintable(QStringLiteral("row %1, column %2").arg(row).arg(column)));
        }
}

void TestBlockTable::tableIsReadOnlyAndSelectsRows()
{
    QTableView* table = driver->table();
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(table->selectionBehavior(), QAbstractItemView::SelectRows);

    const QModelIndex cell = table->model()->index(4, 1);
    const QString before = cell.data().toString();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, table->visualRect(cell).center());
    QCOMPARE(driver->selectedRows(), QList<int> { 4 });
    QCOMPARE(table->selectionModel()->selectedIndexes().size(), 6);

    QTest::mouseDClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, table->visualRect(cell).center());
    QTest::keyClick(table, Qt::Key_F2);
    QTest::keyClicks(table, "x");
    QVERIFY2(table->viewport()->findChildren<QLineEdit*>().isEmpty(), "an editor opened");
    QCOMPARE(cell.data().toString(), before);
}

void TestBlockTable::headers()
{
    QTableView* table = driver->table();
    const QStringList expected { "ID", "Size(Bytes)", "CRC", "Name", "Version", "Time(Y/M/D/H/M/S)" };
    QHeaderView* header = table->horizontalHeader();
    QStringList texts;
    for (int column = 0; column < table->model()->columnCount(); ++column) {
        texts << table->model()->headerData(column, Qt::Horizontal).toString();
        QCOMPARE(header->sectionResizeMode(column), QHeaderView::Stretch);
    }
    QCOMPARE(texts, expected);
    QCOMPARE(header->height(), 30);
    QCOMPARE(header->minimumHeight(), 30);
    QCOMPARE(header->maximumHeight(), 30);
    QCOMPARE(header->styleSheet(),
        QStringLiteral("QHeaderView::section {background-color:lightblue;color: black;padding-left: 4px;"
                       "border: 1px solid #6c6c6c;}"));
    QVERIFY(table->verticalHeader()->isHidden());
}

namespace {

// The summary labels, left to right, after `image` was dropped on the window that shows twodmh; the
// version stays twodmh's, as an image without one keeps the last.
void summary(const char* name, const char* image, const char* sdram, const char* flash, const char* blocks)
{
    QTest::newRow(name) << QString(image) << QString(sdram) << QString(flash) << QString(blocks) << "V2.1.0";
}

} // namespace

void TestBlockTable::summaryLabels_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("sdram");
    QTest::addColumn<QString>("flash");
    QTest::addColumn<QString>("blocks");
    QTest::addColumn<QString>("version");
    summary("two DMHs, sizes from the last", "twodmh", "67108864", "4294967295", "8");
    summary("small image keeps the earlier version", "small", "33554432", "65536", "2");
    summary("no blocks", "empty", "67108864", "0", "0");
}

void TestBlockTable::summaryLabels()
{
    QFETCH(QString, image);
    QFETCH(QString, sdram);
    QFETCH(QString, flash);
    QFETCH(QString, blocks);
    QFETCH(QString, version);
    if (image == "small")
        driver->dropFile(folder->create("small.bin", StandardImages::twoEntries()));
    else if (image == "empty")
        driver->dropFile(folder->create("empty.bin", StandardImages::emptyDmh()));
    const QStringList labels { driver->labelText("laSDRAMSize"), driver->labelText("laFlashSize"),
        driver->labelText("laBlockNum"), driver->labelText("laSoftVer") };
    QCOMPARE(labels, QStringList({ sdram, flash, blocks, version }));
    QVERIFY(driver->status().isEmpty());
}

void TestBlockTable::firstDmhWithoutEntriesKeepsTable()
{
    QAbstractItemModel* model = driver->table()->model();
    driver->dropFile(folder->create("emptyfirst.bin", StandardImages::emptyDmhBeforeTwoEntries()));
    QCOMPARE(driver->labelText("laBlockNum"), QStringLiteral("2"));
    QCOMPARE(driver->labelText("laSDRAMSize"), QStringLiteral("16777216"));
    QCOMPARE(driver->table()->model(), model);
    QCOMPARE(model->rowCount(), 8);
    QCOMPARE(driver->cell(0, 0), QStringLiteral("ab"));

    // On a first open nothing is listed at all.
    WindowDriver fresh;
    fresh.dropFile(folder->create("empty.bin", StandardImages::emptyDmh()));
    QCOMPARE(fresh.labelText("laBlockNum"), QStringLiteral("0"));
    QCOMPARE(fresh.table()->model(), nullptr);
}

void TestBlockTable::replacedModelIsReleased()
{
    QPointer<QAbstractItemModel> first = driver->table()->model();
    QAbstractItemModelTester tester(first, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QPointer<QItemSelectionModel> firstSelection = driver->table()->selectionModel();
    driver->dropFile(folder->create("small.bin", StandardImages::twoEntries()));
    // Released once the new table is on screen, when control is back in the event loop.
    QTRY_VERIFY(first.isNull());
    QTRY_VERIFY(firstSelection.isNull());
    QCOMPARE(driver->table()->model()->rowCount(), 2);
    QCOMPARE(driver->table()->selectionModel()->model(), driver->table()->model());
}

QTEST_MAIN(TestBlockTable)
#include "tst_blocktable.moc"
