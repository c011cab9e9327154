#include "ops/record/stamptime.h"

namespace {

StampTime fromParts(const QDate& date, const QTime& time)
{
    // The year goes through its four-digit text, so it is the calendar year as the user reads it.
    return StampTime::of(quint16(date.toString(QStringLiteral("yyyy")).toUInt()),
        quint8(date.toString(QStringLiteral("MM")).toUInt()),
        quint8(date.toString(QStringLiteral("dd")).toUInt()), quint8(time.hour()), quint8(time.minute()),
        quint8(time.second()));
}

} // namespace

StampTime StampTime::fromLocalClock()
{
    // One reading: date and time of day read apart can fall either side of midnight.
    return fromDateTime(QDateTime::currentDateTime());
}

StampTime StampTime::fromDateTime(const QDateTime& moment)
{
    return fromParts(moment.date(), moment.time());
}

StampTime StampTime::of(quint16 year, quint8 month, quint8 day, quint8 hour, quint8 minute, quint8 second)
{
    return { year, month, day, hour, minute, second };
}

bool StampTime::operator==(const StampTime& other) const
{
    return year == other.year && month == other.month && day == other.day && hour == other.hour
        && minute == other.minute && second == other.second;
}
