#include "blocklisting.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"

#include "model/blockcolumns.h"
#include "model/flashimage.h"
#include "ops/inspect/blockfacts.h"

#include <QJsonArray>

using CommandSupport::hexText;

namespace {

CommandResult runList(const FlashImage& image)
{
    CommandResult result;
    TextTable table(QStringList { QStringLiteral("DMH") } + BlockColumns::titles()
        + QStringList { QStringLiteral("Offset(hex)"), QStringLiteral("Flags"), QStringLiteral("Record"),
            QStringLiteral("Data length") });
    QJsonArray blocks;
    for (const BlockFacts& block : BlockFacts::collect(ImageView::of(image), image.dmhRecords())) {
        const BlockEntry& entry = block.entry;
        const QStringList cells = BlockListing::cells(entry);
        blocks.append(BlockListing::json(block, cells));
        // Name and Version are raw bytes of the image: printed, they lose their zero padding and show
        // control characters escaped.
        QStringList shown = cells;
        shown[BlockColumns::Name] = printableText(cells[BlockColumns::Name]);
        shown[BlockColumns::Version] = printableText(cells[BlockColumns::Version]);
        table.addRow(QStringList { QString::number(block.dmhIndex) } + shown
            + QStringList { hexText(entry.offset), QString::number(entry.flags),
                block.hasRecord ? QStringLiteral("yes") : QStringLiteral("no"),
                block.hasRecord ? QString::number(block.dataLength) : QStringLiteral("-") });
    }
    result.details.insert(QStringLiteral("blocks"), blocks);
    result.text = table.render();
    return result;
}

} // namespace

Command listCommand()
{
    return CommandSupport::oneImageCommand(QStringLiteral("list"),
        QStringLiteral("List every block entry with the block table's columns."),
        CommonOptions::exitStatusNote(), runList);
}
