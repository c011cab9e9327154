#include "ops/write/rangesharing.h"

#include "ops/write/filesystemcalls.h"
#include "ops/write/planstream.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
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

// The output file's bytes in order, each range from where it can come most cheaply.
class SharingWriter {
public:
    SharingWriter(int file, int source, const uchar* imageData, const OutputPlan& plan)
        : calls(FileSystemCalls::current())
        , file(file)
        , source(source)
        , sourceSize(plan.origin->identity().size)
        , blockSize(blockSizeOf(file))
        , imageData(imageData)
        , plan(plan)
    {
    }

    int write()
    {
        qint64 written = 0;
        for (const OutputPatch& patch : plan.patches) {
            if (const int error = fromImage(written, patch.position - written))
                return error;
            if (const int error = writeAllTo(calls, file, patch.data(), patch.length()))
                return error;
            written = patch.position + patch.length();
        }
        return fromImage(written, plan.length - written);
    }

private:
    // `length` output bytes from `position` that the plan takes from the image: shared where the image
    // still holds its file's bytes, written from memory elsewhere.
    int fromImage(qint64 position, qint64 length)
    {
        const qint64 imageStart = plan.sourceStart + position;
        qint64 image = imageStart;
        for (const ImageOrigin::Piece& piece : plan.origin->pieces()) {
            const qint64 from = std::max(image, piece.imageStart);
            const qint64 to = std::min(imageStart + length, piece.imageStart + piece.length);
            if (from >= to)
                continue;
            if (const int error = writeAllTo(calls, file, imageData + image, from - image))
                return error;
            const qint64 filePosition = piece.filePosition + (from - piece.imageStart);
            if (const int error = share(position + (from - imageStart), filePosition, from, to - from))
                return error;
            image = to;
        }
        return writeAllTo(calls, file, imageData + image, imageStart + length - image);
    }

    // Output bytes from `position` that are the file's from `filePosition` (and the image's from `image`).
    // A clone needs both positions on a block boundary, and a length of whole blocks unless it ends where
    // the file ends; the bytes around such a range are copied.
    int share(qint64 position, qint64 filePosition, qint64 image, qint64 length)
    {
        if (cloning && blockSize > 0 && (position - filePosition) % blockSize == 0) {
            const qint64 end = position + length;
            const qint64 cloneStart = std::min(end, (position + blockSize - 1) / blockSize * blockSize);
            const qint64 cloneEnd = filePosition + length == sourceSize ? end : end / blockSize * blockSize;
            if (cloneEnd > cloneStart) {
                const qint64 head = cloneStart - position;
                if (const int error = copy(filePosition, image, head))
                    return error;
                if (const int error
                    = clone(filePosition + head, image + head, cloneStart, cloneEnd - cloneStart))
                    return error;
                const qint64 tail = end - cloneEnd;
                return copy(filePosition + length - tail, image + length - tail, tail);
            }
        }
        return copy(filePosition, image, length);
    }

    int clone(qint64 filePosition, qint64 image, qint64 position, qint64 length)
    {
        if (calls.cloneRange(source, off_t(filePosition), file, off_t(position), off_t(length)) == 0)
            return ::lseek(file, off_t(position + length), SEEK_SET) < 0 ? errno : 0;
        if (!cannotShare(errno))
            return errno;
        cloning = false;
        return copy(filePosition, image, length);
    }

    // Copies within the file system where it can, and writes from memory where it cannot.
    int copy(qint64 filePosition, qint64 image, qint64 length)
    {
        off_t from = off_t(filePosition);
        while (copying && length > 0) {
            const ssize_t copied = calls.copyRange(source, &from, file, size_t(std::min(length, chunkSize)));
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
            image += copied;
            length -= copied;
        }
        return writeAllTo(calls, file, imageData + image, length);
    }

    FileSystemCalls& calls;
    const int file;
    const int source;
    const qint64 sourceSize;
    const qint64 blockSize;
    const uchar* const imageData;
    const OutputPlan& plan;
    bool cloning = true;
    bool copying = true;
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
    const int source = plan.origin ? openOrigin(*plan.origin) : -1;
    if (source < 0)
        return writePlanToDescriptor(descriptor, imageData, imageSize, plan, progress);
    int error = SharingWriter(descriptor, source, imageData, plan).write();
    // A file written to while it was shared may have given other bytes than memory holds: the output is
    // made again from memory, which holds the image as it was read.
    if (error == 0 && !unchanged(source, plan.origin->identity())) {
        error = ::ftruncate(descriptor, 0) == 0 && ::lseek(descriptor, 0, SEEK_SET) == 0
            ? writePlanToDescriptor(descriptor, imageData, imageSize, plan, progress)
            : errno;
    }
    ::close(source);
    // Shared ranges take no time worth showing; the line ends complete.
    if (error == 0 && progress)
        progress(plan.length, plan.length);
    return error;
}
