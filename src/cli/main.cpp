#include "clirunner.h"
#include "console.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessel-cli"));
    const Console console;
    return runCli(QCoreApplication::arguments(), console);
}
