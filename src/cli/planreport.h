#pragma once

#include "ops/replace/blockreplace.h"

#include <QJsonObject>
#include <QString>

// What a replacement does, as the dry run shows it: the variant, the bytes that may change, every
// rewritten field with its old and new value, and the blocks a growth moves; as text and as the JSON
// `plan`.
struct PlanReport {
    QString text;
    QJsonObject json;
};

PlanReport describePlan(const ReplacePlan& plan);

// The warning of a padded replacement that left the entry's CRC not matching the new bytes (none when it
// matches or was rewritten), naming the entry as it stood before the replacement.
QStringList staleCrcWarnings(const BlockEntry& entry, int dmhIndex, int entryIndex, const ReplacePlan& plan);
