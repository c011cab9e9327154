#pragma once

#include "model/imagebuffer.h"

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <memory>

// New bytes laid over the output at `position` (counted from the start of the output): a small piece
// (a field, an entry copy), or a whole new block, which may be larger than a QByteArray can hold.
struct OutputPatch {
    qint64 position = 0;
    QByteArray bytes;
    // When set, the patch is this buffer and `bytes` is unused. Shared, so copies of a plan do not copy
    // a block.
    std::shared_ptr<const ImageBuffer> block;

    qint64 length() const { return block ? block->size() : bytes.size(); }
    const uchar* data() const
    {
        return block ? block->data() : reinterpret_cast<const uchar*>(bytes.constData());
    }
};

// What an output file is made of: `length` bytes of the image in memory starting at `sourceStart`, with
// `patches` laid over them. Patches are sorted, do not overlap and lie inside the output. The plan holds
// only the new bytes, never a copy of the image.
struct OutputPlan {
    qint64 sourceStart = 0;
    qint64 length = 0;
    QVector<OutputPatch> patches;

    // True when every byte the plan takes from the image lies inside [0, imageSize), and the patches are
    // sorted, apart and inside the output.
    bool fitsImage(qint64 imageSize) const;
};
