#include "app/mainwindow.h"

#include <QByteArray>
#include <QLabel>
#include <QStatusBar>

void MainWindow::refreshSummary()
{
    ui.laSDRAMSize->setText(QString::number(flashImage.sdramSize()));
    ui.laFlashSize->setText(QString::number(flashImage.flashSize()));
    ui.laBlockNum->setText(QString::number(flashImage.blockCount()));
    const QByteArray& version = flashImage.softwareVersion();
    const int length = int(qstrnlen(version.constData(), uint(version.size())));
    ui.laSoftVer->setText(QString::fromUtf8(version.constData(), length));
}

void MainWindow::showStatus(QString colour, QString message)
{
    // The bar's own sheet carries only the colour; font and background stay the application's.
    ui.statusBar->setStyleSheet(QStringLiteral("color:%1").arg(colour));
    ui.statusBar->showMessage(message, 0);
}
