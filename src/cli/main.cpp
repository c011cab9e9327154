#include "arguments.h"
#include "clirunner.h"
#include "console.h"
#include "exitstatus.h"
#include "truncationguard.h"

#include "ops/write/signalcleanup.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A standard descriptor closed at start (tessel-cli >&-) is held by /dev/null opened for reading: otherwise
// the next file opened (the event loop's, an output) would take its number and receive the texts meant
// for it. Writes to it then fail, and a failed write to standard output is reported.
void holdClosedStandardDescriptors()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != descriptor) {
            ::dup2(held, descriptor);
            ::close(held);
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    holdClosedStandardDescriptors();
    // Past a file-size limit a write then fails and is reported, instead of the signal ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    stopCleanlyWhenAnInputShrinks();
    // SIGINT, SIGTERM and SIGHUP remove a writer's hidden file or folder before they end the process.
    SignalCleanup::installHandlers();
    // A reader that went away (| head) makes a write fail with EPIPE instead of the signal ending the
    // process at once: an output being written is dropped as after any failure, then the process ends by
    // SIGPIPE all the same, quietly, as filters do (status 141 in a shell).
    std::signal(SIGPIPE, SIG_IGN);

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
    const int exitStatus = runCli(decoded.arguments, console);
    if (exitStatus == exitClosedPipe && console.readerGone()) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    return exitStatus;
}
