#include "ops/write/planwriter.h"

#include "ops/write/filesystemcalls.h"
#include "ops/write/planstream.h"
#include "ops/write/rangesharing.h"
#include "ops/write/writersupport.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

// The file writer and the folder writer share these helpers.
using namespace WriterSupport;

namespace {

OutputFault faultOf(OutputObstacle obstacle)
{
    switch (obstacle) {
    case OutputObstacle::Exists:
        return OutputFault::Exists;
    case OutputObstacle::Folder:
    case OutputObstacle::CharacterDevice:
    case OutputObstacle::BlockDevice:
    case OutputObstacle::Fifo:
    case OutputObstacle::Socket:
        return OutputFault::NotRegularFile;
    default:
        return OutputFault::None;
    }
}

bool unnamedFilesUnsupported(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

} // namespace

PlanWriter::PlanWriter(const QString& path, ExistingOutput existing, OutputStream* stream, InputWatch* inputs)
    : calls(FileSystemCalls::current())
    , place(OutputPlace::ofFile(path))
    , existing(existing)
    , stream(stream)
    , inputs(inputs)
{
}

PlanWriter::~PlanWriter()
{
    discard();
}

OutputCheck PlanWriter::check(const QString& path, ExistingOutput existing)
{
    PlanWriter writer(path, existing);
    return { writer.examine(), writer.place.target, {} };
}

// Opens the folder and looks at what the name holds, in the order that names the most useful obstacle.
OutputObstacle PlanWriter::examine()
{
    struct stat status { };
    const OutputObstacle met = lookAtPlace(calls, place, folder, status, targetExists);
    if (met != OutputObstacle::None)
        return met;
    if (targetExists) {
        const OutputObstacle kind = obstacleOfKind(status.st_mode, S_IFREG);
        if (kind != OutputObstacle::None)
            return kind;
        if (existing == ExistingOutput::Refuse)
            return OutputObstacle::Exists;
    }
    if (calls.access(folder, ".", W_OK | X_OK) != 0)
        return refusedAccess(errno) ? OutputObstacle::UnwritableFolder : OutputObstacle::Unreachable;
    if (targetExists && calls.access(folder, place.name.constData(), W_OK) != 0)
        return refusedAccess(errno) ? OutputObstacle::UnwritableFile : OutputObstacle::Unreachable;
    return OutputObstacle::None;
}

bool PlanWriter::open()
{
    discard();
    lastFault = OutputFault::None;
    lastObstacle = OutputObstacle::None;
    lastError = 0;
    changedInput.reset();
    refusedAtCommit.reset();
    // A stream is open already, and there is no path to look at.
    if (stream)
        return true;
    const OutputObstacle obstacle = examine();
    if (obstacle != OutputObstacle::None)
        return stopAt(obstacle);
    // A file that is to replace another stays private until it takes that file's permission bits.
    const mode_t mode = targetExists ? 0600 : 0666;
    createdPrivate = targetExists;
    file = calls.createUnnamed(folder, mode);
    if (file < 0 && unnamedFilesUnsupported(errno))
        file = createNamedTemporary(mode);
    return file >= 0 || fail(OutputFault::None);
}

bool PlanWriter::writeAndCommit(const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    if (stream)
        return writeToStream(imageData, imageSize, plan);
    errno = 0;
    if (file < 0)
        return fail(OutputFault::None);
    if (const int error = writePlanSharing(file, imageData, imageSize, plan, progress); error != 0) {
        // A write from the mapping of an image that shrank fails (EFAULT): the input's fault, not the
        // output's.
        if (inputChanged(false))
            return false;
        errno = error;
        return fail(OutputFault::None);
    }

    // The name may have changed hands while the plan was written: look again right before taking it.
    struct stat status { };
    targetExists = calls.status(folder, place.name.constData(), &status) == 0;
    if (!targetExists && errno != ENOENT)
        return fail(OutputFault::None);
    if (targetExists) {
        if (!S_ISREG(status.st_mode))
            return stopAt(obstacleOfKind(status.st_mode, S_IFREG));
        if (existing == ExistingOutput::Refuse)
            return stopAt(OutputObstacle::Exists);
        keepOwner(file, status);
        if (calls.setMode(file, status.st_mode & permissionBits) != 0)
            return fail(OutputFault::None);
    } else if (createdPrivate && calls.setMode(file, newFileMode()) != 0) {
        // The file it was to replace is gone: it is a new file, with a new file's bits.
        return fail(OutputFault::None);
    }
    if (calls.syncFile(file) != 0)
        return fail(OutputFault::None);
    // The last moment at which nothing is in place yet: every byte is written and synced.
    if (inputChanged(true))
        return false;
    if (commitCheck) {
        refusedAtCommit = commitCheck();
        if (refusedAtCommit) {
            discard();
            lastFault = OutputFault::None;
            lastError = 0;
            return false;
        }
    }
    if (!putInPlace())
        return false;
    const bool durable = calls.syncFolder(folder) == 0;
    lastError = durable ? 0 : errno;
    discard();
    if (durable)
        return true;
    lastFault = OutputFault::NotDurable;
    return false;
}

void PlanWriter::discard()
{
    if (file >= 0) {
        ::close(file);
        file = -1;
    }
    if (!temporary.isEmpty()) {
        calls.remove(folder, temporary.constData());
        forgetTemporary();
    }
    if (folder >= 0) {
        ::close(folder);
        folder = -1;
    }
}

Outcome PlanWriter::failure(const QString& statusText) const
{
    if (refusedAtCommit)
        return *refusedAtCommit;
    if (lastFault == OutputFault::InputChanged && changedInput)
        return changedInput->outcome(stream
                ? QStringLiteral("What went to standard output before this was found cannot be trusted.")
                : QStringLiteral("Nothing was written."));
    Outcome outcome = Outcome::writeFailed(statusText);
    outcome.outputFault = lastFault;
    outcome.output = { lastObstacle, place.target, {} };
    if (lastError != 0)
        outcome.detail
            = QStringLiteral("%1: %2.").arg(place.given, QString::fromLocal8Bit(std::strerror(lastError)));
    return outcome;
}

// The new file takes the name in one step: a link or a rename never shows a half-made name, and where
// nothing may be replaced both refuse an existing name rather than look first and then overwrite.
bool PlanWriter::putInPlace()
{
    const bool replace = existing == ExistingOutput::Replace;
    if (!temporary.isEmpty()) {
        if (calls.rename(folder, temporary.constData(), place.name.constData(), replace) != 0)
            return errno == EEXIST && !replace ? stopAt(OutputObstacle::Exists) : fail(OutputFault::None);
        forgetTemporary();
        return true;
    }
    if (!replace || !targetExists) {
        if (calls.linkUnnamed(file, folder, place.name.constData()) == 0)
            return true;
        if (errno != EEXIST)
            return fail(OutputFault::None);
        if (!replace)
            return stopAt(OutputObstacle::Exists);
    }
    // A link cannot replace a name; the file gets a hidden one first and is renamed over the target.
    {
        const SignalCleanup::Deferral deferral;
        temporary = takeHiddenName(place.name, [this](const QByteArray& candidate) {
            return calls.linkUnnamed(file, folder, candidate.constData()) == 0;
        });
        temporaryOnSignal.remember(folder, temporary, SignalCleanup::Kind::File);
    }
    if (temporary.isEmpty() || calls.rename(folder, temporary.constData(), place.name.constData(), true) != 0)
        return fail(OutputFault::None);
    forgetTemporary();
    return true;
}

int PlanWriter::createNamedTemporary(mode_t mode)
{
    const SignalCleanup::Deferral deferral;
    int created = -1;
    temporary = takeHiddenName(place.name, [&](const QByteArray& candidate) {
        created = calls.createNamed(folder, candidate.constData(), mode);
        return created >= 0;
    });
    temporaryOnSignal.remember(folder, temporary, SignalCleanup::Kind::File);
    return created;
}

// The hidden name is gone (renamed or removed): nothing is left for a signal to remove.
void PlanWriter::forgetTemporary()
{
    temporary.clear();
    temporaryOnSignal.forget();
}

bool PlanWriter::writeToStream(const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    const int error = writePlanToDescriptor(stream->descriptor, imageData, imageSize, plan, progress);
    // A stream has nothing to take back: the inputs are looked at after its last byte, so that the reader
    // at least learns what it got. EFAULT there is a shrunken mapping's, not standard output's.
    if (inputChanged(error == 0)) {
        if (error != EFAULT)
            stream->error = error;
        return false;
    }
    stream->error = error;
    if (error == 0)
        return true;
    errno = error;
    return fail(OutputFault::None);
}

// Whether an input changed since the run opened it; if so the writer stops, having put nothing in place.
bool PlanWriter::inputChanged(bool beforeCommit)
{
    changedInput = inputs ? inputs->changeSeenBy(beforeCommit) : std::nullopt;
    // fail() stops the writer and always answers false.
    return changedInput && !fail(OutputFault::InputChanged);
}

// The writer met an obstacle at the path: the failure names it.
bool PlanWriter::stopAt(OutputObstacle obstacle)
{
    lastObstacle = obstacle;
    return fail(faultOf(obstacle));
}

bool PlanWriter::fail(OutputFault fault)
{
    // A fault of its own (a name taken, a node there) says more than the errno of the call that met it.
    lastError = fault == OutputFault::None ? errno : 0;
    lastFault = fault;
    discard();
    return false;
}
