#include "truncationguard.h"

#include "exitstatus.h"

#include "ops/signalcleanup.h"

#include <csignal>

#include <unistd.h>

namespace {

extern "C" void onBusError(int)
{
    // Only async-signal-safe calls here.
    static const char message[]
        = "tessel-cli: an input file was cut short while it was being read; stopped.\n";
    const ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    static_cast<void>(ignored);
    SignalCleanup::removeRecorded();
    ::_exit(exitBadInput);
}

} // namespace

void stopCleanlyWhenAnInputShrinks()
{
    struct sigaction action { };
    action.sa_handler = onBusError;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}
