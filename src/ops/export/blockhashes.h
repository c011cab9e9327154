#pragma once

#include "ops/base/imageview.h"
#include "ops/record/backgroundsha256.h"
#include "ops/inspect/blockfacts.h"

#include "model/dmhrecord.h"
#include "model/progress.h"

#include <QByteArray>
#include <QVector>

// The SHA-256 of every block's export (exactly the bytes `export` writes for it) and of the whole image,
// in lowercase hex. A byte range that several entries list is hashed once; on a large image the ranges
// are hashed on all of the machine's cores, with the whole image on a thread of its own beside them.
class BlockHashes {
public:
    // Hashes every entry of `catalogue` and the image. Reads only the image in memory. A digest of the
    // image already under way (started while it loaded) gives the image's hash instead of a second pass.
    // `progress` hears, on the calling thread, of the bytes hashed of the image and the blocks together.
    static BlockHashes compute(const ImageView& image, const QVector<DmhRecord>& catalogue,
        BackgroundSha256* imageUnderWay = nullptr, const ProgressCallback& progress = {});

    // The hash of the export of entry `entryIndex` of DMH `dmhIndex`; null when the export is refused (a
    // block outside the image, a record whose data length does not fit) or no such entry is listed.
    QByteArray of(int dmhIndex, int entryIndex) const;
    QByteArray of(const BlockFacts& block) const { return of(block.dmhIndex, block.entryIndex); }
    // The hash of the whole image.
    const QByteArray& image() const { return imageHash; }

private:
    QVector<QVector<QByteArray>> perDmh;
    QByteArray imageHash;
};
