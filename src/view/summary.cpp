#include "app/mainwindow.h"

#include <QLabel>
#include <QStatusBar>

void MainWindow::refreshSummary()
{
    ui.laSDRAMSize->setText(QString::number(flashImage.sdramSize()));
    ui.laFlashSize->setText(QString::number(flashImage.flashSize()));
    ui.laBlockNum->setText(QString::number(flashImage.blockCount()));
    ui.laSoftVer->setText(SoftwareVersion::displayText(flashImage.softwareVersion()));
}

void MainWindow::showStatus(QString colour, QString message)
{
    // The bar's own sheet carries only the colour; font and background stay the application's.
    ui.statusBar->setStyleSheet(QStringLiteral("color:%1").arg(colour));
    ui.statusBar->showMessage(message, 0);
}
