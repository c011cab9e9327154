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

    // The local clock, read as date first and time of day right after.
    static StampTime fromLocalClock();
    static StampTime fromDateTime(const QDateTime& moment);

    bool operator==(const StampTime& other) const;
};
