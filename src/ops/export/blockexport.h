#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/write/outputplan.h"
#include "ops/write/planwriter.h"

#include <QString>

// What "Save as..." writes: the block's bytes, or only its data part when it ends in a block-info record.
struct ExportPlan {
    OutputPlan output;
    bool dataPartOnly = false;
};

// Without touching any file: the image range to export, or the refusal. `fileName` (the output as its
// file object names it) fills the messages. Refuses a location not found, a block outside the image and
// a record whose data length reaches into the record or beyond the block.
[[nodiscard]] Refusable<ExportPlan> planExport(
    const ImageView& image, const BlockLocation& location, const QString& fileName);

// The export action: opens the output (creating nothing yet), plans, writes and commits. The outcome
// carries the status text; nothing is left at the path unless it succeeds. Given a stream, the block goes
// there and `outputPath` only names it in the texts. Given the run's inputs, a change of one since it was
// opened leaves nothing at the path either.
[[nodiscard]] Outcome exportBlock(const ImageView& image, const BlockLocation& location,
    const QString& outputPath, ExistingOutput existing = ExistingOutput::Replace,
    OutputStream* stream = nullptr, InputWatch* inputs = nullptr);
