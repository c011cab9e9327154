#include "planreport.h"

#include "commandsupport.h"
#include "texttable.h"

#include <QJsonArray>

using CommandSupport::hexText;

namespace {

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

// One table of the report, as text and as its JSON array.
struct ReportTable {
    TextTable text;
    QJsonArray json;
};

// The variant, the lengths and the range of bytes that may change.
TextTable summaryTable(const ReplacePlan& plan)
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
    summary.addRow({ QStringLiteral("Output length:"), QString::number(plan.output.length) });
    return summary;
}

// Every rewritten field with its old and new value.
ReportTable fieldsTable(const QVector<FieldChange>& changes)
{
    ReportTable fields { TextTable({ QStringLiteral("Field"), QStringLiteral("DMH"), QStringLiteral("Entry"),
                             QStringLiteral("Position(hex)"), QStringLiteral("Width"), QStringLiteral("Old"),
                             QStringLiteral("New") }),
        QJsonArray() };
    for (const FieldChange& change : changes) {
        const QString oldText = fieldValueText(change.field, change.oldValue);
        const QString newText = fieldValueText(change.field, change.newValue);
        fields.text.addRow(
            { fieldName(change.field), QString::number(change.dmhIndex), QString::number(change.entryIndex),
                hexText(quint64(change.position)), QString::number(change.width), oldText, newText });
        fields.json.append(QJsonObject {
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
    return fields;
}

// The blocks a growth moves: from where, to where and by how much.
ReportTable movesTable(const QVector<BlockMove>& blockMoves)
{
    ReportTable moves { TextTable({ QStringLiteral("ID"), QStringLiteral("Entry"),
                            QStringLiteral("From(hex)"), QStringLiteral("To(hex)"),
                            QStringLiteral("Size(Bytes)"), QStringLiteral("By(Bytes)") }),
        QJsonArray() };
    for (const BlockMove& move : blockMoves) {
        const qint64 distance = move.to - move.from;
        moves.text.addRow(
            { BlockEntry::idText(move.id), QString::number(move.entryIndex), hexText(quint64(move.from)),
                hexText(quint64(move.to)), QString::number(move.size), QString::number(distance) });
        moves.json.append(QJsonObject {
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
    return moves;
}

} // namespace

PlanReport describePlan(const ReplacePlan& plan)
{
    const ReportTable fields = fieldsTable(plan.fields);
    const ReportTable moves = movesTable(plan.moves);
    PlanReport report;
    report.json = QJsonObject {
        { QStringLiteral("variant"), variantName(plan.variant) },
        { QStringLiteral("replacementLength"), double(plan.replacementLength) },
        { QStringLiteral("changedStart"), double(plan.changedStart) },
        { QStringLiteral("changedStartText"), hexText(quint64(plan.changedStart)) },
        { QStringLiteral("changedLength"), double(plan.changedLength) },
        { QStringLiteral("outputLength"), double(plan.output.length) },
        { QStringLiteral("fields"), fields.json },
        { QStringLiteral("moves"), moves.json },
    };
    QString text = summaryTable(plan).render();
    text += QStringLiteral("\n\nRewritten fields:\n")
        + (plan.fields.isEmpty() ? QStringLiteral("none") : fields.text.render());
    if (plan.variant == ReplaceVariant::Grow)
        text += QStringLiteral("\n\nMoved blocks:\n")
            + (plan.moves.isEmpty() ? QStringLiteral("none") : moves.text.render());
    report.text = text;
    return report;
}

QStringList staleCrcWarnings(const BlockEntry& entry, int dmhIndex, int entryIndex, const ReplacePlan& plan)
{
    if (!plan.entryCrcLeftStale || !plan.newBlockCrc)
        return {};
    return { QStringLiteral("the entry CRC of block %1 (DMH %2, entry %3) stays %4, but the new bytes have "
                            "CRC %5: the padded replacement leaves it as it was, so verify will flag the "
                            "block. --update-crc writes the new CRC into the entry.")
                 .arg(entry.idText(), QString::number(dmhIndex), QString::number(entryIndex),
                     entry.crcCellText(), QString::number(*plan.newBlockCrc, 16)) };
}
