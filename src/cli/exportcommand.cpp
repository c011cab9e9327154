#include "blockselection.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "exportall.h"
#include "outputtarget.h"

#include "model/flashimage.h"
#include "ops/blockexport.h"

#include <unistd.h>

namespace {

struct ExportArguments {
    QString imagePath;
    bool all = false;
    // BLOCK in any of its forms; --name NAME is given as name:NAME.
    QString blockText;
    QString outputPath;
    bool force = false;
    // The image, watched from before it is opened; the writer looks at it last.
    std::shared_ptr<InputWatch> inputs;
};

CommandResult runExport(const FlashImage& image, const ExportArguments& arguments)
{
    CommandResult result;
    result.details.insert(QStringLiteral("output"), arguments.outputPath);
    const BlockSelection selection = BlockSelection::byText(image.dmhRecords(), arguments.blockText);
    const BlockLocation& location = selection.location;
    result.warnings = selection.warnings;
    if (location.found())
        result.details.insert(QStringLiteral("block"),
            CommandSupport::blockIdentity(location.dmhIndex, location.entryIndex, location.entry));
    if (selection.refusal) {
        result.exitStatus = exitRefused;
        result.message = *selection.refusal;
        return result;
    }
    const QStringList inputs { arguments.imagePath };
    const bool toStandardOutput = OutputTarget::isStandardOutput(arguments.outputPath);
    if (const std::optional<CommandResult> refusal = toStandardOutput
            ? std::nullopt
            : OutputTarget::check(arguments.outputPath, arguments.force, inputs, false)) {
        result.exitStatus = refusal->exitStatus;
        result.message = refusal->message;
        return result;
    }

    const ImageView view = ImageView::of(image);
    OutputStream standardOutput { STDOUT_FILENO };
    const Outcome outcome
        = exportBlock(view, location, arguments.outputPath, OutputTarget::existingOutput(arguments.force),
            toStandardOutput ? &standardOutput : nullptr, arguments.inputs.get());
    result.standardOutputError = standardOutput.error;
    if (!outcome.success)
        result.exitStatus = outcome.cause == FailureCause::UnreadableInput ? exitBadInput : exitRefused;
    result.message = outcome.message;
    // The operation knows only that nothing was found; the selection knows what BLOCK said.
    result.detail = location.found() ? outcome.detail : selection.notFoundDetail;
    OutputTarget::explainFault(outcome, arguments.outputPath, arguments.force, inputs, result);
    if (outcome.success) {
        // Planning again costs nothing and touches no file; it tells what was written.
        const Refusable<ExportPlan> planned = planExport(view, location, arguments.outputPath);
        if (planned.accepted()) {
            const ExportPlan& plan = *planned.value;
            result.details.insert(QStringLiteral("length"), double(plan.output.length));
            result.details.insert(QStringLiteral("dataPartOnly"), plan.dataPartOnly);
            result.detail
                = QStringLiteral("Wrote %1 bytes, %2 of block %3, to %4.")
                      .arg(QString::number(plan.output.length),
                          plan.dataPartOnly ? QStringLiteral("the data part") : QStringLiteral("all"),
                          location.entry.idText(), OutputTarget::describe(arguments.outputPath));
        }
    }
    return result;
}

PreparedCommand prepareExport(const ParsedArguments& arguments)
{
    ExportArguments parsed;
    parsed.all = arguments.isSet(QStringLiteral("all"));
    const bool byName = arguments.isSet(QStringLiteral("name"));
    parsed.outputPath = arguments.value(QStringLiteral("output"));
    parsed.force = arguments.isSet(QStringLiteral("force"));
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
    if (parsed.outputPath.isEmpty())
        return PreparedCommand::badUsage(
            parsed.all ? QStringLiteral("-o DIR is required.") : QStringLiteral("-o OUT is required."));
    if (parsed.all && OutputTarget::isStandardOutput(parsed.outputPath))
        return PreparedCommand::badUsage(
            QStringLiteral("--all writes a folder of files; -o - (standard output) cannot hold one."));
    PreparedCommand prepared;
    parsed.inputs = prepared.inputs;
    prepared.run = [parsed](const QVector<FlashImage*>& images) {
        if (parsed.all)
            return exportAll(
                *images.first(), { parsed.imagePath, parsed.outputPath, parsed.force, parsed.inputs.get() });
        return runExport(*images.first(), parsed);
    };
    return prepared;
}

} // namespace

Command exportCommand()
{
    Command command;
    command.name = QStringLiteral("export");
    command.summary = QStringLiteral(
        "Write one block's bytes (only its data when it ends in a record), or every block into a folder.");
    command.synopsis = QStringLiteral("[--json] [--force] IMAGE (BLOCK | --name NAME) -o OUT\n"
                                      "       tessel-cli export [--force] IMAGE (BLOCK | --name NAME) -o -\n"
                                      "       tessel-cli export [--json] [--force] IMAGE --all -o DIR");
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") },
        { QStringLiteral("BLOCK"), CommonOptions::blockDescription() } };
    command.options = { CommonOptions::blockName(),
        CommonOptions::output(
            CommonOptions::outputDescription() + QStringLiteral(" With --all: the folder to create.")),
        CommonOptions::force(),
        { QStringLiteral("all"), QChar(), QString(),
            QStringLiteral("Export every entry of every DMH into the new folder DIR, one file each, with "
                           "index.json listing them.") } };
    command.helpNotes
        = CommonOptions::exitStatusNote(QStringLiteral(", or --all with blocks it could not export"));
    command.prepare = prepareExport;
    return command;
}
