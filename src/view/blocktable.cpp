#include "app/mainwindow.h"

#include "model/blockcolumns.h"

#include <QBrush>
#include <QColor>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTableView>

#include <memory>
#include <utility>

namespace {

// An empty table with the block columns' headers.
std::unique_ptr<QStandardItemModel> modelWithHeaders()
{
    auto model = std::make_unique<QStandardItemModel>();
    for (int column = 0; column < BlockColumns::count; ++column) {
        const char* title = BlockColumns::title(BlockColumns::Column(column));
        model->setHorizontalHeaderItem(column, new QStandardItem(QObject::tr(title)));
    }
    return model;
}

// How many rows the catalogue's blocks take; -1 when a DMH lists none, which leaves the shown table as
// it is.
int rowsToShow(const QVector<DmhRecord>& catalogue)
{
    int rows = 0;
    for (const DmhRecord& dmh : catalogue) {
        if (dmh.entries.isEmpty())
            return -1;
        rows += dmh.entries.size();
    }
    return rows;
}

// One row per entry of every DMH, in catalogue order, into a model already sized for them.
void fillRows(QStandardItemModel& model, const QVector<DmhRecord>& catalogue)
{
    // Every cell is centred and every other row shaded. Each cell is cloned from one of these two and then
    // given its text: the clone shares their roles, which is far cheaper than setting three roles on
    // each of hundreds of thousands of cells.
    QStandardItem shadedCell { QString() };
    shadedCell.setTextAlignment(Qt::AlignCenter);
    shadedCell.setBackground(QBrush(QColor(229, 239, 252, 255), Qt::SolidPattern));
    QStandardItem plainCell { QString() };
    plainCell.setTextAlignment(Qt::AlignCenter);

    int row = 0;
    for (const DmhRecord& dmh : catalogue) {
        for (const BlockEntry& entry : dmh.entries) {
            // The shading alternates through the whole table, not per DMH.
            const QStandardItem& prototype = row % 2 == 0 ? shadedCell : plainCell;
            for (int column = 0; column < BlockColumns::count; ++column) {
                QStandardItem* item = prototype.clone();
                item->setText(BlockColumns::text(entry, BlockColumns::Column(column)));
                model.setItem(row, column, item);
            }
            ++row;
        }
    }
}

void styleHeader(QHeaderView* header)
{
    header->setSectionResizeMode(QHeaderView::Stretch);
    header->setFixedHeight(30);
    header->setStyleSheet(QStringLiteral("QHeaderView::section {background-color:lightblue;color: black;"
                                         "padding-left: 4px;border: 1px solid #6c6c6c;}"));
}

// Puts `model` on screen in `table`. The replaced model and its selection model are shown nowhere else
// and nothing else refers to them: they go once the new table is on screen, the model parented to
// `owner` in the meantime, so that it cannot outlive it.
void showModel(QTableView* table, std::unique_ptr<QStandardItemModel> model, QObject* owner)
{
    QAbstractItemModel* previousModel = table->model();
    QItemSelectionModel* previousSelection = table->selectionModel();
    table->setModel(model.release());
    if (previousSelection)
        previousSelection->deleteLater();
    if (previousModel) {
        previousModel->setParent(owner);
        previousModel->deleteLater();
    }
}

} // namespace

void MainWindow::buildBlockTable()
{
    auto model = modelWithHeaders();
    ui.tableView->verticalHeader()->hide();
    ui.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);

    catalogue = flashImage.dmhRecords();
    // An image without blocks to list leaves the previous table on screen. Its rows are another image's,
    // so `tableGeneration` keeps naming that image: no action may take them for this one's blocks.
    const int rows = rowsToShow(catalogue);
    if (rows <= 0)
        return;
    tableGeneration = flashImage.generation();

    // Sizing the model once and finishing each item before it is inserted keeps a table of tens of
    // thousands of rows from paying for a signal per cell.
    model->setRowCount(rows);
    // The new table replaces the shown one, whose cells go first: the new cells then take over their
    // freed memory, where a table of tens of thousands of rows would otherwise start on fresh pages.
    if (auto* shownModel = qobject_cast<QStandardItemModel*>(ui.tableView->model()))
        shownModel->clear();
    fillRows(*model, catalogue);

    styleHeader(ui.tableView->horizontalHeader());
    showModel(ui.tableView, std::move(model), this);
}
