#include "app/heaptuning.h"
#include "app/mainwindow.h"
#include "app/startuparguments.h"

#include <QApplication>
#include <QTimer>

#include <csignal>

int main(int argc, char* argv[])
{
    tuneHeapForLargeTables();
    // Past a file-size limit a write then fails with the action's red text, instead of the signal closing
    // the window.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSEL_VERSION));
    if (const QString fault = StartupArguments::undecodable(argc, argv); !fault.isEmpty()) {
        const QCoreApplication application(argc, argv);
        return StartupArguments::refuse(fault);
    }
    // The help and the version need no display, so they are answered before the toolkit looks for one.
    if (StartupArguments::asksOnlyForText(argc, argv)) {
        const QCoreApplication application(argc, argv);
        return StartupArguments(QCoreApplication::arguments()).answer();
    }
    // The toolkit takes its own options out first; what is left is the program's.
    QApplication application(argc, argv);
    const StartupArguments arguments(QCoreApplication::arguments());
    if (!arguments.showsWindow())
        return arguments.answer();
    MainWindow window;
    window.show();
    // Opened from the event loop, so that the window is on screen, with the busy cursor, while a large
    // image loads.
    const QString imagePath = arguments.imagePath();
    if (!imagePath.isEmpty())
        QTimer::singleShot(0, &window, [&window, imagePath] { window.openChosenImage(imagePath); });
    return application.exec();
}
