#pragma once

#include "model/imagebuffer.h"
#include "ops/write/imageorigin.h"

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <memory>
#include <utility>

// New bytes laid over the output at `position` (counted from the start of the output): a small piece
// (a field, an entry copy), or a whole new block, which may be larger than a QByteArray can hold.
struct OutputPatch {
    qint64 position = 0;
    QByteArray bytes;
    // When set, the patch is this buffer and `bytes` is unused. Shared, so copies of a plan do not copy
    // a block.
    std::shared_ptr<const ImageBuffer> block;
    // When set, the patch's bytes are also this file's, as far as its pieces say (a block file of an
    // unpacked folder): a writer into a file may have the system copy them from there.
    std::shared_ptr<const ImageOrigin> origin;

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
    OutputPlan() = default;
    OutputPlan(qint64 sourceStart, qint64 length, QVector<OutputPatch> patches = {})
        : sourceStart(sourceStart)
        , length(length)
        , patches(std::move(patches))
    {
    }

    qint64 sourceStart = 0;
    qint64 length = 0;
    QVector<OutputPatch> patches;
    // Where the image's bytes are still its file's, when they are: a writer into a file shares those
    // ranges with that file (or has the system copy them) rather than write them from memory. The output's
    // bytes are the same either way.
    std::shared_ptr<const ImageOrigin> origin;

    // True when every byte the plan takes from the image lies inside [0, imageSize), and the patches are
    // sorted, apart and inside the output.
    bool fitsImage(qint64 imageSize) const;
};
