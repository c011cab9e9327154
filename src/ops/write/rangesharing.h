#pragma once

#include "ops/write/outputplan.h"

#include "model/progress.h"

#include <QtGlobal>

class FileSystemCalls;

// Writes `length` bytes through the seam's write, going on after interrupted and partial writes: 0 when
// every byte went out, else the errno of the write that failed (ENOSPC for one that took nothing).
[[nodiscard]] int writeAllTo(FileSystemCalls& calls, int descriptor, const uchar* data, qint64 length);

// Writes a plan into a new, empty regular file, sharing with the image's file what the plan takes
// unchanged from it (plan.origin): the file system clones the ranges whose positions in both files lie
// alike on its blocks (FICLONERANGE), copies the rest within itself (copy_file_range), and where it can do
// neither the bytes are written from memory, as are the new ones. The file it shares from must be the one
// the image was read from, unchanged (device, inode, size and times as when it was opened), before and
// after; when that cannot be shown the whole plan is written from memory. The output's bytes are the same
// on every path. 0 when every byte is in place, else the errno of the call that failed (EINVAL for a plan
// that does not fit the image). `progress`, when given, hears of the bytes in place.
[[nodiscard]] int writePlanSharing(int descriptor, const uchar* imageData, qint64 imageSize,
    const OutputPlan& plan, const ProgressCallback& progress = {});
