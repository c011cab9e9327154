#include "clirunner.h"
#include "console.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    // Past a file-size limit a write then fails and is reported, instead of the signal ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessel-cli"));
    const Console console;
    return runCli(QCoreApplication::arguments(), console);
}
