#include "blockselection.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "outputtarget.h"
#include "planreport.h"
#include "stampclock.h"

#include "model/flashimage.h"
#include "ops/blockreplace.h"

#include <unistd.h>

namespace {

struct ReplaceArguments {
    QString imagePath;
    bool byName = false;
    QString blockText;
    QString blockName;
    QString replacementPath;
    QString outputPath;
    bool force = false;
    bool dryRun = false;
    StampTime stampTime;
};

CommandResult runReplace(FlashImage& image, const ReplaceArguments& arguments)
{
    CommandResult result;
    result.details.insert(QStringLiteral("dryRun"), arguments.dryRun);
    result.details.insert(QStringLiteral("replacement"), arguments.replacementPath);
    result.details.insert(QStringLiteral("output"),
        arguments.outputPath.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(arguments.outputPath));
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
    // Nothing to check when no output is named (a dry run) or the output is standard output.
    const QStringList inputs { arguments.imagePath, arguments.replacementPath };
    const bool toStandardOutput = OutputTarget::isStandardOutput(arguments.outputPath);
    if (!arguments.outputPath.isEmpty() && !toStandardOutput) {
        if (const std::optional<CommandResult> refusal
            = OutputTarget::check(arguments.outputPath, arguments.force, inputs, arguments.dryRun)) {
            result.exitStatus = refusal->exitStatus;
            result.message = refusal->message;
            return result;
        }
    }

    ReplaceRequest request;
    request.idText = selection.idText;
    request.replacementPath = arguments.replacementPath;
    request.outputPath = arguments.outputPath;
    request.existingOutput = OutputTarget::existingOutput(arguments.force);
    request.loadedImagePath = arguments.imagePath;
    request.stampTime = arguments.stampTime;
    request.dryRun = arguments.dryRun;
    OutputStream standardOutput { STDOUT_FILENO };
    if (toStandardOutput)
        request.outputStream = &standardOutput;

    // The operations work on the front end's own copy of the catalogue, as the window's do.
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplacePlan plan;
    const Outcome outcome = replaceBlockAt(image, catalogue, location, request, &plan);
    result.standardOutputError = standardOutput.error;
    result.message = outcome.message;
    if (!outcome.success) {
        // A replacement or loaded image that cannot be read is unreadable input; the rest are refusals.
        const QString unopened = QStringLiteral("Can not open %1!!!");
        const bool unreadableInput = outcome.message == unopened.arg(arguments.replacementPath)
            || outcome.message == unopened.arg(arguments.imagePath);
        result.exitStatus = unreadableInput ? exitBadInput : exitRefused;
        OutputTarget::explainFault(outcome, arguments.outputPath, arguments.force, inputs, result);
        return result;
    }
    describePlan(plan, image.flashSize(), result);
    if (arguments.dryRun) {
        if (!arguments.outputPath.isEmpty())
            result.text += QStringLiteral("\n\nOutput (not written): %1").arg(arguments.outputPath);
        result.message = QStringLiteral("Dry run: nothing was written.");
    } else {
        result.text.clear();
    }
    return result;
}

PreparedCommand prepareReplace(const ParsedArguments& arguments)
{
    ReplaceArguments parsed;
    parsed.byName = arguments.isSet(QStringLiteral("name"));
    parsed.blockName = arguments.value(QStringLiteral("name"));
    parsed.outputPath = arguments.value(QStringLiteral("output"));
    parsed.force = arguments.isSet(QStringLiteral("force"));
    parsed.dryRun = arguments.isSet(QStringLiteral("dry-run"));
    const QStringList& positional = arguments.positional();
    const int wanted = parsed.byName ? 2 : 3;
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
    parsed.replacementPath = positional.last();
    if (parsed.replacementPath.isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("FILE must not be empty."));
    if (parsed.outputPath.isEmpty() && !parsed.dryRun)
        return PreparedCommand::badUsage(QStringLiteral("-o OUT is required."));
    // A malformed SOURCE_DATE_EPOCH is bad usage, found before any file is looked at.
    const StampClockReading clock = StampClockReading::now();
    if (!clock.time)
        return PreparedCommand::badUsage(clock.error);
    parsed.stampTime = *clock.time;
    PreparedCommand prepared;
    prepared.run
        = [parsed](const QVector<FlashImage*>& images) { return runReplace(*images.first(), parsed); };
    return prepared;
}

} // namespace

Command replaceCommand()
{
    Command command;
    command.name = QStringLiteral("replace");
    command.summary = QStringLiteral("Write a new image in which one block holds the bytes of FILE.");
    command.synopsis = QStringLiteral(
        "[--json] [--force] [--dry-run] IMAGE (BLOCK | --name NAME) FILE (-o OUT | --dry-run)");
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") },
        { QStringLiteral("BLOCK"), CommonOptions::blockDescription() },
        { QStringLiteral("FILE"), QStringLiteral("The replacement: the block's new bytes.") } };
    command.options = { CommonOptions::blockName(), CommonOptions::output(CommonOptions::outputDescription()),
        CommonOptions::force(),
        { QStringLiteral("dry-run"), QChar(), QString(),
            QStringLiteral(
                "Write nothing; print the variant, the bytes that change, the rewritten fields and "
                "the moved blocks.") } };
    command.helpNotes = CommonOptions::exitStatusNote()
        + QStringLiteral("\nA refreshed block-info record is stamped with SOURCE_DATE_EPOCH (seconds since "
                         "1970-01-01 UTC, written as local time) when it is set, else with the local clock.");
    command.prepare = prepareReplace;
    return command;
}
