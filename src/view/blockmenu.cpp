#include "app/mainwindow.h"

#include "model/blockcolumns.h"

#include <QItemSelectionModel>
#include <QMenu>
#include <QModelIndex>
#include <QTableView>
#include <QVariant>

namespace {

// The display text of `column` in the table's current row; empty when no row is current, and when the
// current row is not shown selected. The view makes a row current without selecting it (focus coming
// back from the menu or by Tab, Ctrl+click on the selected row): an action must not act on a row the
// user cannot see chosen.
QString currentRowText(const QTableView* table, int column)
{
    const QItemSelectionModel* selection = table->selectionModel();
    if (!selection)
        return {};
    const QModelIndex current = selection->currentIndex();
    if (!current.isValid() || !selection->isRowSelected(current.row(), current.parent()))
        return {};
    return current.sibling(current.row(), column).data(Qt::DisplayRole).toString();
}

} // namespace

void MainWindow::enableBlockMenu()
{
    ui.tableView->setContextMenuPolicy(Qt::CustomContextMenu);
    // However many images are opened, one right click runs the slot once.
    connect(ui.tableView, &QWidget::customContextMenuRequested, this, &MainWindow::TableViewMenuRequested,
        Qt::UniqueConnection);
}

void MainWindow::TableViewMenuRequested(QPoint pos)
{
    // The request point is in viewport coordinates, below the header, not in the table's own.
    blockMenu->popup(ui.tableView->viewport()->mapToGlobal(pos));
}

bool MainWindow::showMenuAtCurrentRow()
{
    // The toolkit would ask at the current cell wherever it is, also scrolled out of view, and the menu
    // would then open over other widgets while its actions act on a row the user cannot see.
    QTableView* table = ui.tableView;
    const QModelIndex current = table->selectionModel() ? table->currentIndex() : QModelIndex();
    if (table->contextMenuPolicy() != Qt::CustomContextMenu || !current.isValid())
        return false;
    table->scrollTo(current);
    emit table->customContextMenuRequested(table->visualRect(current).center());
    return true;
}

QString MainWindow::selectedBlockId() const
{
    return currentRowText(ui.tableView, BlockColumns::Id);
}

QString MainWindow::selectedBlockName() const
{
    return currentRowText(ui.tableView, BlockColumns::Name);
}
