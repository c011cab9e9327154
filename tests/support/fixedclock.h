#pragma once

#include "ops/record/stamptime.h"

#include <QtGlobal>

// The one moment every test and the replacement fuzzer stamp records with: 2026-03-05 07:08:09, as a
// local time, and as seconds since the epoch (SOURCE_DATE_EPOCH) for a clock in UTC.
inline constexpr qint64 fixedEpoch = 1772694489;

inline StampTime fixedStamp()
{
    return StampTime::of(2026, 3, 5, 7, 8, 9);
}
