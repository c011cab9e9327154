#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/record/stamptime.h"
#include "ops/replace/replaceplan.h"
#include "ops/replace/replacerequest.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"
#include "model/imagebuffer.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

// The two variants that keep the block's size: padded (no record, the replacement fits) and record (the
// block ends in a block-info record, which is refreshed).

// Pure planning, no file I/O. `catalogue` lists every DMH of the image (DMH positions and tables, and
// every block the output must keep). `block` holds the block's new bytes so far: `location.size` bytes,
// the replacement at the start and 0xFF behind it; the plan takes it over and adds the entry copy or the
// record. The checks need only the replacement's length, so they run before it is read; a plan function
// runs its check first.
[[nodiscard]] Outcome checkPadded(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, qint64 replacementLength, PaddedEntryCrc entryCrc = PaddedEntryCrc::Keep);
[[nodiscard]] Refusable<ReplacePlan> planPadded(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> block, qint64 replacementLength,
    PaddedEntryCrc entryCrc = PaddedEntryCrc::Keep);

[[nodiscard]] Outcome checkWithInfo(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, qint64 replacementLength);
[[nodiscard]] Refusable<ReplacePlan> planWithInfo(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> block, qint64 replacementLength,
    const StampTime& stampTime);

// The actions: the steps in order (open the replacement, open the output, check, read, plan, write),
// each ending in one outcome. `plan`, when given, receives the plan once it exists.
[[nodiscard]] Outcome replaceBlockPadded(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* plan = nullptr);
[[nodiscard]] Outcome replaceBlockWithInfo(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* plan = nullptr);
