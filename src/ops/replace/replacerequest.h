#pragma once

#include "ops/record/stamptime.h"
#include "ops/write/inputwatch.h"
#include "ops/write/planwriter.h"

#include "model/imagebuffer.h"
#include "model/progress.h"

#include <QString>

#include <memory>

// What the padded variant does with the block's entry CRC. The window keeps it as it was; a front end may
// ask for the CRC of the new block, the record variant's rule, so that the output verifies.
enum class PaddedEntryCrc {
    Keep,
    Update,
};

// What a front end asks of one replacement, beyond the block: the files, the output rules, the stamp.
struct ReplaceRequest {
    // The selected row's ID text: the growing variant refuses an empty one.
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
    PaddedEntryCrc paddedEntryCrc = PaddedEntryCrc::Keep;
    // Told how much of the output has been written.
    ProgressCallback progress;
};
