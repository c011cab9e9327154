#include "ops/write/signalcleanup.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// A process has at most a writer or two open at once.
constexpr int slotCount = 16;
// NAME_MAX and its terminating zero; a hidden name is far shorter.
constexpr int nameCapacity = 256;
// The writers' hidden folders hold files only; an old tree in place of one is an earlier export's.
constexpr int folderDepth = 8;

enum SlotState : int { Free, Filling, Recorded };

struct Slot {
    std::atomic<int> state { Free };
    int folder = -1;
    SignalCleanup::Kind kind = SignalCleanup::Kind::File;
    char name[nameCapacity] {};
};

static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the slots' states");

Slot slots[slotCount];

sigset_t endingSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Removes the folder `name` in `within` with everything in it, symlinks as links; async-signal-safe
// (getdents64 is the system call itself, without readdir's allocation). Entries removed while the
// folder is read may hide others from that pass, so passes go on until one removes nothing.
bool removeFolderQuietly(int within, const char* name, int depthLeft)
{
    if (::unlinkat(within, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    if ((errno != ENOTEMPTY && errno != EEXIST) || depthLeft == 0)
        return false;
    const int folder = ::openat(within, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return false;
    alignas(dirent64) char buffer[4096];
    for (bool removedSome = true; removedSome;) {
        removedSome = false;
        if (::lseek(folder, 0, SEEK_SET) != 0)
            break;
        ssize_t length = 0;
        while ((length = ::getdents64(folder, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                if (isDotOrDotDot(entry->d_name))
                    continue;
                if (::unlinkat(folder, entry->d_name, 0) == 0
                    || ((errno == EISDIR || errno == EPERM)
                        && removeFolderQuietly(folder, entry->d_name, depthLeft - 1)))
                    removedSome = true;
            }
        }
    }
    ::close(folder);
    return ::unlinkat(within, name, AT_REMOVEDIR) == 0;
}

extern "C" void onEndingSignal(int signalNumber)
{
    const int savedErrno = errno;
    SignalCleanup::removeRecorded();
    // The default action ends the process as the signal asks; it is delivered as soon as it is unblocked.
    struct sigaction byDefault { };
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signalNumber, &byDefault, nullptr);
    ::raise(signalNumber);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    errno = savedErrno;
}

} // namespace

void SignalCleanup::installHandlers()
{
    for (const int signalNumber : { SIGINT, SIGTERM, SIGHUP }) {
        struct sigaction current { };
        if (::sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = onEndingSignal;
        // One cleanup at a time: the other two wait, and the process ends before they are delivered.
        action.sa_mask = endingSignals();
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void SignalCleanup::removeRecorded()
{
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) != Recorded)
            continue;
        if (slot.kind == Kind::File)
            ::unlinkat(slot.folder, slot.name, 0);
        else
            removeFolderQuietly(slot.folder, slot.name, folderDepth);
    }
}

void SignalCleanup::Entry::remember(int folder, const QByteArray& name, Kind kind)
{
    forget();
    if (folder < 0 || name.isEmpty() || name.size() >= nameCapacity)
        return;
    for (int index = 0; index < slotCount; ++index) {
        Slot& candidate = slots[index];
        int expected = Free;
        if (!candidate.state.compare_exchange_strong(expected, Filling, std::memory_order_acquire))
            continue;
        candidate.folder = folder;
        candidate.kind = kind;
        std::memcpy(candidate.name, name.constData(), size_t(name.size()));
        candidate.name[name.size()] = '\0';
        candidate.state.store(Recorded, std::memory_order_release);
        slot = index;
        return;
    }
}

void SignalCleanup::Entry::forget()
{
    if (slot < 0)
        return;
    slots[slot].state.store(Free, std::memory_order_release);
    slot = -1;
}

SignalCleanup::Deferral::Deferral()
{
    const sigset_t signals = endingSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, &previous);
}

SignalCleanup::Deferral::~Deferral()
{
    // A signal held back meanwhile is handled here, with the name made and recorded.
    const int savedErrno = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = savedErrno;
}
