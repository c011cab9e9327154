#pragma once

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

// What an output file is made of: `length` bytes of the image in memory starting at `sourceStart`, with
// `patches` laid over them. Patch positions count from the start of the output; patches are sorted,
// do not overlap and lie inside the output. The plan holds only the new bytes, never a copy of the image.
struct OutputPatch {
    qint64 position = 0;
    QByteArray bytes;
};

struct OutputPlan {
    qint64 sourceStart = 0;
    qint64 length = 0;
    QVector<OutputPatch> patches;

    // True when every byte the plan takes from the image lies inside [0, imageSize) and every patch
    // inside the output.
    bool fitsImage(qint64 imageSize) const;
};
