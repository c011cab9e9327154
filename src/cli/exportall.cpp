#include "imagedigests.h"
#include "exportall.h"

#include "blocklisting.h"
#include "commandsupport.h"
#include "jsondocument.h"
#include "outputtarget.h"

#include "model/flashimage.h"
#include "ops/export/blockexport.h"
#include "ops/export/blockhashes.h"
#include "ops/inspect/blockfacts.h"
#include "ops/pack/folderlayout.h"
#include "ops/record/blockinfo.h"
#include "ops/write/folderwriter.h"

#include <QFile>
#include <QFileInfo>
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
    for (const QJsonValue& rest :
        index.value(QStringLiteral("layout")).toObject().value(QStringLiteral("restFiles")).toArray())
        files.insert(QFile::encodeName(rest.toObject().value(QStringLiteral("file")).toString()));
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

// Every block's file name and export plan, and what the files of the accepted plans take in all.
struct BlockFiles {
    QVector<BlockFacts> blocks;
    QVector<QByteArray> names;
    QVector<Refusable<ExportPlan>> plans;
    qint64 bytes = 0;
    int files = 0;
    // The rest files' bytes, beside the block files'.
    qint64 restBytes = 0;
    // What gives back the image's bytes that the block files do not hold.
    FolderLayout layout;
};

BlockFiles planBlockFiles(const ImageView& view, const QVector<DmhRecord>& catalogue)
{
    BlockFiles planned;
    planned.blocks = BlockFacts::collect(view, catalogue);
    const BlockFileNames fileNames(planned.blocks);
    planned.names.reserve(planned.blocks.size());
    planned.plans.reserve(planned.blocks.size());
    for (const BlockFacts& block : qAsConst(planned.blocks)) {
        planned.names.append(fileNames.of(block));
        planned.plans.append(planExport(view, block.location(), QString::fromLatin1(planned.names.last())));
        if (planned.plans.last().accepted()) {
            planned.bytes += planned.plans.last().value->output.length;
            ++planned.files;
        }
    }
    QVector<ImageRange> blockFileRanges;
    for (const Refusable<ExportPlan>& plan : qAsConst(planned.plans)) {
        if (plan.accepted())
            blockFileRanges.append({ plan.value->output.sourceStart, plan.value->output.length });
    }
    planned.layout = FolderLayout::describe(view, catalogue, blockFileRanges);
    for (const RestFile& rest : qAsConst(planned.layout.restFiles))
        planned.restBytes += rest.length();
    return planned;
}

// index.json's rows, one a block, and why each block that is not exported is not.
struct Listing {
    QJsonArray rows;
    QStringList notExported;
};

Listing listBlockFiles(const BlockFiles& planned, const BlockHashes& hashes)
{
    Listing listing;
    for (int at = 0; at < planned.blocks.size(); ++at) {
        const BlockFacts& block = planned.blocks[at];
        QJsonObject row = BlockListing::json(block, BlockListing::cells(block.entry), &hashes);
        const Refusable<ExportPlan>& plan = planned.plans[at];
        if (plan.accepted()) {
            row.insert(QStringLiteral("file"), QString::fromLatin1(planned.names[at]));
        } else {
            // The export's own explanation of its refusal, as a single export would give it.
            const QString reason = plan.refusal.detail;
            row.insert(QStringLiteral("file"), QJsonValue(QJsonValue::Null));
            row.insert(QStringLiteral("reason"), reason);
            listing.notExported << QStringLiteral("Block %1 (DMH %2, entry %3): %4")
                                       .arg(block.entry.idText(), QString::number(block.dmhIndex),
                                           QString::number(block.entryIndex), reason);
        }
        listing.rows.append(row);
    }
    return listing;
}

// Writes the block files and index.json and puts the folder in place. False when it is not in place; true
// also when it is but its parent was not synced or the old folder not all removed (the writer's fault).
bool writeFolder(
    FolderWriter& writer, const ImageView& view, const BlockFiles& planned, const QByteArray& indexBytes)
{
    if (!writer.open(planned.bytes + planned.restBytes + indexBytes.size(),
            planned.files + planned.layout.restFiles.size() + 1))
        return false;
    for (int at = 0; at < planned.blocks.size(); ++at) {
        const Refusable<ExportPlan>& plan = planned.plans[at];
        if (plan.accepted() && !writer.addFile(planned.names[at], view.data, view.size, plan.value->output))
            return false;
    }
    for (int at = 0; at < planned.layout.restFiles.size(); ++at) {
        if (!writer.addFile(planned.layout.restFiles[at].fileName, planned.layout.restBytes(view, at)))
            return false;
    }
    if (!writer.addFile(indexFileName, indexBytes))
        return false;
    return writer.commit() || writer.fault() == FolderFault::NotDurable
        || writer.fault() == FolderFault::OldContentsLeft;
}

// What was written, with the blocks that could not be exported and what the folder in place has not
// done; either exits 1.
CommandResult writtenResult(CommandResult result, const FolderWriter& writer, const BlockFiles& planned,
    const Listing& listing, const OutputTarget& output)
{
    result.details.insert(QStringLiteral("blocks"), listing.rows);
    result.details.insert(QStringLiteral("filesWritten"), writer.filesWritten());
    result.details.insert(QStringLiteral("bytesWritten"), double(writer.bytesWritten()));
    result.message = QStringLiteral("Wrote %1 block files and index.json (%2 bytes) to %3.")
                         .arg(planned.files)
                         .arg(writer.bytesWritten())
                         .arg(output.path());
    if (!listing.notExported.isEmpty()) {
        result.exitStatus = exitRefused;
        result.message.chop(1);
        result.message += QStringLiteral("; %1 of %2 blocks could not be exported.")
                              .arg(listing.notExported.size())
                              .arg(planned.blocks.size());
        result.detail = listing.notExported.join(QLatin1Char('\n'));
    }
    if (writer.fault() != FolderFault::None) {
        result.exitStatus = exitRefused;
        output.explainFolderFault(writer, result);
    }
    return result;
}

} // namespace

CommandResult exportAll(const FlashImage& image, const QString& imagePath, OutputTarget& output)
{
    CommandResult result;
    result.details.insert(QStringLiteral("output"), output.path());
    // index.json, by which a later export --all --force knows the folder as one that export --all wrote.
    const FolderIndex index { indexFileName, filesListedIn };
    if (output.refusedFolder(index, result))
        return result;

    // Every block planned first, so that what the files would take is known before anything is written.
    const ImageView view = ImageView::of(image);
    const BlockFiles planned = planBlockFiles(view, image.dmhRecords());
    if (planned.bytes > sizeMultipleLimit * view.size) {
        result.exitStatus = exitRefused;
        result.message = QStringLiteral("The %1 block files would take %2 bytes, more than %3 times the "
                                        "image's %4 bytes: its DMHs list the same bytes again and again. "
                                        "Nothing was written.")
                             .arg(planned.files)
                             .arg(planned.bytes)
                             .arg(sizeMultipleLimit)
                             .arg(view.size);
        return result;
    }
    // The index always carries the hashes: it is the record of what the folder's files must hold.
    const BlockHashes hashes = ImageDigests::blockHashes(image);
    const Listing listing = listBlockFiles(planned, hashes);
    FolderLayout layout = planned.layout;
    layout.imageSha256 = hashes.image();
    result.details.insert(QStringLiteral("sha256"), QString::fromLatin1(hashes.image()));
    // The image by its file name, size and sha256, not the path as typed, so that one image gives one
    // index wherever it lies and however it was named on the command line.
    CommandResult indexDocument;
    indexDocument.details.insert(QStringLiteral("blocks"), listing.rows);
    indexDocument.details.insert(QStringLiteral("imageSize"), double(view.size));
    indexDocument.details.insert(QStringLiteral("sha256"), QString::fromLatin1(hashes.image()));
    indexDocument.details.insert(QStringLiteral("layout"), layout.json());
    const QByteArray indexBytes = QJsonDocument(
        JsonDocument::of(QStringLiteral("list"), QFileInfo(imagePath).fileName(), indexDocument))
                                      .toJson(QJsonDocument::Indented);

    FolderWriter writer(output.path(), output.existingOutput(), index, output.inputs());
    writer.setProgress(output.progress(QStringLiteral("Writing %1").arg(output.path())));
    if (!writeFolder(writer, view, planned, indexBytes)) {
        // Exit 1, or 2 for an input that changed.
        result.exitStatus = writer.fault() == FolderFault::InputChanged ? exitBadInput : exitRefused;
        output.explainFolderFault(writer, result);
        return result;
    }
    return writtenResult(result, writer, planned, listing, output);
}
