#include "exportall.h"

#include "blocklisting.h"
#include "commandsupport.h"
#include "jsondocument.h"
#include "outputtarget.h"

#include "model/flashimage.h"
#include "ops/blockexport.h"
#include "ops/blockfacts.h"
#include "ops/blockinfo.h"
#include "ops/folderwriter.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

const QByteArray indexFileName("index.json");

// How many decimal digits `number` takes.
int digitsOf(int number)
{
    return int(QByteArray::number(number).size());
}

bool keptInFileName(char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
        || byte == '.' || byte == '_' || byte == '-';
}

// File names such as "d0-e04-id5-kernel.bin": DMH index, entry index, ID and name, so each is unique and
// tells its block; the indices are zero-padded to the image's widest, so that a listing sorts in table order.
class BlockFileNames {
public:
    explicit BlockFileNames(const QVector<BlockFacts>& blocks)
    {
        int lastDmh = 0;
        int lastEntry = 0;
        for (const BlockFacts& block : blocks) {
            lastDmh = std::max(lastDmh, block.dmhIndex);
            lastEntry = std::max(lastEntry, block.entryIndex);
        }
        dmhDigits = digitsOf(lastDmh);
        entryDigits = std::max(2, digitsOf(lastEntry));
    }

    QByteArray of(const BlockFacts& block) const
    {
        QByteArray fileName = 'd' + QByteArray::number(block.dmhIndex).rightJustified(dmhDigits, '0') + "-e"
            + QByteArray::number(block.entryIndex).rightJustified(entryDigits, '0') + "-id"
            + block.entry.idText().toLatin1();
        QByteArray name = block.entry.nameText();
        std::replace_if(
            name.begin(), name.end(), [](char byte) { return !keptInFileName(byte); }, '_');
        if (!name.isEmpty())
            fileName += '-' + name;
        return fileName + ".bin";
    }

private:
    int dmhDigits = 1;
    int entryDigits = 2;
};

// The folder writer's fault as the result: its message, the explanation and exit status 1 (2 for an input
// that changed).
CommandResult writeFailure(CommandResult result, const FolderWriter& writer, const ExportAllRequest& request)
{
    result.exitStatus = writer.fault() == FolderFault::InputChanged ? exitBadInput : exitRefused;
    OutputTarget::explainFolderFault(
        writer, request.folderPath, request.force, { request.imagePath }, result);
    return result;
}

} // namespace

CommandResult exportAll(const FlashImage& image, const ExportAllRequest& request)
{
    CommandResult result;
    result.details.insert(QStringLiteral("output"), request.folderPath);
    if (const std::optional<CommandResult> refusal
        = OutputTarget::checkFolder(request.folderPath, request.force, { request.imagePath })) {
        result.exitStatus = refusal->exitStatus;
        result.message = refusal->message;
        return result;
    }

    FolderWriter writer(request.folderPath, OutputTarget::existingOutput(request.force), request.inputs);
    if (!writer.open())
        return writeFailure(result, writer, request);
    const ImageView view = ImageView::of(image);
    const QVector<BlockFacts> blocks = BlockFacts::collect(view, image.dmhRecords());
    const BlockFileNames fileNames(blocks);
    QJsonArray listed;
    QStringList notExported;
    for (const BlockFacts& block : blocks) {
        QJsonObject row = BlockListing::json(block, BlockListing::cells(block.entry));
        const QByteArray fileName = fileNames.of(block);
        const Refusable<ExportPlan> planned
            = planExport(view, block.location(), QString::fromLatin1(fileName));
        if (planned.accepted()) {
            if (!writer.addFile(fileName, view.data, view.size, planned.value->output))
                return writeFailure(result, writer, request);
            row.insert(QStringLiteral("file"), QString::fromLatin1(fileName));
        } else {
            // The export's own explanation of its refusal, as a single export would give it.
            const QString reason = planned.refusal.detail;
            row.insert(QStringLiteral("file"), QJsonValue(QJsonValue::Null));
            row.insert(QStringLiteral("reason"), reason);
            notExported << QStringLiteral("Block %1 (DMH %2, entry %3): %4")
                               .arg(block.entry.idText(), QString::number(block.dmhIndex),
                                   QString::number(block.entryIndex), reason);
        }
        listed.append(row);
    }
    CommandResult listing;
    listing.details.insert(QStringLiteral("blocks"), listed);
    const QJsonObject index = JsonDocument::of(QStringLiteral("list"), request.imagePath, listing);
    if (!writer.addFile(indexFileName, QJsonDocument(index).toJson(QJsonDocument::Indented)))
        return writeFailure(result, writer, request);
    const bool committed = writer.commit();
    if (!committed && writer.fault() != FolderFault::NotDurable
        && writer.fault() != FolderFault::OldContentsLeft)
        return writeFailure(result, writer, request);

    // The folder is in place from here on.
    const int blockFiles = writer.filesWritten() - 1;
    result.details.insert(QStringLiteral("blocks"), listed);
    result.details.insert(QStringLiteral("filesWritten"), writer.filesWritten());
    result.details.insert(QStringLiteral("bytesWritten"), double(writer.bytesWritten()));
    result.message = QStringLiteral("Wrote %1 block files and index.json (%2 bytes) to %3.")
                         .arg(blockFiles)
                         .arg(writer.bytesWritten())
                         .arg(request.folderPath);
    if (!notExported.isEmpty()) {
        result.exitStatus = exitRefused;
        result.message.chop(1);
        result.message += QStringLiteral("; %1 of %2 blocks could not be exported.")
                              .arg(notExported.size())
                              .arg(blocks.size());
        result.detail = notExported.join(QLatin1Char('\n'));
    }
    if (!committed) {
        result.exitStatus = exitRefused;
        OutputTarget::explainFolderFault(
            writer, request.folderPath, request.force, { request.imagePath }, result);
    }
    return result;
}
