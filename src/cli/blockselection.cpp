#include "blockselection.h"

#include "ops/base/statustexts.h"

#include <QRegularExpression>

namespace {

const QString namePrefix = QStringLiteral("name:");

BlockSelection refuse(const QString& message)
{
    BlockSelection selection;
    selection.refusal = message;
    return selection;
}

bool sameEntry(const BlockLocation& location, int dmhIndex, int entryIndex)
{
    return location.found() && location.dmhIndex == dmhIndex && location.entryIndex == entryIndex;
}

// The BLOCK text that reaches the entry, or nothing when no BLOCK reaches it (an earlier entry of the
// same DMH has its ID).
std::optional<QString> reachingReference(const QVector<DmhRecord>& catalogue, int dmhIndex, int entryIndex)
{
    const QString idText = catalogue[dmhIndex].entries[entryIndex].idText();
    if (sameEntry(findBlock(catalogue, idText), dmhIndex, entryIndex))
        return idText;
    if (sameEntry(findBlockInDmh(catalogue, dmhIndex, idText), dmhIndex, entryIndex))
        return BlockReference { idText, dmhIndex }.text();
    return std::nullopt;
}

// The DMH whose lack of entries ends the search by ID before `dmhIndex`, or -1.
int emptyDmhBefore(const QVector<DmhRecord>& catalogue, int dmhIndex)
{
    for (int index = 0; index < dmhIndex; ++index) {
        if (catalogue[index].entries.isEmpty())
            return index;
    }
    return -1;
}

// The ID an ID text would be if it were written the table's way ("AB", "0x1f", "05"), or -1.
int idOfLooseText(const QString& idText)
{
    QString digits = idText.toLower();
    if (digits.startsWith(QLatin1String("0x")))
        digits = digits.mid(2);
    bool isNumber = false;
    const uint id = digits.toUInt(&isNumber, 16);
    return isNumber && !digits.isEmpty() && id <= 0xFF ? int(id) : -1;
}

QString explainNotFound(const QVector<DmhRecord>& catalogue, const BlockReference& reference)
{
    if (reference.dmhIndex >= catalogue.size())
        return QStringLiteral("The image has %1 DMH(s), numbered from 0; there is no DMH %2.")
            .arg(catalogue.size())
            .arg(reference.dmhIndex);
    if (reference.dmhIndex >= 0)
        return QStringLiteral("DMH %1 lists no block with ID %2.")
            .arg(QString::number(reference.dmhIndex), reference.idText);
    const int looseId = idOfLooseText(reference.idText);
    if (looseId >= 0 && BlockEntry::idText(quint8(looseId)) != reference.idText
        && entriesWithId(catalogue, quint8(looseId)) > 0)
        return QStringLiteral("IDs are written as the table shows them, in lower-case hex without prefix or "
                              "leading zeros: %1.")
            .arg(BlockEntry::idText(quint8(looseId)));
    const int empty = emptyDmhBefore(catalogue, catalogue.size());
    for (int later = empty + 1; empty >= 0 && later < catalogue.size(); ++later) {
        if (findBlockInDmh(catalogue, later, reference.idText).found())
            return QStringLiteral("The search by ID ends at DMH %1, which has no entries; %2 reaches the "
                                  "block behind it.")
                .arg(QString::number(empty), BlockReference { reference.idText, later }.text());
    }
    return QStringLiteral("No DMH lists a block with ID %1.").arg(reference.idText);
}

} // namespace

BlockReference BlockReference::parse(const QString& text)
{
    static const QRegularExpression qualified(QStringLiteral("\\A([0-9]{1,9}):(.+)\\z"));
    const QRegularExpressionMatch match = qualified.match(text);
    if (!match.hasMatch())
        return { text, -1 };
    return { match.captured(2), match.captured(1).toInt() };
}

QString BlockReference::text() const
{
    return dmhIndex < 0 ? idText : QStringLiteral("%1:%2").arg(dmhIndex).arg(idText);
}

BlockSelection BlockSelection::byReference(
    const QVector<DmhRecord>& catalogue, const BlockReference& reference)
{
    BlockSelection selection;
    selection.idText = reference.idText;
    selection.location = reference.dmhIndex < 0
        ? findBlock(catalogue, reference.idText)
        : findBlockInDmh(catalogue, reference.dmhIndex, reference.idText);
    if (!selection.location.found()) {
        selection.notFoundDetail = explainNotFound(catalogue, reference);
        return selection;
    }
    const BlockLocation& location = selection.location;
    const quint8 id = location.entry.id;
    const int listed = reference.dmhIndex < 0 ? entriesWithId(catalogue, id)
                                              : entriesWithId(catalogue[location.dmhIndex], id);
    if (listed > 1) {
        QString warning
            = QStringLiteral(
                "ID %1 is listed %2 times %3; the first entry (DMH %4, entry %5) is acted on, as "
                "in the window.")
                  .arg(location.entry.idText())
                  .arg(listed)
                  .arg(reference.dmhIndex < 0 ? QStringLiteral("in the image")
                                              : QStringLiteral("in DMH %1").arg(reference.dmhIndex))
                  .arg(location.dmhIndex)
                  .arg(location.entryIndex);
        // The example must reach a block: the other entries may all lie in the DMH acted on.
        for (int other = 0; other < catalogue.size(); ++other) {
            if (other != location.dmhIndex
                && findBlockInDmh(catalogue, other, location.entry.idText()).found()) {
                warning
                    += QStringLiteral(" DMH:ID (for example %1:%2) reaches the first entry of another DMH.")
                           .arg(other)
                           .arg(location.entry.idText());
                break;
            }
        }
        selection.warnings.append(warning);
    }
    return selection;
}

BlockSelection BlockSelection::byName(const QVector<DmhRecord>& catalogue, const QString& name)
{
    // Names are compared as the bytes of the entry, up to the first zero byte.
    const QByteArray wanted = name.toLocal8Bit();
    QVector<QPair<int, int>> matches;
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const QVector<BlockEntry>& entries = catalogue[dmhIndex].entries;
        for (int entryIndex = 0; entryIndex < entries.size(); ++entryIndex) {
            if (entries[entryIndex].nameText() == wanted)
                matches.append({ dmhIndex, entryIndex });
        }
    }
    if (matches.isEmpty())
        return refuse(QStringLiteral("No block is named %1.").arg(name));

    if (matches.size() > 1) {
        // Only the BLOCK texts that reach a candidate are offered.
        QStringList candidates;
        for (const auto& [dmhIndex, entryIndex] : matches) {
            const std::optional<QString> reference = reachingReference(catalogue, dmhIndex, entryIndex);
            if (!reference)
                continue;
            candidates << (reference->contains(QLatin1Char(':'))
                    ? *reference
                    : QStringLiteral("%1 (DMH %2)").arg(*reference).arg(dmhIndex));
        }
        if (candidates.isEmpty())
            return refuse(
                QStringLiteral("Block name %1 is ambiguous, and no BLOCK reaches any of its entries.")
                    .arg(name));
        return refuse(QStringLiteral("Block name %1 is ambiguous; use one of the IDs: %2.")
                          .arg(name, candidates.join(QStringLiteral(", "))));
    }

    // The operations act on the entry the ID text finds; it must be the entry that bears the name.
    const auto [dmhIndex, entryIndex] = matches.first();
    const BlockEntry& entry = catalogue[dmhIndex].entries[entryIndex];
    const QString idText = entry.idText();
    const BlockLocation byId = findBlock(catalogue, idText);
    if (sameEntry(byId, dmhIndex, entryIndex)) {
        BlockSelection selection;
        selection.idText = idText;
        selection.location = byId;
        return selection;
    }
    const std::optional<QString> reference = reachingReference(catalogue, dmhIndex, entryIndex);
    const QString remedy = reference ? QStringLiteral("use %1 to act on it").arg(*reference)
                                     : QStringLiteral("it cannot be acted on");
    const int emptyDmh = emptyDmhBefore(catalogue, dmhIndex);
    if (!byId.found() && emptyDmh >= 0) {
        return refuse(QStringLiteral("Block %1 has ID %2, but the search by ID ends at DMH %3, which has no "
                                     "entries; %4.")
                          .arg(name, idText, QString::number(emptyDmh), remedy));
    }
    return refuse(
        QStringLiteral("Block %1 has ID %2, but that ID finds another block first (DMH %3, entry %4); "
                       "%5.")
            .arg(name, idText, QString::number(byId.dmhIndex), QString::number(byId.entryIndex), remedy));
}

BlockSelection BlockSelection::byText(const QVector<DmhRecord>& catalogue, const QString& blockText)
{
    if (blockText.startsWith(namePrefix))
        return byName(catalogue, blockText.mid(namePrefix.size()));
    return byReference(catalogue, BlockReference::parse(blockText));
}

QString BlockSelection::nameText(const QString& name)
{
    return namePrefix + name;
}

QString BlockSelection::textError(const QString& blockText)
{
    if (blockText.isEmpty() || blockText == namePrefix)
        return QStringLiteral("BLOCK must not be empty.");
    return QString();
}

Refusable<ChainTarget> BlockSelection::chainTarget() const
{
    if (refusal)
        return Refusable<ChainTarget>::refused(Outcome::refused(*refusal));
    if (!location.found())
        return Refusable<ChainTarget>::refused(Outcome::refused(StatusText::canNotFindDmh(), notFoundDetail));
    return Refusable<ChainTarget>::of({ location, idText });
}
