#include "layoutcheck.h"

#include "model/imagelayout.h"

QVector<LayoutProblem> checkLayout(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    QVector<LayoutProblem> problems;
    const qint64 flashSize = image.flashSize;
    if (image.size < flashSize) {
        LayoutProblem problem;
        problem.kind = LayoutProblem::Kind::ImageShorterThanFlash;
        problem.length = image.size;
        problems.append(problem);
    }
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue[dmhIndex];
        if (dmh.flashSize != image.flashSize) {
            LayoutProblem problem;
            problem.kind = LayoutProblem::Kind::FlashSizesDisagree;
            problem.dmhIndex = dmhIndex;
            problem.position = dmh.position;
            problem.length = dmh.flashSize;
            problems.append(problem);
        }
        const qint64 tableLength
            = ImageLayout::dmhHeaderSize + qint64(ImageLayout::entryStride) * dmh.entries.size();
        if (!ImageLayout::rangeInside(dmh.position, tableLength, flashSize)) {
            LayoutProblem problem;
            problem.kind = LayoutProblem::Kind::DmhBeyondFlash;
            problem.dmhIndex = dmhIndex;
            problem.position = dmh.position;
            problem.length = tableLength;
            problems.append(problem);
        }
        for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
            const BlockEntry& entry = dmh.entries[entryIndex];
            // Only the block's bytes the image holds can be lost; those outside it are a block's own fault.
            const qint64 start = qint64(dmh.position) + entry.offset;
            const qint64 heldEnd = qMin(start + entry.size, image.size);
            if (heldEnd <= start || heldEnd <= flashSize)
                continue;
            LayoutProblem problem;
            problem.kind = LayoutProblem::Kind::BlockBeyondFlash;
            problem.dmhIndex = dmhIndex;
            problem.entryIndex = entryIndex;
            problem.position = start;
            problem.length = entry.size;
            problems.append(problem);
        }
    }
    return problems;
}
