#include "ops/write/rangesharing.h"

#include "ops/write/filesystemcalls.h"
#include "ops/write/planstream.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// As many bytes as one write or one copy takes at most, so that a signal is never kept waiting long.
constexpr qint64 chunkSize = qint64(64) << 20;

// The errors of a file system or kernel that cannot clone or copy between these two files; anything else
// (EIO, ENOSPC) is a failure of the output.
bool cannotShare(int error)
{
    return error == EOPNOTSUPP || error == EXDEV || error == EINVAL || error == ENOTTY || error == ENOSYS;
}

bool unchanged(int source, const FileIdentity& identity)
{
    struct stat status { };
    return ::fstat(source, &status) == 0 && S_ISREG(status.st_mode) && FileIdentity::of(status) == identity;
}

// The image's file, opened to be read, when it is still the file the image was read from; -1 otherwise.
int openOrigin(const ImageOrigin& origin)
{
    const int source = ::open(QFile::encodeName(origin.path()).constData(), O_RDONLY | O_CLOEXEC);
    if (source >= 0 && !unchanged(source, origin.identity())) {
        ::close(source);
        return -1;
    }
    return source;
}

// The unit in which the file system shares extents: its block size; 0 when it cannot be learnt.
qint64 blockSizeOf(int file)
{
    struct statvfs status { };
    if (::fstatvfs(file, &status) != 0)
        return 0;
    return qint64(std::max(status.f_bsize, status.f_frsize));
}

// Whether the kernel's copy into `file` saves anything over writing bytes from memory of the program's own.
// On ext2/3/4 it moves the same bytes through the page cache that a write does, and took more processor
// time here (0.24 s a GiB against 0.15 s); elsewhere it may share blocks or copy on the server, so it is
// tried first.
bool kernelCopyBeatsOwnMemory(FileSystemCalls& calls, int file)
{
    struct statfs status { };
    return calls.fileSystemOf(file, &status) != 0 || status.f_type != EXT4_SUPER_MAGIC;
}

// Bytes that memory holds and a file holds too: the file, open for reading, and which of the bytes from
// `memory` are still its own (the pieces of `origin`). Without a file, memory alone gives them.
struct SharedBytes {
    int source = -1;
    const ImageOrigin* origin = nullptr;
    const uchar* memory = nullptr;
};

// The output file's bytes in order, each range from where it can come most cheaply: the image's ranges from
// the image's file, a patch that a file holds too (a block file of an unpacked folder) from that file, the
// rest from memory.
class SharingWriter {
public:
    SharingWriter(int file, int imageSource, const uchar* imageData, const OutputPlan& plan,
        const ProgressCallback& progress)
        : calls(FileSystemCalls::current())
        , file(file)
        , blockSize(blockSizeOf(file))
        , copyBeatsOwnMemory(kernelCopyBeatsOwnMemory(calls, file))
        , image { imageSource, plan.origin.get(), imageData }
        , plan(plan)
        , progress(progress)
    {
    }

    int write()
    {
        qint64 written = 0;
        for (const OutputPatch& patch : plan.patches) {
            if (const int error = fromImage(written, patch.position - written))
                return error;
            if (const int error = fromPatch(patch))
                return error;
            written = patch.position + patch.length();
            if (progress)
                progress(written, plan.length);
        }
        return fromImage(written, plan.length - written);
    }

    // A patch's file was written to while it was shared: its bytes in the output may not be memory's.
    bool patchFileChanged() const { return patchChanged; }

private:
    int fromImage(qint64 position, qint64 length)
    {
        return fromShared(image, position, plan.sourceStart + position, length);
    }

    int fromPatch(const OutputPatch& patch)
    {
        const int source = patch.origin ? openOrigin(*patch.origin) : -1;
        const SharedBytes bytes { source, patch.origin.get(), patch.data() };
        const int error = fromShared(bytes, patch.position, 0, patch.length());
        if (source >= 0) {
            patchChanged = patchChanged || !unchanged(source, patch.origin->identity());
            ::close(source);
        }
        return error;
    }

    // `length` output bytes from `position`, which are the bytes from `start` of `bytes.memory`: shared
    // where the file still holds them, written from memory elsewhere.
    int fromShared(const SharedBytes& bytes, qint64 position, qint64 start, qint64 length)
    {
        if (bytes.source < 0 || !bytes.origin)
            return writeAllTo(calls, file, bytes.memory + start, length);
        qint64 at = start;
        for (const ImageOrigin::Piece& piece : bytes.origin->pieces()) {
            const qint64 from = std::max(at, piece.imageStart);
            const qint64 to = std::min(start + length, piece.imageStart + piece.length);
            if (from >= to)
                continue;
            if (const int error = writeAllTo(calls, file, bytes.memory + at, from - at))
                return error;
            const qint64 filePosition = piece.filePosition + (from - piece.imageStart);
            if (const int error = share(bytes, position + (from - start), filePosition, from, to - from))
                return error;
            at = to;
        }
        return writeAllTo(calls, file, bytes.memory + at, start + length - at);
    }

    // Output bytes from `position` that are the file's from `filePosition` (and memory's from `at`). A
    // clone needs both positions on a block boundary, and a length of whole blocks unless it ends where the
    // file ends; the bytes around such a range are copied.
    int share(const SharedBytes& bytes, qint64 position, qint64 filePosition, qint64 at, qint64 length)
    {
        if (cloning && blockSize > 0 && (position - filePosition) % blockSize == 0) {
            const qint64 end = position + length;
            const qint64 cloneStart = std::min(end, (position + blockSize - 1) / blockSize * blockSize);
            const qint64 cloneEnd
                = filePosition + length == bytes.origin->identity().size ? end : end / blockSize * blockSize;
            if (cloneEnd > cloneStart) {
                const qint64 head = cloneStart - position;
                if (const int error = copy(bytes, filePosition, at, head))
                    return error;
                if (const int error
                    = clone(bytes, filePosition + head, at + head, cloneStart, cloneEnd - cloneStart))
                    return error;
                const qint64 tail = end - cloneEnd;
                return copy(bytes, filePosition + length - tail, at + length - tail, tail);
            }
        }
        return copy(bytes, filePosition, at, length);
    }

    int clone(const SharedBytes& bytes, qint64 filePosition, qint64 at, qint64 position, qint64 length)
    {
        if (calls.cloneRange(bytes.source, off_t(filePosition), file, off_t(position), off_t(length)) == 0)
            return ::lseek(file, off_t(position + length), SEEK_SET) < 0 ? errno : 0;
        if (!cannotShare(errno))
            return errno;
        cloning = false;
        return copy(bytes, filePosition, at, length);
    }

    // Copies within the file system where it can and that pays, and writes from memory elsewhere. Memory
    // that is a file's mapping is always worth the kernel's copy: writing from a fresh mapping cost several
    // times as much here (1.5 s of system time a GiB against 0.4 s).
    int copy(const SharedBytes& bytes, qint64 filePosition, qint64 at, qint64 length)
    {
        const bool worthCopying
            = copyBeatsOwnMemory || bytes.origin->memory() == ImageOrigin::Memory::Mapping;
        off_t from = off_t(filePosition);
        while (copying && worthCopying && length > 0) {
            const ssize_t copied
                = calls.copyRange(bytes.source, &from, file, size_t(std::min(length, chunkSize)));
            if (copied < 0 && errno == EINTR)
                continue;
            if (copied < 0 && !cannotShare(errno))
                return errno;
            // Nothing copied: the system cannot copy between these files, or the file ended early (then
            // the input changed, which the writer finds out); memory holds the bytes either way.
            if (copied <= 0) {
                copying = copied == 0;
                break;
            }
            at += copied;
            length -= copied;
        }
        return writeAllTo(calls, file, bytes.memory + at, length);
    }

    FileSystemCalls& calls;
    const int file;
    const qint64 blockSize;
    const bool copyBeatsOwnMemory;
    const SharedBytes image;
    const OutputPlan& plan;
    const ProgressCallback& progress;
    bool cloning = true;
    bool copying = true;
    bool patchChanged = false;
};

} // namespace

int writeAllTo(FileSystemCalls& calls, int descriptor, const uchar* data, qint64 length)
{
    while (length > 0) {
        const ssize_t written = calls.write(descriptor, data, size_t(std::min(length, chunkSize)));
        if (written < 0 && errno == EINTR)
            continue;
        // A write that takes nothing without an error would never end; on a file that means a full disk.
        if (written <= 0)
            return written < 0 ? errno : ENOSPC;
        data += written;
        length -= written;
    }
    return 0;
}

int writePlanSharing(int descriptor, const uchar* imageData, qint64 imageSize, const OutputPlan& plan,
    const ProgressCallback& progress)
{
    if (!plan.fitsImage(imageSize))
        return EINVAL;
    const bool patchesShared = std::any_of(plan.patches.cbegin(), plan.patches.cend(),
        [](const OutputPatch& patch) { return patch.origin != nullptr; });
    const int source = plan.origin ? openOrigin(*plan.origin) : -1;
    if (source < 0 && !patchesShared)
        return writePlanToDescriptor(descriptor, imageData, imageSize, plan, progress);
    SharingWriter writer(descriptor, source, imageData, plan, progress);
    int error = writer.write();
    // A file written to while it was shared may have given other bytes than memory holds: the output is
    // made again from memory, which holds the bytes as they were read.
    const bool sourceChanged = source >= 0 && !unchanged(source, plan.origin->identity());
    if (error == 0 && (sourceChanged || writer.patchFileChanged())) {
        error = ::ftruncate(descriptor, 0) == 0 && ::lseek(descriptor, 0, SEEK_SET) == 0
            ? writePlanToDescriptor(descriptor, imageData, imageSize, plan, progress)
            : errno;
    }
    if (source >= 0)
        ::close(source);
    // Shared ranges take no time worth showing; the line ends complete.
    if (error == 0 && progress)
        progress(plan.length, plan.length);
    return error;
}
