#include "stampclock.h"

#include <QDateTime>

#include <algorithm>

namespace {

// 9999-12-31 23:59:59 UTC: the record's year has four digits.
constexpr qint64 lastSecond = 253402300799;

bool digitsOnly(const QByteArray& text)
{
    return !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

StampClockReading StampClockReading::now()
{
    const QByteArray epoch = qgetenv("SOURCE_DATE_EPOCH");
    if (epoch.isEmpty())
        return { StampTime::fromLocalClock(), QString() };
    const QString invalid = QStringLiteral(
        "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC, up to %1.")
                                .arg(lastSecond);
    // Digits only: a sign, blanks or a trailing newline would be a build script's slip, not a time.
    bool valid = false;
    const qint64 seconds = epoch.toLongLong(&valid);
    if (!digitsOnly(epoch) || !valid || seconds > lastSecond)
        return { std::nullopt, invalid };
    // The instant in UTC, as reproducible builds expect: the same epoch gives the same bytes on every
    // machine, whatever its time zone.
    return { StampTime::fromDateTime(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)), QString() };
}
