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

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

const QByteArray indexFileName("index.json");

// How many times the image's size the block files may take in all. Entries that list some bytes again
// (an entry for the whole image beside its blocks, a second DMH for a recovery copy) stay far below it;
// a table that lists one range thousands of times, which would fill any disk, does not.
constexpr qint64 sizeMultipleLimit = 8;

// The files an index.json lists: each block's `file` that is a name. Nothing when the bytes are not the
// list document export --all writes.
std::optional<QSet<QByteArray>> filesListedIn(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject index = document.object();
    const QJsonValue blocks = index.value(QStringLiteral("blocks"));
    if (index.value(QStringLiteral("command")).toString() != QLatin1String("list") || !blocks.isArray())
        return std::nullopt;
    QSet<QByteArray> files;
    for (const QJsonValue& block : blocks.toArray()) {
        const QJsonValue file = block.toObject().value(QStringLiteral("file"));
        if (file.isString())
            files.insert(QFile::encodeName(file.toString()));
        else if (!file.isNull())
            return std::nullopt;
    }
    return files;
}

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
    // index.json, by which a later export --all --force knows the folder as one that export --all wrote.
    const FolderIndex index { indexFileName, filesListedIn };
    if (const std::optional<CommandResult> refusal
        = OutputTarget::checkFolder(request.folderPath, request.force, { request.imagePath }, index)) {
        result.exitStatus = refusal->exitStatus;
        result.message = refusal->message;
        return result;
    }

    // Every block planned first, so that what the files would take is known before anything is written.
    const ImageView view = ImageView::of(image);
    const QVector<BlockFacts> blocks = BlockFacts::collect(view, image.dmhRecords());
    const BlockFileNames fileNames(blocks);
    QVector<QByteArray> blockFileNames;
    QVector<Refusable<ExportPlan>> plans;
    blockFileNames.reserve(blocks.size());
    plans.reserve(blocks.size());
    qint64 blockBytes = 0;
    int blockFiles = 0;
    for (const BlockFacts& block : blocks) {
        blockFileNames.append(fileNames.of(block));
        plans.append(planExport(view, block.location(), QString::fromLatin1(blockFileNames.last())));
        if (plans.last().accepted()) {
            blockBytes += plans.last().value->output.length;
            ++blockFiles;
        }
    }
    if (blockBytes > sizeMultipleLimit * view.size) {
        result.exitStatus = exitRefused;
        result.message = QStringLiteral("The %1 block files would take %2 bytes, more than %3 times the "
                                        "image's %4 bytes: its DMHs list the same bytes again and again. "
                                        "Nothing was written.")
                             .arg(blockFiles)
                             .arg(blockBytes)
                             .arg(sizeMultipleLimit)
                             .arg(view.size);
        return result;
    }

    QJsonArray listed;
    QStringList notExported;
    for (int at = 0; at < blocks.size(); ++at) {
        const BlockFacts& block = blocks[at];
        QJsonObject row = BlockListing::json(block, BlockListing::cells(block.entry));
        const Refusable<ExportPlan>& planned = plans[at];
        if (planned.accepted()) {
            row.insert(QStringLiteral("file"), QString::fromLatin1(blockFileNames[at]));
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
    const QByteArray indexBytes
        = QJsonDocument(JsonDocument::of(QStringLiteral("list"), request.imagePath, listing))
              .toJson(QJsonDocument::Indented);

    FolderWriter writer(
        request.folderPath, OutputTarget::existingOutput(request.force), index, request.inputs);
    if (!writer.open(blockBytes + indexBytes.size(), blockFiles + 1))
        return writeFailure(result, writer, request);
    for (int at = 0; at < blocks.size(); ++at) {
        if (plans[at].accepted()
            && !writer.addFile(blockFileNames[at], view.data, view.size, plans[at].value->output))
            return writeFailure(result, writer, request);
    }
    if (!writer.addFile(indexFileName, indexBytes))
        return writeFailure(result, writer, request);
    const bool committed = writer.commit();
    if (!committed && writer.fault() != FolderFault::NotDurable
        && writer.fault() != FolderFault::OldContentsLeft)
        return writeFailure(result, writer, request);

    // The folder is in place from here on.
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
