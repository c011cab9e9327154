#include "app/mainwindow.h"

#include <QBrush>
#include <QColor>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QStringList>

#include <memory>

void MainWindow::buildBlockTable()
{
    auto model = std::make_unique<QStandardItemModel>();
    const QStringList headers { QObject::tr("ID"), QObject::tr("Size(Bytes)"), QObject::tr("CRC"),
        QObject::tr("Name"), QObject::tr("Version"), QObject::tr("Time(Y/M/D/H/M/S)") };
    for (int column = 0; column < headers.size(); ++column)
        model->setHorizontalHeaderItem(column, new QStandardItem(headers.at(column)));

    ui.tableView->verticalHeader()->hide();
    ui.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);

    // Every cell is centred and every other row shaded. Each cell is cloned from one of these two and then
    // given its text: the clone shares their roles, which is far cheaper than setting three roles on
    // each of hundreds of thousands of cells.
    QStandardItem shadedCell { QString() };
    shadedCell.setTextAlignment(Qt::AlignCenter);
    shadedCell.setBackground(QBrush(QColor(229, 239, 252, 255), Qt::SolidPattern));
    QStandardItem plainCell { QString() };
    plainCell.setTextAlignment(Qt::AlignCenter);

    catalogue = flashImage.dmhRecords();
    catalogueGeneration = flashImage.generation();
    // An image without blocks to list leaves the previous table on screen.
    if (catalogue.isEmpty())
        return;

    // Sizing the model once and finishing each item before it is inserted keeps a table of tens of
    // thousands of rows from paying for a signal per cell.
    int rowsToShow = 0;
    for (const DmhRecord& dmh : qAsConst(catalogue)) {
        if (dmh.entries.isEmpty())
            return;
        rowsToShow += dmh.entries.size();
    }
    model->setRowCount(rowsToShow);
    // The new table replaces the shown one, whose cells go first: the new cells then take over their
    // freed memory, where a table of tens of thousands of rows would otherwise start on fresh pages.
    if (auto* shownModel = qobject_cast<QStandardItemModel*>(ui.tableView->model()))
        shownModel->clear();

    int row = 0;
    for (const DmhRecord& dmh : qAsConst(catalogue)) {
        for (const BlockEntry& entry : dmh.entries) {
            const QString cells[] = { entry.idText(), entry.sizeCellText(), entry.crcCellText(),
                entry.nameCellText(), entry.versionCellText(), entry.timeCellText() };
            // The shading alternates through the whole table, not per DMH.
            const QStandardItem& prototype = row % 2 == 0 ? shadedCell : plainCell;
            for (int column = 0; column < headers.size(); ++column) {
                QStandardItem* item = prototype.clone();
                item->setText(cells[column]);
                model->setItem(row, column, item);
            }
            ++row;
        }
    }

    QHeaderView* header = ui.tableView->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    header->setFixedHeight(30);
    header->setStyleSheet(QStringLiteral("QHeaderView::section {background-color:lightblue;color: black;"
                                         "padding-left: 4px;border: 1px solid #6c6c6c;}"));

    // The replaced model, emptied above, and its selection model are shown nowhere else and nothing else
    // refers to them. They go once the new table is on screen.
    QAbstractItemModel* previousModel = ui.tableView->model();
    QItemSelectionModel* previousSelection = ui.tableView->selectionModel();
    ui.tableView->setModel(model.release());
    if (previousSelection)
        previousSelection->deleteLater();
    if (previousModel) {
        // Parented to the window in the meantime, so it cannot outlive it.
        previousModel->setParent(this);
        previousModel->deleteLater();
    }
}
