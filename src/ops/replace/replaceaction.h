#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/replace/replaceplan.h"
#include "ops/replace/replacerequest.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"

#include <QVector>
#include <QtGlobal>

// "Replace with..." over the three variants.

// The variant for a block and a replacement length: WithInfo whenever the block carries a record (a
// replacement that does not fit is then refused by that variant), otherwise Padded or Grow by length.
ReplaceVariant chooseVariant(const ImageView& image, const BlockLocation& location, qint64 replacementLength);

// The whole "Replace with..." after the dialogs, for a block already found (the command line may reach
// an entry the ID alone does not find): a block not found is refused, otherwise the variant chosen by the
// replacement's length on disk does the rest. The window runs the same steps itself, a variant a slot.
[[nodiscard]] Outcome replaceBlockAt(FlashImage& image, QVector<DmhRecord>& catalogue,
    const BlockLocation& location, const ReplaceRequest& request, ReplacePlan* plan = nullptr);

// Lays a plan's changes over the image in memory, as the output would hold them: the bytes of the output
// plan for the padded and record variants, the growth for the growing one (with `catalogue`, the DMHs of
// the image, updated). The plan must have been made for this image.
void applyPlan(uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan);
