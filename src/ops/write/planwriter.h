#pragma once

#include "ops/write/inputwatch.h"
#include "ops/base/outcome.h"
#include "ops/write/outputplace.h"
#include "ops/write/outputplan.h"
#include "ops/write/planstream.h"
#include "ops/write/signalcleanup.h"

#include "model/progress.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

#include <sys/types.h>

class FileSystemCalls;
class QIODevice;

// An open descriptor that a writer streams its output into instead of committing a file: standard output
// feeding a pipe or a flashing tool. There is nothing to sync or rename; the bytes go out as they are made,
// and a failed write leaves what went before it with the reader.
struct OutputStream {
    int descriptor = -1;
    // errno of the write that failed; 0 while none has.
    int error = 0;
};

// What a writer does when its path already names a file.
enum class ExistingOutput {
    // Replace it in one step (the window, and tessel-cli with --force).
    Replace,
    // Fail instead, also when the file appears while the output is being written (tessel-cli without
    // --force): of two writers of one new path exactly one succeeds.
    Refuse,
};

// The one way an output file reaches the disk. The plan goes into a new file without a name in the
// target's folder (a hidden named one where the file system has none), is synced, takes the target's
// name in one step and the folder is synced, so the name survives a power cut. Until then the path is
// untouched: a refused, failed or killed action leaves an existing file as it was and no new one (a
// hidden name is removed when SIGINT, SIGTERM or SIGHUP ends the process). A symlink is followed and its
// target replaced; anything at the path but a regular file is refused.
// Given a stream, the writer writes the plan into it instead, and `path` only names the output in texts.
// Given the run's inputs, it puts nothing in place when one of them changed since it was opened (looked at
// once every byte is written and synced, and after a failed write, which a shrunken mapping explains).
class PlanWriter {
public:
    explicit PlanWriter(const QString& path, ExistingOutput existing = ExistingOutput::Replace,
        OutputStream* stream = nullptr, InputWatch* inputs = nullptr);
    ~PlanWriter();
    PlanWriter(const PlanWriter&) = delete;
    PlanWriter& operator=(const PlanWriter&) = delete;

    // Whether `path` could be committed, looked at the way open() looks at it, creating nothing.
    static OutputCheck check(const QString& path, ExistingOutput existing);

    // Refuses what check() refuses and makes the new file; nothing appears at the path yet.
    [[nodiscard]] bool open();
    // The name the file object reports: the path as chosen.
    QString fileName() const { return place.given; }
    // Writes the plan and puts it in place; false when any byte is missing or any step fails. Only a
    // failed sync of the folder (fault() NotDurable) leaves the new file in place. What the plan takes
    // unchanged from the image's file (plan.origin) is shared with that file where the file system can.
    [[nodiscard]] bool writeAndCommit(const uchar* imageData, qint64 imageSize, const OutputPlan& plan);
    // Drops what was opened without touching the path.
    void discard();
    // Told how many bytes of the output have been written, as they are.
    void setProgress(ProgressCallback callback) { progress = std::move(callback); }
    // The caller's last word on a file, asked once every byte is written and synced, right before the
    // file takes its name: a check that ran beside the write. An outcome it returns stops the writer with
    // nothing in place, and failure() gives that outcome. Not asked for a stream, which has nothing to
    // take back.
    using CommitCheck = std::function<std::optional<Outcome>()>;
    void setCommitCheck(CommitCheck check) { commitCheck = std::move(check); }

    // Why open() or writeAndCommit() last failed, beyond the status text.
    OutputFault fault() const { return lastFault; }
    // The obstacle at the path that stopped open() or writeAndCommit(); None when none did.
    OutputObstacle obstacle() const { return lastObstacle; }
    // The failed outcome with `statusText`, carrying fault() and what the writer found at the path; for a
    // changed input, that input's own.
    Outcome failure(const QString& statusText) const;

private:
    OutputObstacle examine();
    bool stopAt(OutputObstacle obstacle);
    bool putInPlace();
    int createNamedTemporary(mode_t mode);
    void forgetTemporary();
    bool fail(OutputFault fault);
    bool inputChanged(bool beforeCommit);
    bool writeToStream(const uchar* imageData, qint64 imageSize, const OutputPlan& plan);

    FileSystemCalls& calls;
    // The path as given, and the file it names once its symlinks are followed.
    const OutputPlace place;
    ExistingOutput existing;
    int folder = -1;
    int file = -1;
    bool targetExists = false;
    // Made 0600 to replace a file, until it takes that file's bits or, with that file gone, a new one's.
    bool createdPrivate = false;
    // The hidden name the new file has while it has one; removed on failure, and by an ending signal.
    QByteArray temporary;
    SignalCleanup::Entry temporaryOnSignal;
    OutputFault lastFault = OutputFault::None;
    OutputObstacle lastObstacle = OutputObstacle::None;
    // errno of the call that failed last; 0 when no call failed.
    int lastError = 0;
    OutputStream* stream = nullptr;
    InputWatch* inputs = nullptr;
    ProgressCallback progress;
    // The input that changed, with fault() InputChanged.
    std::optional<InputChange> changedInput;
    CommitCheck commitCheck;
    // What the commit check said when it stopped the writer.
    std::optional<Outcome> refusedAtCommit;
};
