#include "blockcommands.h"

#include "blockselection.h"
#include "commandline.h"
#include "outputtarget.h"
#include "stampclock.h"
#include "texttable.h"
#include "model/flashimage.h"
#include "ops/blockexport.h"
#include "ops/blockreplace.h"

#include <QJsonArray>

namespace {

QString hexText(quint64 value)
{
    return QString::number(value, 16);
}

QJsonObject blockJson(const BlockSelection& selection)
{
    const BlockEntry& entry = selection.location.entry;
    return QJsonObject {
        { QStringLiteral("dmhIndex"), selection.location.dmhIndex },
        { QStringLiteral("entryIndex"), selection.location.entryIndex },
        { QStringLiteral("id"), int(entry.id) },
        { QStringLiteral("idText"), entry.idText() },
        { QStringLiteral("name"), entry.nameCellText() },
        { QStringLiteral("nameText"), QString::fromLocal8Bit(entry.nameText()) },
    };
}

// The -o rules; nothing to check when no output is named (a dry run).
std::optional<CommandResult> checkOutput(const CliOptions& options, const QStringList& inputs)
{
    if (options.outputPath.isEmpty())
        return std::nullopt;
    return OutputTarget::check(options.outputPath, options.force, inputs, options.dryRun);
}

ExistingOutput existingOutput(const CliOptions& options)
{
    return options.force ? ExistingOutput::Replace : ExistingOutput::Refuse;
}

// What the writer found beyond the status text: a name taken (or a device put there) while the output
// was written reads as the -o refusal it now is; a file written but not synced into its folder says so.
void explainOutputFault(
    const Outcome& outcome, const CliOptions& options, const QStringList& inputs, CommandResult& result)
{
    if (outcome.outputFault == OutputFault::NotDurable) {
        result.detail
            = QStringLiteral("%1 was written, but its folder could not be synced: its durability is "
                             "not confirmed, and it may not survive a power cut.")
                  .arg(options.outputPath);
        return;
    }
    if (outcome.outputFault == OutputFault::Exists || outcome.outputFault == OutputFault::NotRegularFile) {
        if (const std::optional<CommandResult> refusal = checkOutput(options, inputs))
            result.message = refusal->message;
    }
}

bool isCrcField(ChangedField field)
{
    return field == ChangedField::EntryCrc || field == ChangedField::CopyCrc
        || field == ChangedField::RecordDataCrc;
}

// The record time packs year (2 bytes), month, day, hour, minute and second as they lie in the image.
QString packedTimeText(quint64 packed)
{
    return QStringLiteral("%1/%2/%3/%4/%5/%6")
        .arg(packed & 0xFFFF)
        .arg((packed >> 16) & 0xFF)
        .arg((packed >> 24) & 0xFF)
        .arg((packed >> 32) & 0xFF)
        .arg((packed >> 40) & 0xFF)
        .arg((packed >> 48) & 0xFF);
}

// CRCs in the table's hex, offsets in hex as `list` shows them, sizes and lengths in decimal.
QString fieldValueText(ChangedField field, quint64 value)
{
    if (field == ChangedField::RecordTime)
        return packedTimeText(value);
    if (isCrcField(field) || field == ChangedField::EntryOffset)
        return hexText(value);
    return QString::number(value);
}

QJsonValue fieldValueNumber(ChangedField field, quint64 value)
{
    // Seven packed time bytes do not fit a JSON number exactly; the text carries them.
    return field == ChangedField::RecordTime ? QJsonValue(QJsonValue::Null) : QJsonValue(double(value));
}

void describePlan(const ReplacePlan& plan, quint32 flashSize, CommandResult& result)
{
    const qint64 changedEnd = plan.changedStart + plan.changedLength;
    TextTable summary({ QStringLiteral("Variant:"), variantName(plan.variant) });
    summary.addRow({ QStringLiteral("Replacement length:"), QString::number(plan.replacementLength) });
    summary.addRow({ QStringLiteral("Changed bytes(hex):"),
        plan.changedLength == 0
            ? QStringLiteral("none")
            : QStringLiteral("%1 to %2 (%3 bytes)")
                  .arg(hexText(quint64(plan.changedStart)), hexText(quint64(changedEnd - 1)))
                  .arg(plan.changedLength) });
    summary.addRow({ QStringLiteral("Output length:"), QString::number(flashSize) });

    TextTable fields({ QStringLiteral("Field"), QStringLiteral("DMH"), QStringLiteral("Entry"),
        QStringLiteral("Position(hex)"), QStringLiteral("Width"), QStringLiteral("Old"),
        QStringLiteral("New") });
    QJsonArray fieldsJson;
    for (const FieldChange& change : plan.fields) {
        const QString oldText = fieldValueText(change.field, change.oldValue);
        const QString newText = fieldValueText(change.field, change.newValue);
        fields.addRow(
            { fieldName(change.field), QString::number(change.dmhIndex), QString::number(change.entryIndex),
                hexText(quint64(change.position)), QString::number(change.width), oldText, newText });
        fieldsJson.append(QJsonObject {
            { QStringLiteral("field"), fieldName(change.field) },
            { QStringLiteral("dmhIndex"), change.dmhIndex },
            { QStringLiteral("entryIndex"), change.entryIndex },
            { QStringLiteral("position"), double(change.position) },
            { QStringLiteral("positionText"), hexText(quint64(change.position)) },
            { QStringLiteral("width"), change.width },
            { QStringLiteral("old"), fieldValueNumber(change.field, change.oldValue) },
            { QStringLiteral("oldText"), oldText },
            { QStringLiteral("new"), fieldValueNumber(change.field, change.newValue) },
            { QStringLiteral("newText"), newText },
        });
    }

    TextTable moves({ QStringLiteral("ID"), QStringLiteral("Entry"), QStringLiteral("From(hex)"),
        QStringLiteral("To(hex)"), QStringLiteral("Size(Bytes)"), QStringLiteral("By(Bytes)") });
    QJsonArray movesJson;
    for (const BlockMove& move : plan.moves) {
        const qint64 distance = move.to - move.from;
        moves.addRow(
            { BlockEntry::idText(move.id), QString::number(move.entryIndex), hexText(quint64(move.from)),
                hexText(quint64(move.to)), QString::number(move.size), QString::number(distance) });
        movesJson.append(QJsonObject {
            { QStringLiteral("id"), int(move.id) },
            { QStringLiteral("idText"), BlockEntry::idText(move.id) },
            { QStringLiteral("entryIndex"), move.entryIndex },
            { QStringLiteral("from"), double(move.from) },
            { QStringLiteral("fromText"), hexText(quint64(move.from)) },
            { QStringLiteral("to"), double(move.to) },
            { QStringLiteral("toText"), hexText(quint64(move.to)) },
            { QStringLiteral("size"), double(move.size) },
            { QStringLiteral("by"), double(distance) },
        });
    }

    result.details.insert(QStringLiteral("plan"),
        QJsonObject {
            { QStringLiteral("variant"), variantName(plan.variant) },
            { QStringLiteral("replacementLength"), double(plan.replacementLength) },
            { QStringLiteral("changedStart"), double(plan.changedStart) },
            { QStringLiteral("changedStartText"), hexText(quint64(plan.changedStart)) },
            { QStringLiteral("changedLength"), double(plan.changedLength) },
            { QStringLiteral("outputLength"), double(flashSize) },
            { QStringLiteral("fields"), fieldsJson },
            { QStringLiteral("moves"), movesJson },
        });
    QString text = summary.render();
    text += QStringLiteral("\n\nRewritten fields:\n")
        + (plan.fields.isEmpty() ? QStringLiteral("none") : fields.render());
    if (plan.variant == ReplaceVariant::Grow)
        text += QStringLiteral("\n\nMoved blocks:\n")
            + (plan.moves.isEmpty() ? QStringLiteral("none") : moves.render());
    result.text = text;
}

} // namespace

CommandResult runExport(const FlashImage& image, const CliOptions& options)
{
    const BlockSelection selection = BlockSelection::select(image, options);
    if (selection.refused)
        return selection.refusal;
    if (std::optional<CommandResult> refusal = checkOutput(options, { options.imagePath }))
        return *refusal;

    const ImageView view = ImageView::of(image);
    const Outcome outcome
        = exportBlock(view, selection.location, options.outputPath, existingOutput(options));
    CommandResult result;
    result.exitStatus = outcome.success ? exitSuccess : exitRefused;
    result.message = outcome.message;
    explainOutputFault(outcome, options, { options.imagePath }, result);
    result.details.insert(QStringLiteral("output"), options.outputPath);
    if (selection.location.found())
        result.details.insert(QStringLiteral("block"), blockJson(selection));
    if (outcome.success) {
        // Planning again costs nothing and touches no file; it tells what was written.
        const Planned<ExportPlan> planned = planExport(view, selection.location, options.outputPath);
        if (planned.accepted()) {
            result.details.insert(QStringLiteral("length"), double(planned.plan->output.length));
            result.details.insert(QStringLiteral("dataPartOnly"), planned.plan->dataPartOnly);
        }
    }
    return result;
}

CommandResult runReplace(FlashImage& image, const CliOptions& options)
{
    const BlockSelection selection = BlockSelection::select(image, options);
    if (selection.refused)
        return selection.refusal;
    const QStringList inputs { options.imagePath, options.replacementPath };
    if (std::optional<CommandResult> refusal = checkOutput(options, inputs))
        return *refusal;
    QString clockError;
    const std::optional<StampTime> stampTime = StampClock::now(&clockError);
    if (!stampTime)
        return CommandResult::failure(exitBadInput, clockError);

    ReplaceRequest request;
    request.idText = selection.idText;
    request.replacementPath = options.replacementPath;
    request.outputPath = options.outputPath;
    request.existingOutput = existingOutput(options);
    request.loadedImagePath = options.imagePath;
    request.stampTime = *stampTime;
    request.dryRun = options.dryRun;

    // The operations work on the front end's own copy of the catalogue, as the window's do.
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplacePlan plan;
    const Outcome outcome = replaceBlock(image, catalogue, request, &plan);

    CommandResult result;
    result.message = outcome.message;
    result.details.insert(QStringLiteral("dryRun"), options.dryRun);
    result.details.insert(QStringLiteral("replacement"), options.replacementPath);
    result.details.insert(QStringLiteral("output"),
        options.outputPath.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(options.outputPath));
    if (selection.location.found())
        result.details.insert(QStringLiteral("block"), blockJson(selection));
    if (!outcome.success) {
        // A replacement or loaded image that cannot be read is unreadable input; the rest are refusals.
        const QString unopened = QStringLiteral("Can not open %1!!!");
        const bool unreadableInput = outcome.message == unopened.arg(options.replacementPath)
            || outcome.message == unopened.arg(options.imagePath);
        result.exitStatus = unreadableInput ? exitBadInput : exitRefused;
        explainOutputFault(outcome, options, inputs, result);
        return result;
    }
    describePlan(plan, image.flashSize(), result);
    if (options.dryRun) {
        if (!options.outputPath.isEmpty())
            result.text += QStringLiteral("\n\nOutput (not written): %1").arg(options.outputPath);
        result.message = QStringLiteral("Dry run: nothing was written.");
    } else {
        result.text.clear();
    }
    return result;
}
