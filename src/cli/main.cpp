#include "arguments.h"
#include "clirunner.h"
#include "console.h"
#include "exitstatus.h"
#include "truncationguard.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    // Past a file-size limit a write then fails and is reported, instead of the signal ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    stopCleanlyWhenAnInputShrinks();

    // The bytes as given, before anything decodes them: a file name must survive the round trip.
    QList<QByteArray> rawArguments;
    for (int index = 0; index < argc; ++index)
        rawArguments.append(QByteArray(argv[index]));

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessel-cli"));
    StandardConsole console;
    const DecodedArguments decoded = DecodedArguments::decode(rawArguments);
    if (!decoded.error.isEmpty()) {
        console.printError(decoded.error);
        return exitBadInput;
    }
    return runCli(decoded.arguments, console);
}
