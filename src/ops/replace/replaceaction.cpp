#include "ops/replace/replaceaction.h"

#include "ops/record/blockinfo.h"
#include "ops/replace/blockgrow.h"
#include "ops/replace/blockreplace.h"

#include <QFileInfo>

#include <cstring>

ReplaceVariant chooseVariant(const ImageView& image, const BlockLocation& location, qint64 replacementLength)
{
    if (BlockInfo::hasBlockInfo(image.data, image.size, location.dmhPosition, location.entry))
        return ReplaceVariant::WithInfo;
    return replacementLength <= qint64(location.size) ? ReplaceVariant::Padded : ReplaceVariant::Grow;
}

Outcome replaceBlockAt(FlashImage& image, QVector<DmhRecord>& catalogue, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* plan)
{
    if (!location.found())
        return blockNotFound();
    const qint64 replacementLength = QFileInfo(request.replacementPath).size();
    switch (chooseVariant(ImageView::of(image), location, replacementLength)) {
    case ReplaceVariant::Padded:
        return replaceBlockPadded(image, location, request, plan);
    case ReplaceVariant::WithInfo:
        return replaceBlockWithInfo(image, location, request, plan);
    case ReplaceVariant::Grow:
        return replaceBlockGrow(image, catalogue, location, request, plan);
    }
    return blockNotFound();
}

void applyPlan(uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan)
{
    if (plan.variant == ReplaceVariant::Grow) {
        applyGrow(imageData, catalogue, plan);
        return;
    }
    // The padded and record plans take the image from its start and lay their bytes over it.
    for (const OutputPatch& patch : plan.output.patches)
        std::memcpy(
            imageData + plan.output.sourceStart + patch.position, patch.data(), size_t(patch.length()));
}
