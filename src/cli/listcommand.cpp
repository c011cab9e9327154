#include "blocklisting.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"

#include "model/flashimage.h"
#include "ops/blockfacts.h"

#include <QJsonArray>

using CommandSupport::hexText;

namespace {

CommandResult runList(const FlashImage& image)
{
    CommandResult result;
    TextTable table({ QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Size(Bytes)"),
        QStringLiteral("CRC"), QStringLiteral("Name"), QStringLiteral("Version"),
        QStringLiteral("Time(Y/M/D/H/M/S)"), QStringLiteral("Offset(hex)"), QStringLiteral("Flags"),
        QStringLiteral("Record"), QStringLiteral("Data length") });
    QJsonArray blocks;
    for (const BlockFacts& block : BlockFacts::collect(ImageView::of(image), image.dmhRecords())) {
        const BlockEntry& entry = block.entry;
        const QStringList cells = BlockListing::cells(entry);
        blocks.append(BlockListing::json(block, cells));
        table.addRow({ QString::number(block.dmhIndex), cells[0], cells[1], cells[2], printableText(cells[3]),
            printableText(cells[4]), cells[5], hexText(entry.offset), QString::number(entry.flags),
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
