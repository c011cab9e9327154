#pragma once

#include <QByteArray>

#include <csignal>

// What a writer leaves beside its target while it works (a hidden file, or a hidden folder of files) is
// removed when SIGINT, SIGTERM or SIGHUP ends the process, so that only SIGKILL and power loss can leave
// one. A signal handler may only make async-signal-safe calls, so each hidden name is recorded in advance
// while it exists: the open descriptor of the folder that holds it and the name in a fixed buffer. The
// handler removes what is recorded (a folder with what is in it) through unlinkat, openat and getdents64,
// then ends the process by the same signal with its default action, so the exit status is the signal's.
class SignalCleanup {
public:
    enum class Kind { File, Folder };

    // Installs the handler for SIGINT, SIGTERM and SIGHUP. A signal the process was started ignoring
    // (nohup, a background job of a shell without job control) stays ignored.
    static void installHandlers();

    // Removes what is recorded now, with async-signal-safe calls only: for another handler that ends the
    // process.
    static void removeRecorded();

    // One hidden name, recorded from remember() until forget() or the object's end. Records are few (a
    // process has a writer or two open at once); past that, a name is not recorded.
    class Entry {
    public:
        Entry() = default;
        ~Entry() { forget(); }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        // `folder` must stay open until forget().
        void remember(int folder, const QByteArray& name, Kind kind);
        void forget();

    private:
        int slot = -1;
    };

    // Holds the three signals back for its life, so that a hidden name is made and recorded in one step:
    // a signal in between would leave it unrecorded. One that arrives meanwhile is handled at the end.
    class Deferral {
    public:
        Deferral();
        ~Deferral();
        Deferral(const Deferral&) = delete;
        Deferral& operator=(const Deferral&) = delete;

    private:
        sigset_t previous;
    };
};
