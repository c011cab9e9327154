#include "app/heaptuning.h"
#include "app/mainwindow.h"

#include <QApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    tuneHeapForLargeTables();
    // Past a file-size limit a write then fails with the action's red text, instead of the signal closing
    // the window.
    std::signal(SIGXFSZ, SIG_IGN);
    // Arguments are the toolkit's alone: no file named on the command line is opened.
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
