#include "blockselection.h"
#include "command.h"
#include "commandsupport.h"
#include "commonoptions.h"
#include "outputtarget.h"
#include "planreport.h"
#include "stampclock.h"
#include "truncationguard.h"

#include "model/flashimage.h"
#include "ops/base/statustexts.h"
#include "ops/pack/packfolder.h"
#include "ops/replace/replacechain.h"
#include "ops/write/outputplace.h"
#include "ops/write/planwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <optional>

#include <sys/stat.h>

namespace {

struct PackArguments {
    QString folder;
    bool dryRun = false;
    bool updateCrc = false;
    StampTime stampTime;
};

// An edited block file and the BLOCK that reaches its entry, as a replace of the original image names it.
struct Edit {
    PackedBlock block;
    QString blockText;
    // The entry as it stood before the chain changed the image.
    BlockEntry entry;
};

// The entry an index row names, or an empty one where the rebuilt image does not list it.
BlockEntry entryAt(const QVector<DmhRecord>& catalogue, int dmhIndex, int entryIndex)
{
    if (dmhIndex < 0 || dmhIndex >= catalogue.size())
        return {};
    const QVector<BlockEntry>& entries = catalogue[dmhIndex].entries;
    return entryIndex >= 0 && entryIndex < entries.size() ? entries[entryIndex] : BlockEntry {};
}

void fail(const Outcome& outcome, const OutputTarget& output, CommandResult& result)
{
    result.message = outcome.message;
    result.detail = outcome.detail;
    result.exitStatus = CommandSupport::failureStatus(outcome);
    output.explainFault(outcome, result);
}

// index.json of the folder, read and parsed; a folder that cannot be read is unreadable input, one
// without an index of ours a refusal.
Refusable<PackIndex> readIndex(const QString& folder)
{
    const QFileInfo folderInfo(folder);
    if (!folderInfo.isDir())
        return Refusable<PackIndex>::refused(Outcome::unreadableInput(
            QStringLiteral("Can not open %1!!!").arg(folder),
            folderInfo.exists()
                ? QStringLiteral("%1 is not a folder; pack reads the folder export --all wrote.").arg(folder)
                : QStringLiteral("%1 does not exist.").arg(folder)));
    QFile index(QDir(folder).filePath(QString::fromLatin1(PackIndex::fileName)));
    if (!index.exists())
        return Refusable<PackIndex>::refused(
            Outcome::refused(QStringLiteral("%1 has no index.json.").arg(folder),
                QStringLiteral("pack reads a folder that export --all wrote, which lists its files there.")));
    if (!index.open(QIODevice::ReadOnly))
        return Refusable<PackIndex>::refused(
            Outcome::unreadableInput(StatusText::canNotOpen(index.fileName()), index.errorString()));
    return PackIndex::parse(index.readAll());
}

// The BLOCK that reaches the entry an edited file was exported from: its ID, or DMH:ID where another DMH
// lists the ID first. An entry that no BLOCK reaches (the second with its ID in one DMH) cannot be
// replaced.
Refusable<QString> blockTextOf(
    const QVector<DmhRecord>& catalogue, const PackedBlock& block, const QString& folder)
{
    const auto reaches = [&](const QString& text) {
        const BlockLocation location = BlockSelection::byText(catalogue, text).location;
        return location.found() && location.dmhIndex == block.dmhIndex
            && location.entryIndex == block.entryIndex;
    };
    const QString idText = BlockEntry::idText(quint8(block.id));
    if (reaches(idText))
        return Refusable<QString>::of(idText);
    const QString qualified = QStringLiteral("%1:%2").arg(QString::number(block.dmhIndex), idText);
    if (reaches(qualified))
        return Refusable<QString>::of(qualified);
    return Refusable<QString>::refused(
        Outcome::refused(QStringLiteral("%1 was edited, but no BLOCK reaches its entry.")
                             .arg(QDir(folder).filePath(block.fileName)),
            QStringLiteral(
                "It was exported from entry %1 of DMH %2, which lists ID %3 before it; replace acts on "
                "the first entry with an ID, so this one cannot be replaced.")
                .arg(QString::number(block.entryIndex), QString::number(block.dmhIndex), idText)));
}

// Writes the image an untouched folder gives back. `imageMismatched`, when given, learns whether the image
// check refused the file at its commit (then nothing was put in place).
CommandResult writeUntouched(const PackArguments& arguments, const PackedImage& packed, OutputTarget& output,
    CommandResult result, bool* imageMismatched = nullptr)
{
    const qint64 length = packed.plan.length;
    result.details.insert(QStringLiteral("edited"), QJsonArray());
    const QString what = QStringLiteral("No block file was edited: the image as exported, %1 bytes.")
                             .arg(QString::number(length));
    if (arguments.dryRun) {
        result.text = what;
        if (!output.path().isEmpty())
            result.text += QStringLiteral("\n\nOutput (not written): %1").arg(output.path());
        result.message = QStringLiteral("Dry run: nothing was written.");
        return result;
    }
    PlanWriter writer(output.path(), output.existingOutput(), output.stream(), output.inputs());
    if (!writer.open()) {
        fail(writer.failure(StatusText::canNotOpen(writer.fileName())), output, result);
        return result;
    }
    writer.setCommitCheck([&packed, imageMismatched] {
        std::optional<Outcome> refusal = packed.confirm();
        if (imageMismatched)
            *imageMismatched = refusal.has_value();
        return refusal;
    });
    writer.setProgress(output.progress(QStringLiteral("Writing %1").arg(output.describe())));
    // The plan lays every byte from the folder's files; the stand-in image gives none.
    if (!writer.writeAndCommit(packed.blank->data(), length, packed.plan)) {
        fail(writer.failure(QStringLiteral("Pack failed!!!")), output, result);
        return result;
    }
    result.message = QStringLiteral("Packed %1.").arg(arguments.folder);
    result.detail = QStringLiteral("Wrote the image, %1 bytes, to %2. %3")
                        .arg(QString::number(length), output.describe(), what);
    return result;
}

// Every edit carried out, as the JSON `edited` and the dry run's text lists them.
QString reportEdits(const QVector<Edit>& edits, const ChainResult& done, CommandResult& result)
{
    QJsonArray edited;
    QStringList texts;
    for (int index = 0; index < edits.size(); ++index) {
        const Edit& edit = edits[index];
        QJsonObject row {
            { QStringLiteral("file"), edit.block.fileName },
            { QStringLiteral("dmhIndex"), edit.block.dmhIndex },
            { QStringLiteral("entryIndex"), edit.block.entryIndex },
            { QStringLiteral("blockText"), edit.blockText },
        };
        if (index < done.plans.size()) {
            const PlanReport report = describePlan(done.plans[index]);
            row.insert(QStringLiteral("plan"), report.json);
            texts << QStringLiteral("Edit %1 of %2: %3 (BLOCK %4)\n%5")
                         .arg(QString::number(index + 1), QString::number(edits.size()), edit.block.fileName,
                             edit.blockText, report.text);
            result.warnings += done.warnings.value(index);
            result.warnings += staleCrcWarnings(
                edit.entry, edit.block.dmhIndex, edit.block.entryIndex, done.plans[index]);
        }
        edited.append(row);
    }
    result.details.insert(QStringLiteral("edited"), edited);
    return texts.join(QStringLiteral("\n\n"));
}

// The image the folder gives back, loaded from memory. False, with `result` telling why, when it cannot be
// had or does not load.
bool loadRebuilt(
    const PackArguments& arguments, const PackedImage& packed, FlashImage& image, CommandResult& result)
{
    std::unique_ptr<ImageBuffer> bytes = packed.inMemory();
    if (!bytes) {
        result.exitStatus = exitRefused;
        result.message = StatusText::allocFailed();
        result.detail = QStringLiteral("%1 bytes of memory for the image could not be had.")
                            .arg(QString::number(packed.plan.length));
        return false;
    }
    if (!image.loadBytes(std::move(*bytes))) {
        result.exitStatus = exitRefused;
        result.message = QString::fromUtf8(image.lastError());
        result.detail = QStringLiteral("The image rebuilt from %1 does not load: %2")
                            .arg(arguments.folder, image.lastErrorDetail());
        return false;
    }
    return true;
}

// Two edited files whose BLOCK reaches one entry are bad usage, as two pairs of one replace are.
void refuseTwoEditsOfOneEntry(const QVector<DmhRecord>& catalogue, const PackIndex& index,
    const PackedImage& packed, const PackedBlock& block, CommandResult& result)
{
    const BlockLocation reached = BlockSelection::byText(catalogue,
        QStringLiteral("%1:%2").arg(QString::number(block.dmhIndex), BlockEntry::idText(quint8(block.id))))
                                      .location;
    for (int other : qAsConst(packed.edited)) {
        const PackedBlock& first = index.blocks[other];
        if (reached.found() && first.dmhIndex == reached.dmhIndex && first.entryIndex == reached.entryIndex) {
            result.exitStatus = exitBadInput;
            result.message = QStringLiteral("Edited files %1 and %2 both reach block %3 (DMH %4, entry %5); "
                                            "each block is replaced once per run.")
                                 .arg(first.fileName, block.fileName, BlockEntry::idText(quint8(block.id)),
                                     QString::number(reached.dmhIndex), QString::number(reached.entryIndex));
            result.detail.clear();
        }
    }
}

// Each edited file with the BLOCK that reaches its entry in the rebuilt image. False, with `result`
// telling why, when one cannot be reached.
bool collectEdits(const PackArguments& arguments, const PackIndex& index, const PackedImage& packed,
    const FlashImage& image, const OutputTarget& output, QVector<Edit>& edits, CommandResult& result)
{
    for (int at : qAsConst(packed.edited)) {
        const PackedBlock& block = index.blocks[at];
        const Refusable<QString> text = blockTextOf(image.dmhRecords(), block, arguments.folder);
        if (!text.accepted()) {
            fail(text.refusal, output, result);
            refuseTwoEditsOfOneEntry(image.dmhRecords(), index, packed, block, result);
            return false;
        }
        edits.append({ block, *text.value, entryAt(image.dmhRecords(), block.dmhIndex, block.entryIndex) });
    }
    return true;
}

// The edits as the pairs of one replacement chain, each found again by its BLOCK in the image as the
// earlier pairs left it.
QVector<ChainPair> chainOf(const QVector<Edit>& edits, const QString& folder)
{
    QVector<ChainPair> chain;
    for (const Edit& edit : edits) {
        ChainPair pair;
        pair.replacementPath = QDir(folder).filePath(edit.block.fileName);
        pair.locate = [blockText = edit.blockText](const QVector<DmhRecord>& catalogue) {
            return BlockSelection::byText(catalogue, blockText).chainTarget();
        };
        chain.append(pair);
    }
    return chain;
}

ReplaceRequest requestFor(const PackArguments& arguments, OutputTarget& output)
{
    ReplaceRequest request;
    request.outputStream = output.stream();
    request.outputPath = output.path();
    request.existingOutput = output.existingOutput();
    request.loadedImagePath = QDir(arguments.folder).filePath(QString::fromLatin1(PackIndex::fileName));
    request.stampTime = arguments.stampTime;
    request.dryRun = arguments.dryRun;
    request.paddedEntryCrc = arguments.updateCrc ? PaddedEntryCrc::Update : PaddedEntryCrc::Keep;
    request.inputs = output.inputs();
    request.progress = output.progress(QStringLiteral("Writing %1").arg(output.describe()));
    return request;
}

CommandResult replaceEdits(const PackArguments& arguments, const PackIndex& index, const PackedImage& packed,
    OutputTarget& output, CommandResult result)
{
    FlashImage image;
    QVector<Edit> edits;
    if (!loadRebuilt(arguments, packed, image, result))
        return result;
    const Outcome placed
        = checkBlockPlaces(arguments.folder, index, ImageView::of(image), image.dmhRecords());
    if (!placed.success) {
        fail(placed, output, result);
        return result;
    }
    if (!collectEdits(arguments, index, packed, image, output, edits, result) || output.refused(result))
        return result;

    const ChainResult done
        = replaceChain(image, chainOf(edits, arguments.folder), requestFor(arguments, output));
    const QString editsText = reportEdits(edits, done, result);
    if (done.failedPair >= 0) {
        const Edit& failed = edits[done.failedPair];
        fail(done.outcome, output, result);
        result.detail
            = QStringLiteral("The edited %1 (BLOCK %2) cannot be replaced; nothing was written.%3")
                  .arg(QDir(arguments.folder).filePath(failed.block.fileName), failed.blockText,
                      done.outcome.detail.isEmpty() ? QString() : QLatin1Char('\n') + done.outcome.detail);
        return result;
    }
    if (!done.outcome.success) {
        fail(done.outcome, output, result);
        return result;
    }
    if (arguments.dryRun) {
        result.text = editsText;
        if (!output.path().isEmpty())
            result.text += QStringLiteral("\n\nOutput (not written): %1").arg(output.path());
        result.message = QStringLiteral("Dry run: nothing was written.");
        return result;
    }
    result.message = done.outcome.message;
    const QString edited = edits.size() == 1 ? QStringLiteral("1 edited block file")
                                             : QStringLiteral("%1 edited block files").arg(edits.size());
    result.detail = QStringLiteral("Wrote the image, %1 bytes, to %2, with %3 replaced in one pass.")
                        .arg(QString::number(done.plans.last().output.length), output.describe(), edited);
    return result;
}

// OUT inside DIR: the folder would hold a file its index does not list, and pack it no more.
std::optional<Outcome> outputInFolder(const QString& folder, const OutputTarget& output)
{
    if (output.path().isEmpty())
        return std::nullopt;
    struct stat folderStatus { };
    struct stat parentStatus { };
    // Where the file would be made, a symlink followed (a dangling one names the file it would make).
    const QByteArray parent = OutputPlace::ofFile(output.path()).folder;
    if (::stat(QFile::encodeName(folder).constData(), &folderStatus) != 0
        || ::stat(parent.constData(), &parentStatus) != 0 || folderStatus.st_dev != parentStatus.st_dev
        || folderStatus.st_ino != parentStatus.st_ino)
        return std::nullopt;
    return Outcome::refused(QStringLiteral("%1 is in %2, the folder pack reads.").arg(output.path(), folder),
        QStringLiteral("pack takes only the files export --all wrote, so %1 would no longer pack; write the "
                       "image outside it.")
            .arg(folder));
}

CommandResult runPack(const PackArguments& arguments, OutputTarget& output)
{
    CommandResult result;
    result.details.insert(QStringLiteral("folder"), arguments.folder);
    result.details.insert(QStringLiteral("dryRun"), arguments.dryRun);
    result.details.insert(QStringLiteral("output"),
        output.path().isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(output.path()));
    const Refusable<PackIndex> index = readIndex(arguments.folder);
    if (!index.accepted()) {
        fail(index.refusal, output, result);
        return result;
    }
    if (const std::optional<Outcome> inFolder = outputInFolder(arguments.folder, output)) {
        fail(*inFolder, output, result);
        return result;
    }
    // A file cut short while its bytes are read ends the run naming it. An image written to a file is
    // checked against the index while it is written, and put in place only when it matches; what goes
    // to a stream, or nowhere, is checked first.
    const ImageCheck check
        = output.stream() || arguments.dryRun ? ImageCheck::BeforeReturning : ImageCheck::BesideTheWrite;
    const auto naming = [](const QString& path) { nameInputForTruncation(path); };
    // A folder that looks as exported is written without hashing its files first: the image's check
    // proves them. When it finds otherwise, the run starts again the way that finds the edits.
    if (check == ImageCheck::BesideTheWrite && looksUntouched(arguments.folder, *index.value)) {
        const Refusable<PackedImage> trusted
            = readPackedImage(arguments.folder, *index.value, naming, ImageCheck::InsteadOfFileHashes);
        if (!trusted.accepted()) {
            fail(trusted.refusal, output, result);
            return result;
        }
        if (output.refused(result))
            return result;
        bool imageMismatched = false;
        CommandResult written = writeUntouched(arguments, *trusted.value, output, result, &imageMismatched);
        if (!imageMismatched)
            return written;
    }
    const Refusable<PackedImage> packed = readPackedImage(arguments.folder, *index.value, naming, check);
    if (!packed.accepted()) {
        fail(packed.refusal, output, result);
        return result;
    }
    if (packed.value->edited.isEmpty()) {
        if (output.refused(result))
            return result;
        return writeUntouched(arguments, *packed.value, output, result);
    }
    return replaceEdits(arguments, *index.value, *packed.value, output, result);
}

// Every file the folder holds now, so that each is watched from before it is read and none is the output.
QStringList folderFiles(const QString& folder)
{
    QStringList files;
    const QDir directory(folder);
    for (const QString& name :
        directory.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        files << directory.filePath(name);
    return files;
}

PreparedCommand preparePack(const ParsedArguments& arguments)
{
    PackArguments parsed;
    parsed.dryRun = arguments.isSet(QStringLiteral("dry-run"));
    parsed.updateCrc = arguments.isSet(QStringLiteral("update-crc"));
    const QStringList& positional = arguments.positional();
    if (positional.size() != 1)
        return PreparedCommand::badUsage(CommandSupport::argumentCountError(1, positional.size()));
    parsed.folder = positional.first();
    if (parsed.folder.isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("DIR must not be empty."));
    if (const QString error = CommandSupport::newImageUsageError(arguments, parsed.dryRun, parsed.stampTime);
        !error.isEmpty())
        return PreparedCommand::badUsage(error);
    PreparedCommand prepared;
    prepared.otherInputs = folderFiles(parsed.folder);
    prepared.run
        = [parsed](const QVector<FlashImage*>&, OutputTarget& output) { return runPack(parsed, output); };
    return prepared;
}

} // namespace

Command packCommand()
{
    Command command = Command::named(QStringLiteral("pack"),
        QStringLiteral(
            "Rebuild an unpacked image from its folder, replacing the block files that were edited."),
        QStringLiteral("[--json] [--force] [--dry-run] DIR (-o OUT | --dry-run)\n"
                       "       tessel-cli pack [--dry-run] DIR -o -"));
    command.arguments = { { QStringLiteral("DIR"),
        QStringLiteral("A folder that export --all wrote, its block files edited or not.") } };
    command.options = { CommonOptions::output(CommonOptions::outputDescription()), CommonOptions::force(),
        { QStringLiteral("dry-run"), QChar(), QString(),
            QStringLiteral(
                "Write nothing; list the edited blocks, the variant of each, the bytes that change "
                "and the blocks that move.") },
        CommonOptions::updateCrc() };
    command.imageCount = 0;
    command.outputs = { { OutputKind::File, true, QString() } };
    command.helpNotes = CommonOptions::exitStatusNote(QStringLiteral(", or a folder pack does not take"))
        + QStringLiteral(
            "\nA block file whose sha256 differs from index.json is an edit. An untouched folder gives back "
            "the image byte for byte; the edits are replaced as one replace with a BLOCK FILE pair for each "
            "would replace them on that image, in table order, written once. Every other file of the folder "
            "must match its sha256, and the folder must hold exactly the files index.json lists.")
        + QStringLiteral("\nA refreshed block-info record is stamped with SOURCE_DATE_EPOCH (seconds since "
                         "1970-01-01 UTC) when it is set, else with the local clock.");
    command.prepare = preparePack;
    return command;
}
