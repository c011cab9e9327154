#include "blockselection.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "outputtarget.h"

#include "model/flashimage.h"
#include "ops/blockexport.h"

namespace {

struct ExportArguments {
    QString imagePath;
    bool byName = false;
    QString blockText;
    QString blockName;
    QString outputPath;
    bool force = false;
};

CommandResult runExport(const FlashImage& image, const ExportArguments& arguments)
{
    CommandResult result;
    result.details.insert(QStringLiteral("output"), arguments.outputPath);
    const BlockSelection selection = arguments.byName
        ? BlockSelection::byName(image.dmhRecords(), arguments.blockName)
        : BlockSelection::byReference(image.dmhRecords(), BlockReference::parse(arguments.blockText));
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
    if (const std::optional<CommandResult> refusal
        = OutputTarget::check(arguments.outputPath, arguments.force, inputs, false)) {
        result.exitStatus = refusal->exitStatus;
        result.message = refusal->message;
        return result;
    }

    const ImageView view = ImageView::of(image);
    const Outcome outcome
        = exportBlock(view, location, arguments.outputPath, OutputTarget::existingOutput(arguments.force));
    result.exitStatus = outcome.success ? exitSuccess : exitRefused;
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
                          location.entry.idText(), arguments.outputPath);
        }
    }
    return result;
}

PreparedCommand prepareExport(const ParsedArguments& arguments)
{
    ExportArguments parsed;
    parsed.byName = arguments.isSet(QStringLiteral("name"));
    parsed.blockName = arguments.value(QStringLiteral("name"));
    parsed.outputPath = arguments.value(QStringLiteral("output"));
    parsed.force = arguments.isSet(QStringLiteral("force"));
    const QStringList& positional = arguments.positional();
    const int wanted = parsed.byName ? 1 : 2;
    if (positional.size() != wanted)
        return PreparedCommand::badUsage(CommandSupport::argumentCountError(wanted, positional.size()));
    parsed.imagePath = positional[0];
    if (parsed.imagePath.isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("IMAGE must not be empty."));
    if (!parsed.byName) {
        parsed.blockText = positional[1];
        if (parsed.blockText.isEmpty())
            return PreparedCommand::badUsage(QStringLiteral("BLOCK must not be empty."));
    }
    if (parsed.outputPath.isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("-o OUT is required."));
    PreparedCommand prepared;
    prepared.run
        = [parsed](const QVector<FlashImage*>& images) { return runExport(*images.first(), parsed); };
    return prepared;
}

} // namespace

Command exportCommand()
{
    Command command;
    command.name = QStringLiteral("export");
    command.summary = QStringLiteral("Write one block's bytes (only its data when it ends in a record).");
    command.synopsis = QStringLiteral("[--json] [--force] IMAGE (BLOCK | --name NAME) -o OUT");
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") },
        { QStringLiteral("BLOCK"), CommonOptions::blockDescription() } };
    command.options = { CommonOptions::blockName(), CommonOptions::output(CommonOptions::outputDescription()),
        CommonOptions::force() };
    command.helpNotes = CommonOptions::exitStatusNote();
    command.prepare = prepareExport;
    return command;
}
