#pragma once

#include "ops/write/outputplan.h"

#include "model/progress.h"

#include <QtGlobal>

class QIODevice;

// Streams an output plan to a device: image ranges straight from memory, patches in between. True only
// when every byte of the plan was written.
[[nodiscard]] bool writePlan(
    QIODevice& device, const uchar* imageData, qint64 imageSize, const OutputPlan& plan);

// Streams an output plan into an open descriptor through the file-system seam, going on after
// interrupted and partial writes. 0 when every byte was written; otherwise the errno of the write that
// failed (ENOSPC for one that took nothing, EINVAL for a plan that does not fit the image).
// `progress`, when given, hears the bytes written so far of plan.length after each step.
[[nodiscard]] int writePlanToDescriptor(int descriptor, const uchar* imageData, qint64 imageSize,
    const OutputPlan& plan, const ProgressCallback& progress = {});
