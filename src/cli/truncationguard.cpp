#include "truncationguard.h"

#include "exitstatus.h"

#include "ops/write/signalcleanup.h"

#include <QByteArray>

#include <csignal>

#include <unistd.h>

namespace {

// A fixed table that the handler reads without allocating; a run names one image or two.
constexpr int maxNamedInputs = 8;

struct NamedInput {
    quintptr start = 0;
    quintptr end = 0;
    QByteArray line;
};

NamedInput namedInputs[maxNamedInputs];
volatile sig_atomic_t namedCount = 0;
QByteArray lineOfInputBeingLoaded;
volatile sig_atomic_t loading = 0;

const char unnamedLine[] = "tessel-cli: an input file was cut short while it was being read; stopped.\n";

QByteArray lineNaming(const QString& name)
{
    return "tessel-cli: " + name.toUtf8()
        + ": an input file was cut short while it was being read; stopped.\n";
}

void writeLine(const char* line, size_t length)
{
    const ssize_t ignored = ::write(STDERR_FILENO, line, length);
    static_cast<void>(ignored);
}

// The line that names the input whose mapped page is gone, as far as the handler can tell.
const char* lineForAddress(quintptr address, size_t& length)
{
    for (int index = 0; index < namedCount; ++index) {
        const NamedInput& input = namedInputs[index];
        if (address >= input.start && address < input.end) {
            length = size_t(input.line.size());
            return input.line.constData();
        }
    }
    if (loading) {
        length = size_t(lineOfInputBeingLoaded.size());
        return lineOfInputBeingLoaded.constData();
    }
    length = sizeof unnamedLine - 1;
    return unnamedLine;
}

extern "C" void onBusError(int, siginfo_t* info, void*)
{
    // Only async-signal-safe calls here; the table is never changed while a mapped page is read.
    size_t length = 0;
    const char* line = lineForAddress(info ? quintptr(info->si_addr) : 0, length);
    writeLine(line, length);
    SignalCleanup::removeRecorded();
    ::_exit(exitBadInput);
}

} // namespace

void stopCleanlyWhenAnInputShrinks()
{
    struct sigaction action { };
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}

void nameInputForTruncation(const QString& name, const void* start, qint64 length)
{
    loading = 0;
    if (!start) {
        lineOfInputBeingLoaded = lineNaming(name);
        loading = 1;
        return;
    }
    if (namedCount == maxNamedInputs || length <= 0)
        return;
    NamedInput& input = namedInputs[namedCount];
    input.start = quintptr(start);
    input.end = quintptr(start) + quintptr(length);
    input.line = lineNaming(name);
    namedCount = namedCount + 1;
}

void forgetInputNamesForTruncation()
{
    loading = 0;
    namedCount = 0;
}
