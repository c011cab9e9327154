#include "app/mainwindow.h"

void MainWindow::slotClickSaveBlock() { }

void MainWindow::slotClickSaveBin() { }
