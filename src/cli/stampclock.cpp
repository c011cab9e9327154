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
    // The record holds local time, as the window writes it; the epoch moment is converted to the local
    // time zone (TZ=UTC gives the same bytes on every machine), which may carry it past the year 9999.
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime();
    if (local.date().year() > 9999)
        return { std::nullopt,
            QStringLiteral("SOURCE_DATE_EPOCH %1 falls after the year 9999 in the local time zone; the "
                           "record's year has four digits.")
                .arg(QString::fromLatin1(epoch)) };
    return { StampTime::fromDateTime(local), QString() };
}
