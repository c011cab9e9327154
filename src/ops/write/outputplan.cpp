#include "ops/write/outputplan.h"

#include "model/imagelayout.h"

bool OutputPlan::fitsImage(qint64 imageSize) const
{
    if (!ImageLayout::rangeInside(sourceStart, length, imageSize))
        return false;
    qint64 covered = 0;
    for (const OutputPatch& patch : patches) {
        if (patch.position < covered || !ImageLayout::rangeInside(patch.position, patch.length(), length))
            return false;
        covered = patch.position + patch.length();
    }
    return true;
}
