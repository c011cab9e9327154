#pragma once

#include "blocklocation.h"
#include "imageview.h"
#include "outcome.h"
#include "outputplan.h"
#include "planwriter.h"
#include "stamptime.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"
#include "model/imagebuffer.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

// "Replace with...": a new image with one block replaced, written to a new file of exactly flashSize
// bytes. Three variants, chosen by whether the block ends in a block-info record and whether the
// replacement fits.
enum class ReplaceVariant {
    Padded, // no record, fits: replacement, then 0xFF
    WithInfo, // record: replacement, 0xFF, refreshed record, new entry CRC
    Grow, // no record, longer than the block: the block grows and the blocks after it move
};

struct ReplaceRequest {
    QString idText;
    QString replacementPath;
    QString outputPath;
    ExistingOutput existingOutput = ExistingOutput::Replace;
    // When set, the new image goes into this stream (standard output) and outputPath only names it.
    OutputStream* outputStream = nullptr;
    // The file the image was loaded from: the growing variant opens it before it writes.
    QString loadedImagePath;
    // Written into a refreshed record.
    StampTime stampTime;
    // Read, check and plan everything, then stop: nothing is written, nothing in memory changes and no
    // file (not even a temporary one) is created. The output path is then not opened, and a dry run that
    // passes every check ends in success with an empty message.
    bool dryRun = false;
};

enum class ChangedField {
    EntryOffset, // DMH entry `offset`
    EntrySize, // DMH entry `size`
    EntryCrc, // DMH entry `crc`
    CopySize, // `size` of the entry copy the padded variant writes at block size - 64
    CopyCrc, // `crc` of that copy
    RecordDataLength, // block-info record, data length
    RecordDataCrc, // block-info record, data CRC
    RecordTime, // block-info record, year to second (7 bytes)
};

// One field rewritten in the output. Values are the field's `width` bytes read as a little-endian
// number; the record time packs year, month, day, hour, minute and second as they lie in the image.
struct FieldChange {
    ChangedField field = ChangedField::EntryCrc;
    int dmhIndex = -1;
    int entryIndex = -1;
    qint64 position = 0; // output (and image) position of the field's first byte
    int width = 0;
    quint64 oldValue = 0;
    quint64 newValue = 0;
};

// A block the growing variant moves, with image positions.
struct BlockMove {
    quint8 id = 0;
    int entryIndex = -1;
    qint64 from = 0;
    qint64 to = 0;
    quint32 size = 0;
};

// Everything a replacement does, computed before anything is written or changed: what --dry-run shows,
// and what the action carries out.
struct ReplacePlan {
    ReplaceVariant variant = ReplaceVariant::Padded;
    qint64 replacementLength = 0;
    // The output bytes from changedStart to changedStart + changedLength may differ from the loaded image.
    qint64 changedStart = 0;
    qint64 changedLength = 0;
    QVector<FieldChange> fields;
    QVector<BlockMove> moves;
    // The output file. For Grow it is the first flashSize bytes of the image after the change in memory.
    OutputPlan output;

    // Grow only: where the change happens.
    int dmhIndex = -1;
    int entryIndex = -1;
    qint64 blockStart = 0;
    quint32 oldSize = 0;
    qint64 tailLength = 0;
};

QString fieldName(ChangedField field);
QString variantName(ReplaceVariant variant);

// The variant for a block and a replacement length: WithInfo whenever the block carries a record (a
// replacement that does not fit is then refused by that variant), otherwise Padded or Grow by length.
ReplaceVariant chooseVariant(const ImageView& image, const BlockLocation& location, qint64 replacementLength);

// Pure planning, no file I/O. `block` holds the block's new bytes so far: `location.size` bytes, the
// replacement at the start and 0xFF behind it; the plan takes it over and adds the entry copy or the record.
[[nodiscard]] Outcome checkPadded(
    const ImageView& image, const BlockLocation& location, qint64 replacementLength);
[[nodiscard]] Planned<ReplacePlan> planPadded(const ImageView& image, const BlockLocation& location,
    std::shared_ptr<ImageBuffer> block, qint64 replacementLength);

[[nodiscard]] Outcome checkWithInfo(
    const ImageView& image, const BlockLocation& location, qint64 replacementLength);
[[nodiscard]] Planned<ReplacePlan> planWithInfo(const ImageView& image, const BlockLocation& location,
    std::shared_ptr<ImageBuffer> block, qint64 replacementLength, const StampTime& stampTime);

// The capacity test of the growing variant, which comes before the replacement is opened.
[[nodiscard]] Outcome checkGrowCapacity(
    const QVector<DmhRecord>& catalogue, int dmhIndex, const QString& idText, qint64 replacementLength);
[[nodiscard]] Planned<ReplacePlan> planGrow(const ImageView& image, const QVector<DmhRecord>& catalogue,
    int dmhIndex, const QString& idText, const uchar* replacement, qint64 replacementLength);
// Carries out a grow plan in memory: moves the tail, copies the replacement in, updates `catalogue` and
// rewrites the DMH's entries in the image. The plan must come from planGrow on the same image.
void applyGrow(
    uchar* imageData, QVector<DmhRecord>& catalogue, const ReplacePlan& plan, const uchar* replacement);

// The actions: the steps in order (open the replacement, open the output, check, read, plan, write),
// each ending in one outcome. `plan`, when given, receives the plan once it exists.
[[nodiscard]] Outcome replaceBlockPadded(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* plan = nullptr);
[[nodiscard]] Outcome replaceBlockWithInfo(const FlashImage& image, const BlockLocation& location,
    const ReplaceRequest& request, ReplacePlan* plan = nullptr);
// Changes `image` and `catalogue` in place (unless a dry run): later actions see the grown block.
[[nodiscard]] Outcome replaceBlockGrow(FlashImage& image, QVector<DmhRecord>& catalogue,
    const BlockLocation& location, const ReplaceRequest& request, ReplacePlan* plan = nullptr);

// The whole "Replace with..." after the dialogs, for front ends without a window: an empty ID, a block
// not found, the variant chosen by the replacement's length on disk, then the variant's action.
[[nodiscard]] Outcome replaceBlock(FlashImage& image, QVector<DmhRecord>& catalogue,
    const ReplaceRequest& request, ReplacePlan* plan = nullptr);
// The same for a block already found (a front end may reach an entry the ID alone does not find).
[[nodiscard]] Outcome replaceBlockAt(FlashImage& image, QVector<DmhRecord>& catalogue,
    const BlockLocation& location, const ReplaceRequest& request, ReplacePlan* plan = nullptr);
