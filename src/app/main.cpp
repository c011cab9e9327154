#include "app/heaptuning.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    tuneHeapForLargeTables();
    // Arguments are the toolkit's alone: no file named on the command line is opened.
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
