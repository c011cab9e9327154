#pragma once

#include <QDateTime>
#include <QtGlobal>

// The moment a block-info record is stamped with. Taken from a clock by the front end, so that tests and
// reproducible builds can fix it.
struct StampTime {
    quint16 year = 0;
    quint8 month = 0;
    quint8 day = 0;
    quint8 hour = 0;
    quint8 minute = 0;
    quint8 second = 0;

    // The local clock, read once and split into date and time of day by fromDateTime.
    static StampTime fromLocalClock();
    // The moment's own date and time of day, to the second.
    static StampTime fromDateTime(const QDateTime& moment);
    // A moment given field by field, as tests and fixed clocks name it.
    static StampTime of(quint16 year, quint8 month, quint8 day, quint8 hour, quint8 minute, quint8 second);

    bool operator==(const StampTime& other) const;
};
