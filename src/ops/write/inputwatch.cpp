#include "ops/write/inputwatch.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool sameTime(const timespec& left, const timespec& right)
{
    return left.tv_sec == right.tv_sec && left.tv_nsec == right.tv_nsec;
}

// "2026-12-09 10:15:02.123456789 UTC": the nanoseconds are what tells two writes a millisecond apart.
QString timeText(const timespec& time)
{
    return QDateTime::fromSecsSinceEpoch(time.tv_sec, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        + QStringLiteral(".%1 UTC").arg(qint64(time.tv_nsec), 9, 10, QLatin1Char('0'));
}

InputChange changed(const QString& path, const QString& what, bool cutShort = false)
{
    return { path, cutShort, what };
}

QString sizesText(qint64 opened, qint64 now)
{
    return QStringLiteral("It had %1 bytes when it was opened and has %2 now.")
        .arg(QString::number(opened), QString::number(now));
}

} // namespace

QString InputChange::message() const
{
    if (cutShort)
        return QStringLiteral("%1: an input file was cut short while it was being read.").arg(path);
    return QStringLiteral("%1 changed while it was read.").arg(path);
}

Outcome InputChange::outcome(const QString& consequence) const
{
    Outcome failure = Outcome::unreadableInput(message(), what + QLatin1Char(' ') + consequence);
    failure.outputFault = OutputFault::InputChanged;
    return failure;
}

InputWatch::~InputWatch()
{
    for (const Input& input : inputs) {
        if (input.descriptor >= 0)
            ::close(input.descriptor);
    }
}

void InputWatch::watch(const QString& path)
{
    Input input;
    input.path = path;
    input.descriptor = ::open(QFile::encodeName(path).constData(), O_PATH | O_CLOEXEC);
    struct stat status { };
    if (input.descriptor >= 0 && ::fstat(input.descriptor, &status) == 0)
        input.opened = status;
    inputs.push_back(std::move(input));
}

std::optional<InputChange> InputWatch::firstChange() const
{
    for (const Input& input : inputs) {
        if (std::optional<InputChange> change = changeOf(input))
            return change;
    }
    return std::nullopt;
}

std::optional<InputChange> InputWatch::checkBeforeCommit()
{
    std::optional<InputChange> change = firstChange();
    committed = !change;
    return change;
}

// The order puts first what explains most: a file cut short explains a failed read of its mapping, and a
// file put in place of the one opened explains why the opened one changed its status too.
std::optional<InputChange> InputWatch::changeOf(const Input& input)
{
    const QByteArray path = QFile::encodeName(input.path);
    struct stat atPath { };
    const bool present = ::stat(path.constData(), &atPath) == 0;
    if (!input.opened) {
        if (!present)
            return std::nullopt;
        return changed(
            input.path, QStringLiteral("There was no file to open when the run began; one appeared later."));
    }
    const struct stat& opened = *input.opened;
    struct stat now { };
    if (::fstat(input.descriptor, &now) != 0)
        return changed(input.path,
            QStringLiteral("Its status could not be taken again: %1.")
                .arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (now.st_size < opened.st_size)
        return changed(input.path, sizesText(opened.st_size, now.st_size), true);
    if (!present)
        return changed(
            input.path, QStringLiteral("Its name no longer names a file: it was removed or renamed."));
    if (atPath.st_dev != opened.st_dev || atPath.st_ino != opened.st_ino)
        return changed(input.path,
            QStringLiteral(
                "Its name names another file now (inode %1, where inode %2 was opened): a file was "
                "put in its place.")
                .arg(QString::number(atPath.st_ino), QString::number(opened.st_ino)));
    if (now.st_size != opened.st_size)
        return changed(input.path, sizesText(opened.st_size, now.st_size));
    if (!sameTime(now.st_mtim, opened.st_mtim))
        return changed(input.path,
            QStringLiteral("It was written after it was opened: its modification time moved from %1 to %2.")
                .arg(timeText(opened.st_mtim), timeText(now.st_mtim)));
    if (!sameTime(now.st_ctim, opened.st_ctim))
        return changed(input.path,
            QStringLiteral("Its status changed after it was opened (its change time moved from %1 to %2): "
                           "it was renamed, linked, removed, or had its permissions or times set.")
                .arg(timeText(opened.st_ctim), timeText(now.st_ctim)));
    return std::nullopt;
}
