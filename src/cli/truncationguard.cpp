#include "truncationguard.h"

#include "exitstatus.h"

#include "ops/write/signalcleanup.h"

#include <QByteArray>

#include <atomic>
#include <csignal>
#include <mutex>

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
// Published after its entry is filled, so that the handler, on whichever thread read the lost page, sees
// only whole entries; two loading threads name their images under the mutex.
std::atomic<int> namedCount { 0 };
std::mutex naming;
static_assert(std::atomic<int>::is_always_lock_free, "the SIGBUS handler reads the count");
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
    const int count = namedCount.load(std::memory_order_acquire);
    for (int index = 0; index < count; ++index) {
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
    const std::lock_guard<std::mutex> lock(naming);
    loading = 0;
    if (!start) {
        lineOfInputBeingLoaded = lineNaming(name);
        loading = 1;
        return;
    }
    const int count = namedCount.load();
    if (count == maxNamedInputs || length <= 0)
        return;
    NamedInput& input = namedInputs[count];
    input.start = quintptr(start);
    input.end = quintptr(start) + quintptr(length);
    input.line = lineNaming(name);
    namedCount.store(count + 1, std::memory_order_release);
}

void forgetInputNamesForTruncation()
{
    const std::lock_guard<std::mutex> lock(naming);
    loading = 0;
    namedCount = 0;
}
