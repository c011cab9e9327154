#pragma once

#include "ops/base/blocklocation.h"
#include "ops/replace/replaceplan.h"

#include "model/dmhrecord.h"

#include <QStringList>
#include <QVector>

// What is legal but surprising about a planned replacement, for front ends that can say more than one
// status line: the new bytes hold a DMH (the new image will list another one), the bytes written lie
// inside another listed block (a DMH nested in a container block: that block's CRCs will no longer
// hold), or a growth writes a CRC where the entry held the "NCRC" marker. `catalogue` is the one the plan
// was made with.
QStringList replacementWarnings(
    const QVector<DmhRecord>& catalogue, const BlockLocation& location, const ReplacePlan& plan);
