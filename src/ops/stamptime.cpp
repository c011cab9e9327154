#include "stamptime.h"

namespace {

StampTime fromParts(const QDate& date, const QTime& time)
{
    StampTime stamp;
    // The year goes through its four-digit text, so it is the calendar year as the user reads it.
    stamp.year = quint16(date.toString(QStringLiteral("yyyy")).toUInt());
    stamp.month = quint8(date.toString(QStringLiteral("MM")).toUInt());
    stamp.day = quint8(date.toString(QStringLiteral("dd")).toUInt());
    stamp.hour = quint8(time.hour());
    stamp.minute = quint8(time.minute());
    stamp.second = quint8(time.second());
    return stamp;
}

} // namespace

StampTime StampTime::fromLocalClock()
{
    const QDate date = QDateTime::currentDateTime().date();
    const QTime time = QTime::currentTime();
    return fromParts(date, time);
}

StampTime StampTime::fromDateTime(const QDateTime& moment)
{
    return fromParts(moment.date(), moment.time());
}

bool StampTime::operator==(const StampTime& other) const
{
    return year == other.year && month == other.month && day == other.day && hour == other.hour
        && minute == other.minute && second == other.second;
}
