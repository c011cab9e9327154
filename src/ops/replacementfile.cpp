#include "replacementfile.h"

#include <QFileInfo>

namespace {
constexpr qint64 chunkSize = qint64(64) << 20;
} // namespace

ReplacementFile::ReplacementFile(const QString& path)
    : file(path)
{
}

bool ReplacementFile::open()
{
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    measuredLength = file.size();
    return true;
}

bool ReplacementFile::readWhole(uchar* destination)
{
    qint64 remaining = measuredLength;
    while (remaining > 0) {
        const qint64 got = file.read(reinterpret_cast<char*>(destination), qMin(remaining, chunkSize));
        if (got <= 0)
            return false;
        destination += got;
        remaining -= got;
    }
    // A file that grew since it was measured is not the file that was planned for.
    char extra = 0;
    return file.read(&extra, 1) == 0;
}
