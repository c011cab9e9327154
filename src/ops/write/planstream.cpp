#include "ops/write/planstream.h"

#include "ops/write/filesystemcalls.h"

#include <QIODevice>

#include <cerrno>

namespace {

// Large enough that the image goes out in few system calls, small enough for any one write to succeed.
constexpr qint64 chunkSize = qint64(64) << 20;
// Writes the plan through `writeAll(data, length)`, which says whether every byte went out.
template <typename WriteAll>
bool streamPlan(WriteAll&& writeAll, const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    if (!plan.fitsImage(imageSize))
        return false;
    const uchar* const source = imageData + plan.sourceStart;
    qint64 written = 0;
    for (const OutputPatch& patch : plan.patches) {
        if (!writeAll(source + written, patch.position - written) || !writeAll(patch.data(), patch.length()))
            return false;
        written = patch.position + patch.length();
    }
    return writeAll(source + written, plan.length - written);
}

} // namespace

bool writePlan(QIODevice& device, const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    const auto writeAll = [&device](const uchar* data, qint64 length) {
        while (length > 0) {
            const qint64 wanted = qMin(length, chunkSize);
            if (device.write(reinterpret_cast<const char*>(data), wanted) != wanted)
                return false;
            data += wanted;
            length -= wanted;
        }
        return true;
    };
    return streamPlan(writeAll, imageData, imageSize, plan);
}

int writePlanToDescriptor(int descriptor, const uchar* imageData, qint64 imageSize, const OutputPlan& plan,
    const ProgressCallback& progress)
{
    FileSystemCalls& calls = FileSystemCalls::current();
    int error = EINVAL;
    qint64 done = 0;
    const auto writeAll = [&](const uchar* data, qint64 length) {
        while (length > 0) {
            const ssize_t written = calls.write(descriptor, data, size_t(qMin(length, chunkSize)));
            if (written < 0 && errno == EINTR)
                continue;
            // A write that takes nothing without an error would never end; on a file that means a full
            // disk.
            if (written <= 0) {
                error = written < 0 ? errno : ENOSPC;
                return false;
            }
            data += written;
            length -= written;
            done += written;
            if (progress)
                progress(done, plan.length);
        }
        return true;
    };
    // A plan that does not fit the image is refused before any write (EINVAL).
    return streamPlan(writeAll, imageData, imageSize, plan) ? 0 : error;
}
