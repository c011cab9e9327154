#include "ops/replace/replacementfile.h"

#include "ops/base/statustexts.h"

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
    const QFileInfo info(file.fileName());
    if (info.exists() && !info.isFile()) {
        problem = info.isDir() ? QStringLiteral("%1 is a folder, not a file.").arg(file.fileName())
                               : QStringLiteral("%1 is not a regular file: a device, FIFO or socket has no "
                                                "length to plan with.")
                                     .arg(file.fileName());
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("%1: %2.").arg(file.fileName(), file.errorString());
        return false;
    }
    measuredLength = file.size();
    return true;
}

bool ReplacementFile::readWhole(uchar* destination)
{
    qint64 remaining = measuredLength;
    while (remaining > 0) {
        const qint64 got = file.read(reinterpret_cast<char*>(destination), qMin(remaining, chunkSize));
        if (got <= 0) {
            problem = got < 0
                ? QStringLiteral("%1: %2.").arg(file.fileName(), file.errorString())
                : QStringLiteral("%1 ended after %2 of its %3 bytes: it changed while it was read.")
                      .arg(file.fileName(), QString::number(measuredLength - remaining),
                          QString::number(measuredLength));
            return false;
        }
        destination += got;
        remaining -= got;
    }
    // A file that grew since it was measured is not the file that was planned for.
    char extra = 0;
    if (file.read(&extra, 1) != 0) {
        problem
            = QStringLiteral("%1 grew past the %2 bytes it was measured at: it changed while it was read.")
                  .arg(file.fileName(), QString::number(measuredLength));
        return false;
    }
    return true;
}

Outcome ReplacementFile::failure() const
{
    return Outcome::unreadableInput(StatusText::canNotOpen(file.fileName()), problem);
}
