#pragma once

#include "ops/record/stamptime.h"

#include <QString>

#include <optional>

// The time a refreshed block-info record is stamped with: SOURCE_DATE_EPOCH when it is set, taken in UTC
// so that image builds can be reproduced anywhere, otherwise the local clock, as the window does.
struct StampClockReading {
    std::optional<StampTime> time;
    // Why SOURCE_DATE_EPOCH gives no time; empty when `time` is set.
    QString error;

    static StampClockReading now();
};
