#include "planwriter.h"

#include <QIODevice>

namespace {

// Large enough that the image goes out in few system calls, small enough for any one write to succeed.
constexpr qint64 chunkSize = qint64(64) << 20;

bool writeAll(QIODevice& device, const uchar* data, qint64 length)
{
    while (length > 0) {
        const qint64 wanted = qMin(length, chunkSize);
        if (device.write(reinterpret_cast<const char*>(data), wanted) != wanted)
            return false;
        data += wanted;
        length -= wanted;
    }
    return true;
}

} // namespace

bool writePlan(QIODevice& device, const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    if (!plan.fitsImage(imageSize))
        return false;
    const uchar* const source = imageData + plan.sourceStart;
    qint64 written = 0;
    for (const OutputPatch& patch : plan.patches) {
        if (!writeAll(device, source + written, patch.position - written)
            || !writeAll(device, patch.data(), patch.length()))
            return false;
        written = patch.position + patch.length();
    }
    return writeAll(device, source + written, plan.length - written);
}

PlanWriter::PlanWriter(const QString& path)
    : file(path)
{
}

bool PlanWriter::open()
{
    // Unbuffered, so that every write reports what reached the file: a buffered QSaveFile flushes its
    // last bytes inside commit(), which then succeeds even when that flush came up short.
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool PlanWriter::writeAndCommit(const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    // QSaveFile notices a failing write call but not one that returns fewer bytes without an error,
    // as happens on a full file system; such a file must not replace the target.
    if (!writePlan(file, imageData, imageSize, plan)) {
        discard();
        return false;
    }
    return file.commit();
}

void PlanWriter::discard()
{
    if (!file.isOpen())
        return;
    file.cancelWriting();
    // With writing cancelled, commit() only removes the temporary file; the target stays as it was.
    file.commit();
}
