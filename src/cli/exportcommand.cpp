#include "blockselection.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "exportall.h"
#include "outputtarget.h"

#include "model/flashimage.h"
#include "ops/export/blockexport.h"

namespace {

struct ExportArguments {
    QString imagePath;
    bool all = false;
    // BLOCK in any of its forms; --name NAME is given as name:NAME.
    QString blockText;
};

CommandResult runExport(const FlashImage& image, const QString& blockText, OutputTarget& output)
{
    CommandResult result;
    result.details.insert(QStringLiteral("output"), output.path());
    const BlockSelection selection = BlockSelection::byText(image.dmhRecords(), blockText);
    if (CommandSupport::refusedSelection(selection, result) || output.refused(result))
        return result;

    const BlockLocation& location = selection.location;
    const ImageView view = ImageView::of(image);
    const Outcome outcome = exportBlock(
        view, location, output.path(), output.existingOutput(), output.stream(), output.inputs());
    if (!outcome.success)
        result.exitStatus = CommandSupport::failureStatus(outcome);
    result.message = outcome.message;
    result.detail = CommandSupport::failureDetail(selection, outcome);
    output.explainFault(outcome, result);
    if (outcome.success) {
        // Planning again costs nothing and touches no file; it tells what was written.
        const Refusable<ExportPlan> planned = planExport(view, location, output.path());
        if (planned.accepted()) {
            const ExportPlan& plan = *planned.value;
            result.details.insert(QStringLiteral("length"), double(plan.output.length));
            result.details.insert(QStringLiteral("dataPartOnly"), plan.dataPartOnly);
            result.detail
                = QStringLiteral("Wrote %1 bytes, %2 of block %3, to %4.")
                      .arg(QString::number(plan.output.length),
                          plan.dataPartOnly ? QStringLiteral("the data part") : QStringLiteral("all"),
                          location.entry.idText(), output.describe());
        }
    }
    return result;
}

PreparedCommand prepareExport(const ParsedArguments& arguments)
{
    ExportArguments parsed;
    parsed.all = arguments.isSet(QStringLiteral("all"));
    const bool byName = arguments.isSet(QStringLiteral("name"));
    const QStringList& positional = arguments.positional();
    if (parsed.all && byName)
        return PreparedCommand::badUsage(QStringLiteral("--all exports every block; it takes no --name."));
    if (parsed.all && positional.size() == 2)
        return PreparedCommand::badUsage(QStringLiteral("--all exports every block; it takes no BLOCK."));
    const int wanted = byName || parsed.all ? 1 : 2;
    if (positional.size() != wanted)
        return PreparedCommand::badUsage(CommandSupport::argumentCountError(wanted, positional.size()));
    parsed.imagePath = positional[0];
    if (parsed.imagePath.isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("IMAGE must not be empty."));
    if (!parsed.all) {
        parsed.blockText
            = byName ? BlockSelection::nameText(arguments.value(QStringLiteral("name"))) : positional[1];
        const QString blockError = BlockSelection::textError(parsed.blockText);
        if (!blockError.isEmpty())
            return PreparedCommand::badUsage(blockError);
    }
    if (arguments.value(QStringLiteral("output")).isEmpty())
        return PreparedCommand::badUsage(
            parsed.all ? QStringLiteral("-o DIR is required.") : QStringLiteral("-o OUT is required."));
    PreparedCommand prepared;
    // The index of every block records the image's SHA-256.
    prepared.hashesImages = parsed.all;
    prepared.run = [parsed](const QVector<FlashImage*>& images, OutputTarget& output) {
        if (parsed.all)
            return exportAll(*images.first(), parsed.imagePath, output);
        return runExport(*images.first(), parsed.blockText, output);
    };
    return prepared;
}

} // namespace

Command exportCommand()
{
    Command command = Command::named(QStringLiteral("export"),
        QStringLiteral("Write one block's bytes (only its data when it ends in a record), or every block "
                       "into a folder."),
        QStringLiteral("[--json] [--force] IMAGE (BLOCK | --name NAME) -o OUT\n"
                       "       tessel-cli export [--force] IMAGE (BLOCK | --name NAME) -o -\n"
                       "       tessel-cli export [--json] [--force] IMAGE --all -o DIR"));
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") },
        { QStringLiteral("BLOCK"), CommonOptions::blockDescription() } };
    command.options = { CommonOptions::blockName(),
        CommonOptions::output(
            CommonOptions::outputDescription() + QStringLiteral(" With --all: the folder to create.")),
        CommonOptions::force(),
        { QStringLiteral("all"), QChar(), QString(),
            QStringLiteral("Export every entry of every DMH into the new folder DIR, one file each, with "
                           "index.json listing them.") } };
    command.outputs
        = { { OutputKind::File, true, QString() }, { OutputKind::Folder, false, QStringLiteral("all") } };
    command.helpNotes
        = CommonOptions::exitStatusNote(QStringLiteral(", or --all with blocks it could not export"));
    command.prepare = prepareExport;
    return command;
}
