#pragma once

#include "ops/base/outcome.h"

#include <QString>

#include <optional>
#include <vector>

#include <sys/stat.h>

// How an input now differs from the file a run opened: what the run read is not what is there.
struct InputChange {
    QString path;
    // Shorter than when it was opened: a mapped image loses pages, and a write from them fails.
    bool cutShort = false;
    // What changed, in plain English with the numbers: "It had 4096 bytes when it was opened and has 16
    // now."
    QString what;

    // "NAME changed while it was read." or "NAME: an input file was cut short while it was being read."
    QString message() const;
    // The failure of a run that stopped for it (an unreadable input): the message, what changed, then
    // `consequence` ("Nothing was written.").
    Outcome outcome(const QString& consequence) const;
};

// The files a run reads (its images and replacements), each with its status as the run opened it, so that
// an output holds the inputs as they were then, or nothing. A writer asks right before its output takes its
// name; a run that writes nothing asks before it answers. The look costs an fstat and a stat per input: the
// descriptor follows the file that was opened whatever becomes of its name, and the path shows another
// file put in its place.
class InputWatch {
public:
    InputWatch() = default;
    ~InputWatch();
    InputWatch(const InputWatch&) = delete;
    InputWatch& operator=(const InputWatch&) = delete;

    // Opens `path` without reading it (no side effect on a device, no wait on a FIFO) and takes its status;
    // called before anything reads the file. A path that cannot be opened is watched as absent: a file that
    // appears there afterwards is a change.
    void watch(const QString& path);

    // The first input that is not as it was opened (its size, modification and change times to the
    // nanosecond, and at its path the device and inode); nothing when every one is as it was.
    std::optional<InputChange> firstChange() const;

    // firstChange(), as a writer asks it right before its output takes its name. When every input holds, the
    // output is made of them as they were opened, and later changes no longer concern the run.
    std::optional<InputChange> checkBeforeCommit();
    bool heldAtCommit() const { return committed; }
    // What a writer asks: checkBeforeCommit() when it is about to commit, firstChange() at any other time.
    std::optional<InputChange> changeSeenBy(bool writerCommitting)
    {
        return writerCommitting ? checkBeforeCommit() : firstChange();
    }

private:
    struct Input {
        QString path;
        int descriptor = -1;
        // The status when it was opened; none when it could not be opened.
        std::optional<struct stat> opened;
    };

    static std::optional<InputChange> changeOf(const Input& input);

    std::vector<Input> inputs;
    bool committed = false;
};
