#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/replace/replaceplan.h"
#include "ops/replace/replacerequest.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"
#include "model/imagebuffer.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

// The growing variant: the block takes the whole replacement and the blocks behind it in its DMH move
// towards the end of the image by as much; the DMH's entries are rewritten with the new offsets, size and
// CRC. It works on the image in memory and the caller's catalogue.

// Every check, the capacity test first: all of them need only the length. `location` is the block as
// found in `catalogue`.
[[nodiscard]] Outcome checkGrow(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, qint64 replacementLength);
// The checks, then the plan, which keeps `replacement`, whose bytes the growth copies in, as its new bytes.
[[nodiscard]] Refusable<ReplacePlan> planGrow(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> replacement);
// Carries out a grow plan in memory: moves the tail, copies the replacement in, updates `catalogue` and
// rewrites the DMH's entries in the image. The plan must come from planGrow on the same image.
void applyGrow(uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan);

// The action. Changes `image` and `catalogue` in place (unless a dry run): later actions see the grown
// block.
[[nodiscard]] Outcome replaceBlockGrow(FlashImage& image, QVector<DmhRecord>& catalogue,
    const BlockLocation& location, const ReplaceRequest& request, ReplacePlan* plan = nullptr);
