#pragma once

#include "ops/stamptime.h"

#include <QString>

#include <optional>

// The time a refreshed block-info record is stamped with: SOURCE_DATE_EPOCH when it is set, so that
// image builds can be reproduced, otherwise the local clock, as the window does.
class StampClock {
public:
    // Nothing when SOURCE_DATE_EPOCH is set but is not a whole number of seconds; `error` says why.
    static std::optional<StampTime> now(QString* error);
};
