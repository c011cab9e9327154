#include "app/busycursor.h"
#include "app/mainwindow.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFileDialog>
#include <QList>
#include <QMimeData>
#include <QUrl>

void MainWindow::slotBrowseFlash()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Flash bin"), browsePath, tr("Bin (*.bin)"));
    if (!path.isEmpty())
        openChosenImage(path);
}

void MainWindow::openChosenImage(const QString& path)
{
    browsePath = path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
    ui.LEBinFile->setText(path);
    openImage(path);
    // The menu comes with any choice in the dialog, even one that did not load.
    enableBlockMenu();
}

void MainWindow::openImage(QString path)
{
    const BusyCursor busy;
    if (flashImage.load(path.toStdWString())) {
        refreshSummary();
        buildBlockTable();
    } else {
        showStatus(QStringLiteral("red"), QString::fromUtf8(flashImage.lastError()));
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The status line keeps the last message until the next one: the base class would show every status
    // tip there, and the menu sends an empty one whenever the pointer enters or leaves an entry.
    if (watched == this && event->type() == QEvent::StatusTip)
        return true;
    if (watched == ui.tableView && event->type() == QEvent::ContextMenu
        && static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard)
        return showMenuAtCurrentRow();
    if (watched == ui.LEBinFile && event->type() == QEvent::DragEnter) {
        // Any drag may enter; what it carries is judged at the drop.
        static_cast<QDragEnterEvent*>(event)->acceptProposedAction();
        return true;
    }
    if (watched == ui.LEBinFile && event->type() == QEvent::Drop) {
        // The drop itself is never marked accepted: the drag source is told that nothing was taken.
        const QList<QUrl> urls = static_cast<QDropEvent*>(event)->mimeData()->urls();
        if (urls.isEmpty())
            return false;
        const QString path = urls.first().toLocalFile();
        if (path.isEmpty())
            return false;
        ui.LEBinFile->setText(path);
        const BusyCursor busy;
        if (flashImage.load(path.toStdWString())) {
            refreshSummary();
            buildBlockTable();
            enableBlockMenu();
            return true;
        }
        showStatus(QStringLiteral("red"), QString::fromUtf8(flashImage.lastError()));
        return false;
    }
    return QMainWindow::eventFilter(watched, event);
}
