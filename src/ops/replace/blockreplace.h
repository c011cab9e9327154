#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/write/planwriter.h"
#include "ops/replace/replaceplan.h"
#include "ops/record/stamptime.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"
#include "model/imagebuffer.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

struct ReplaceRequest {
    QString idText;
    QString replacementPath;
    QString outputPath;
    ExistingOutput existingOutput = ExistingOutput::Replace;
    // When set, the new image goes into this stream (standard output) and outputPath only names it.
    OutputStream* outputStream = nullptr;
    // When set, the files the run read (the image, the replacements): one that changed since it was opened
    // stops the writer before the output takes its name.
    InputWatch* inputs = nullptr;
    // The file the image was loaded from: the growing variant opens it before it writes.
    QString loadedImagePath;
    // Written into a refreshed record.
    StampTime stampTime;
    // Memory a run has used already (the new bytes of a block it laid over the image): the new bytes of
    // this replacement reuse it when it has room, since fresh memory is slow to touch at first.
    std::shared_ptr<ImageBuffer> spareBuffer;
    // Read, check and plan everything, then stop: nothing is written, nothing in memory changes and no
    // file (not even a temporary one) is created. The output path is then not opened, and a dry run that
    // passes every check ends in success with an empty message.
    bool dryRun = false;
};

// The variant for a block and a replacement length: WithInfo whenever the block carries a record (a
// replacement that does not fit is then refused by that variant), otherwise Padded or Grow by length.
ReplaceVariant chooseVariant(const ImageView& image, const BlockLocation& location, qint64 replacementLength);

// Pure planning, no file I/O. `catalogue` lists every DMH of the image (DMH positions and tables, and
// every block the output must keep). `block` holds the block's new bytes so far: `location.size` bytes,
// the replacement at the start and 0xFF behind it; the plan takes it over and adds the entry copy or the
// record. The checks need only the replacement's length, so they run before it is read.
[[nodiscard]] Outcome checkPadded(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, qint64 replacementLength);
[[nodiscard]] Refusable<ReplacePlan> planPadded(const ImageView& image, const QVector<DmhRecord>& catalogue,
    const BlockLocation& location, std::shared_ptr<ImageBuffer> block, qint64 replacementLength);

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

// The whole "Replace with..." after the dialogs, for front ends without a window: an empty ID, a block
// not found, the variant chosen by the replacement's length on disk, then the variant's action.
[[nodiscard]] Outcome replaceBlock(FlashImage& image, QVector<DmhRecord>& catalogue,
    const ReplaceRequest& request, ReplacePlan* plan = nullptr);
// The same for a block already found (a front end may reach an entry the ID alone does not find).
[[nodiscard]] Outcome replaceBlockAt(FlashImage& image, QVector<DmhRecord>& catalogue,
    const BlockLocation& location, const ReplaceRequest& request, ReplacePlan* plan = nullptr);

// Lays a plan's changes over the image in memory, as the output would hold them: the bytes of the output
// plan for the padded and record variants, the growth for the growing one (with `catalogue`, the DMHs of
// the image, updated). The plan must have been made for this image.
void applyPlan(uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan);
// What applyPlan does to the image's claim on its file's bytes (`origin`): what it writes is no longer the
// file's, and the blocks a growth moves are the file's from where they were.
void noteApplied(ImageOrigin& origin, const ReplacePlan& plan);
