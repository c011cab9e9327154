#include "stampclock.h"

#include <QDateTime>
#include <QRegularExpression>

std::optional<StampTime> StampClock::now(QString* error)
{
    const QByteArray epoch = qgetenv("SOURCE_DATE_EPOCH");
    if (epoch.isEmpty())
        return StampTime::fromLocalClock();
    bool valid = false;
    const qint64 seconds = epoch.toLongLong(&valid);
    const bool digitsOnly
        = QRegularExpression(QStringLiteral("^[0-9]+$")).match(QString::fromLatin1(epoch)).hasMatch();
    // Years past 9999 do not fit the four-digit year the record is stamped with.
    const qint64 lastSecond = 253402300799;
    if (!valid || !digitsOnly || seconds > lastSecond) {
        if (error)
            *error = QStringLiteral(
                "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC, up to %1.")
                         .arg(lastSecond);
        return std::nullopt;
    }
    // The record holds local time, as the window writes it; the epoch moment is converted to the local
    // time zone (TZ=UTC gives the same bytes on every machine).
    return StampTime::fromDateTime(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime());
}
