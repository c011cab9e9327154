#include "imagedigests.h"
#include "blocklisting.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"

#include "model/blockcolumns.h"
#include "model/flashimage.h"
#include "ops/inspect/blockfacts.h"

#include <QJsonArray>

#include <optional>

using CommandSupport::hexText;

namespace {

CommandResult runList(const FlashImage& image, const ParsedArguments& arguments)
{
    CommandResult result;
    // Hashing reads every byte; without --hashes a listing costs what the table costs.
    std::optional<BlockHashes> hashes;
    if (arguments.isSet(CommonOptions::hashes().longName))
        hashes = ImageDigests::blockHashes(image);
    QStringList titles = QStringList { QStringLiteral("DMH") } + BlockColumns::titles()
        + QStringList { QStringLiteral("Offset(hex)"), QStringLiteral("Flags"), QStringLiteral("Record"),
              QStringLiteral("Data length") };
    if (hashes)
        titles << QStringLiteral("SHA-256");
    TextTable table(titles);
    QJsonArray blocks;
    for (const BlockFacts& block : BlockFacts::collect(ImageView::of(image), image.dmhRecords())) {
        const BlockEntry& entry = block.entry;
        const QStringList cells = BlockListing::cells(entry);
        blocks.append(BlockListing::json(block, cells, hashes ? &*hashes : nullptr));
        // Name and Version are raw bytes of the image: printed, they lose their zero padding and show
        // control characters escaped.
        QStringList shown = cells;
        shown[BlockColumns::Name] = printableText(cells[BlockColumns::Name]);
        shown[BlockColumns::Version] = printableText(cells[BlockColumns::Version]);
        QStringList row = QStringList { QString::number(block.dmhIndex) } + shown
            + QStringList { hexText(entry.offset), QString::number(entry.flags),
                  block.hasRecord ? QStringLiteral("yes") : QStringLiteral("no"),
                  block.hasRecord ? QString::number(block.dataLength) : QStringLiteral("-") };
        if (hashes)
            row << BlockListing::hashText(hashes->of(block));
        table.addRow(row);
    }
    result.details.insert(QStringLiteral("blocks"), blocks);
    if (hashes)
        result.details.insert(QStringLiteral("sha256"), QString::fromLatin1(hashes->image()));
    result.text = table.render();
    return result;
}

} // namespace

Command listCommand()
{
    return CommandSupport::oneImageCommand(QStringLiteral("list"),
        QStringLiteral("List every block entry with the block table's columns."),
        CommonOptions::exitStatusNote(), { CommonOptions::hashes() }, runList);
}
