#include "blockselection.h"

#include "commandline.h"
#include "model/flashimage.h"

#include <QStringList>

namespace {

BlockSelection refuse(const QString& message)
{
    BlockSelection selection;
    selection.refused = true;
    selection.refusal = CommandResult::failure(exitRefused, message);
    return selection;
}

} // namespace

BlockSelection BlockSelection::select(const FlashImage& image, const CliOptions& options)
{
    const QVector<DmhRecord>& catalogue = image.dmhRecords();
    if (!options.byName) {
        // The ID text goes to the operations as given: "A" finds nothing, exactly as in the window.
        BlockSelection selection;
        selection.idText = options.blockId;
        selection.location = findBlock(catalogue, options.blockId);
        return selection;
    }

    // Names are compared as the bytes of the entry, up to the first zero byte.
    const QByteArray wanted = options.blockName.toLocal8Bit();
    QStringList candidates;
    int matchDmh = -1;
    int matchEntry = -1;
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const QVector<BlockEntry>& entries = catalogue[dmhIndex].entries;
        for (int entryIndex = 0; entryIndex < entries.size(); ++entryIndex) {
            if (entries[entryIndex].nameText() != wanted)
                continue;
            candidates << QStringLiteral("%1 (DMH %2)").arg(entries[entryIndex].idText()).arg(dmhIndex);
            matchDmh = dmhIndex;
            matchEntry = entryIndex;
        }
    }
    if (candidates.isEmpty())
        return refuse(QStringLiteral("No block is named %1.").arg(options.blockName));
    if (candidates.size() > 1) {
        return refuse(QStringLiteral("Block name %1 is ambiguous; use one of the IDs: %2.")
                          .arg(options.blockName, candidates.join(QStringLiteral(", "))));
    }

    // The operations find a block by its ID text; make sure that text leads to the entry that bears the
    // name, not to an earlier entry with the same ID.
    BlockSelection selection;
    selection.idText = catalogue[matchDmh].entries[matchEntry].idText();
    selection.location = findBlock(catalogue, selection.idText);
    if (!selection.location.found() || selection.location.dmhIndex != matchDmh
        || selection.location.entryIndex != matchEntry) {
        return refuse(QStringLiteral(
            "Block %1 has ID %2, but that ID finds another block first; it cannot be acted on.")
                          .arg(options.blockName, selection.idText));
    }
    return selection;
}
