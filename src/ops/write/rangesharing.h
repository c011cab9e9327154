#pragma once

#include "ops/write/outputplan.h"

#include "model/progress.h"

#include <QtGlobal>

class FileSystemCalls;

// Writes `length` bytes through the seam's write, going on after interrupted and partial writes: 0 when
// every byte went out, else the errno of the write that failed (ENOSPC for one that took nothing).
[[nodiscard]] int writeAllTo(FileSystemCalls& calls, int descriptor, const uchar* data, qint64 length);

// Writes a plan into a new, empty regular file, sharing with the image's file what the plan takes
// unchanged from it (plan.origin), and with a patch's file the patch that it holds (OutputPatch::origin):
// the file system clones the ranges whose positions in both files lie alike on its blocks (FICLONERANGE),
// copies the rest within itself (copy_file_range) unless that only moves bytes through the page cache as a
// write from the program's own copy of the bytes would (ext4), and where it can do neither the bytes are
// written from memory, as are the new ones. A file it shares from must be unchanged (device, inode, size and
// times as when it was opened), before and after; a file that is not before is not shared from, and one that
// is not after has the whole plan written again from memory. The output's bytes are the same on every path. 0
// when every byte is in place, else the errno of the call that failed (EINVAL for a plan that does not fit
// the image). `progress`, when given, hears of the bytes in place.
[[nodiscard]] int writePlanSharing(int descriptor, const uchar* imageData, qint64 imageSize,
    const OutputPlan& plan, const ProgressCallback& progress = {});
