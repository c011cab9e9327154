#include "blockselection.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "outputtarget.h"
#include "planreport.h"
#include "stampclock.h"

#include "model/flashimage.h"
#include "ops/blockreplace.h"
#include "ops/replacechain.h"
#include "ops/replacewarnings.h"
#include "ops/statustexts.h"

#include <QJsonArray>
#include <QSet>

#include <unistd.h>

namespace {

// BLOCK FILE: which block gets which file's bytes. BLOCK is an ID text, DMH:ID, or name:NAME.
struct Pair {
    QString blockText;
    QString replacementPath;
};

struct ReplaceArguments {
    QString imagePath;
    QVector<Pair> pairs;
    QString outputPath;
    bool force = false;
    bool dryRun = false;
    StampTime stampTime;
    // Every file the run reads, watched from before it is opened; the writer looks at them last.
    std::shared_ptr<InputWatch> inputs;
};

QJsonObject blockJson(const BlockLocation& location)
{
    return CommandSupport::blockIdentity(location.dmhIndex, location.entryIndex, location.entry);
}

// `standardOutput` receives the image when OUT is "-"; it must outlive the request.
ReplaceRequest requestFor(const ReplaceArguments& arguments, OutputStream& standardOutput)
{
    ReplaceRequest request;
    if (OutputTarget::isStandardOutput(arguments.outputPath))
        request.outputStream = &standardOutput;
    request.outputPath = arguments.outputPath;
    request.existingOutput = OutputTarget::existingOutput(arguments.force);
    request.loadedImagePath = arguments.imagePath;
    request.stampTime = arguments.stampTime;
    request.dryRun = arguments.dryRun;
    request.inputs = arguments.inputs.get();
    return request;
}

QStringList inputsOf(const ReplaceArguments& arguments)
{
    QStringList inputs { arguments.imagePath };
    for (const Pair& pair : arguments.pairs)
        inputs << pair.replacementPath;
    return inputs;
}

// The fields every replace document carries from the start, refusals included.
CommandResult startResult(const ReplaceArguments& arguments)
{
    CommandResult result;
    result.details.insert(QStringLiteral("dryRun"), arguments.dryRun);
    result.details.insert(QStringLiteral("replacement"), arguments.pairs.first().replacementPath);
    result.details.insert(QStringLiteral("output"),
        arguments.outputPath.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(arguments.outputPath));
    return result;
}

// The -o rules; nothing to check when no output is named (a dry run) or it is standard output.
bool refusedOutput(const ReplaceArguments& arguments, CommandResult& result)
{
    if (arguments.outputPath.isEmpty() || OutputTarget::isStandardOutput(arguments.outputPath))
        return false;
    const std::optional<CommandResult> refusal
        = OutputTarget::check(arguments.outputPath, arguments.force, inputsOf(arguments), arguments.dryRun);
    if (!refusal)
        return false;
    result.exitStatus = refusal->exitStatus;
    result.message = refusal->message;
    result.detail = refusal->detail;
    return true;
}

// A failed action: its status text, its explanation, and the exit status its cause asks for.
void fail(
    const Outcome& outcome, const QString& detail, const ReplaceArguments& arguments, CommandResult& result)
{
    result.message = outcome.message;
    result.detail = detail;
    // A replacement or loaded image that cannot be read is unreadable input; the rest are refusals.
    result.exitStatus = outcome.cause == FailureCause::UnreadableInput ? exitBadInput : exitRefused;
    OutputTarget::explainFault(outcome, arguments.outputPath, arguments.force, inputsOf(arguments), result);
}

QString writtenText(const ReplaceArguments& arguments, qint64 length)
{
    return QStringLiteral("Wrote the new image, %1 bytes, to %2.")
        .arg(QString::number(length), OutputTarget::describe(arguments.outputPath));
}

// A dry run's report: the plan text, where the output would have gone, and that nothing was written.
void finishDryRun(const QString& planText, const ReplaceArguments& arguments, CommandResult& result)
{
    result.text = planText;
    if (!arguments.outputPath.isEmpty())
        result.text += QStringLiteral("\n\nOutput (not written): %1").arg(arguments.outputPath);
    result.message = QStringLiteral("Dry run: nothing was written.");
}

CommandResult runOnePair(FlashImage& image, const ReplaceArguments& arguments)
{
    const Pair& pair = arguments.pairs.first();
    CommandResult result = startResult(arguments);
    const BlockSelection selection = BlockSelection::byText(image.dmhRecords(), pair.blockText);
    const BlockLocation& location = selection.location;
    result.warnings = selection.warnings;
    if (location.found())
        result.details.insert(QStringLiteral("block"), blockJson(location));
    if (selection.refusal) {
        result.exitStatus = exitRefused;
        result.message = *selection.refusal;
        return result;
    }
    if (refusedOutput(arguments, result))
        return result;

    OutputStream standardOutput { STDOUT_FILENO };
    ReplaceRequest request = requestFor(arguments, standardOutput);
    request.idText = selection.idText;
    request.replacementPath = pair.replacementPath;
    // The operations work on the front end's own copy of the catalogue, as the window's do.
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplacePlan plan;
    const Outcome outcome = replaceBlockAt(image, catalogue, location, request, &plan);
    result.standardOutputError = standardOutput.error;
    if (!outcome.success) {
        // The operation knows only that nothing was found; the selection knows what BLOCK said.
        fail(outcome, location.found() ? outcome.detail : selection.notFoundDetail, arguments, result);
        return result;
    }
    result.warnings += replacementWarnings(image.dmhRecords(), location, plan);
    const PlanReport report = describePlan(plan);
    result.details.insert(QStringLiteral("plan"), report.json);
    if (arguments.dryRun) {
        finishDryRun(report.text, arguments, result);
    } else {
        result.message = outcome.message;
        result.detail = writtenText(arguments, plan.output.length);
    }
    return result;
}

CommandResult runPairs(FlashImage& image, const ReplaceArguments& arguments)
{
    CommandResult result = startResult(arguments);
    const QVector<Pair>& pairs = arguments.pairs;
    if (refusedOutput(arguments, result))
        return result;

    // Each pair finds its block in the image as it stands after the pairs before it, as a run of its own
    // would; what it found is kept for the report.
    QVector<BlockSelection> selections;
    QVector<ChainPair> chain;
    for (const Pair& pair : pairs) {
        ChainPair link;
        link.replacementPath = pair.replacementPath;
        link.locate = [&selections, blockText = pair.blockText](const QVector<DmhRecord>& catalogue) {
            const BlockSelection selection = BlockSelection::byText(catalogue, blockText);
            selections.append(selection);
            if (selection.refusal)
                return Refusable<ChainTarget>::refused(Outcome::refused(*selection.refusal));
            if (!selection.location.found())
                return Refusable<ChainTarget>::refused(
                    Outcome::refused(StatusText::canNotFindDmh(), selection.notFoundDetail));
            return Refusable<ChainTarget>::of({ selection.location, selection.idText });
        };
        chain.append(link);
    }
    OutputStream standardOutput { STDOUT_FILENO };
    const ChainResult done = replaceChain(image, chain, requestFor(arguments, standardOutput));
    result.standardOutputError = standardOutput.error;

    if (!selections.isEmpty() && selections.first().location.found())
        result.details.insert(QStringLiteral("block"), blockJson(selections.first().location));
    QJsonArray steps;
    QStringList texts;
    for (int index = 0; index < done.plans.size(); ++index) {
        const ReplacePlan& plan = done.plans[index];
        const PlanReport report = describePlan(plan);
        steps.append(QJsonObject {
            { QStringLiteral("block"), blockJson(selections[index].location) },
            { QStringLiteral("blockText"), pairs[index].blockText },
            { QStringLiteral("replacement"), pairs[index].replacementPath },
            { QStringLiteral("plan"), report.json },
        });
        texts << QStringLiteral("Pair %1 of %2: %3 <- %4\n%5")
                     .arg(QString::number(index + 1), QString::number(pairs.size()), pairs[index].blockText,
                         pairs[index].replacementPath, report.text);
        result.warnings += selections[index].warnings;
        result.warnings += done.warnings.value(index);
    }
    result.details.insert(QStringLiteral("steps"), steps);

    if (done.failedPair >= 0) {
        const Pair& failed = pairs[done.failedPair];
        // Every pair that failed was located first (a refused location is the failure itself).
        result.warnings += selections[done.failedPair].warnings;
        result.details.insert(QStringLiteral("failedPair"),
            QJsonObject {
                { QStringLiteral("index"), done.failedPair },
                { QStringLiteral("block"), failed.blockText },
                { QStringLiteral("replacement"), failed.replacementPath },
            });
        const QString pairText
            = QStringLiteral("Pair %1 of %2 (BLOCK %3, FILE %4) was refused; nothing was written.")
                  .arg(QString::number(done.failedPair + 1), QString::number(pairs.size()), failed.blockText,
                      failed.replacementPath);
        fail(done.outcome,
            done.outcome.detail.isEmpty() ? pairText : pairText + QLatin1Char('\n') + done.outcome.detail,
            arguments, result);
        return result;
    }
    if (!done.outcome.success) {
        fail(done.outcome, done.outcome.detail, arguments, result);
        return result;
    }
    if (arguments.dryRun) {
        finishDryRun(texts.join(QStringLiteral("\n\n")), arguments, result);
        return result;
    }
    result.message = done.outcome.message;
    result.detail = writtenText(arguments, done.plans.last().output.length)
        + QStringLiteral(" %1 blocks were replaced in one pass.").arg(pairs.size());
    return result;
}

// A pair as a usage error names it: its number, counted from 1, its BLOCK and its FILE.
QString describePair(const QVector<Pair>& pairs, int index)
{
    return QStringLiteral("%1 (BLOCK %2, FILE %3)")
        .arg(QString::number(index + 1), pairs[index].blockText, pairs[index].replacementPath);
}

// Two pairs that reach one entry would replace it twice, the first replacement lost, however BLOCK is
// spelled ("5", "0:5", "name:kernel"). Each BLOCK is found in the image as loaded; one that finds nothing
// is left to the run, which refuses it. The error, or empty.
QString pairsReachingOneEntry(const QVector<DmhRecord>& catalogue, const QVector<Pair>& pairs)
{
    QVector<BlockLocation> reached;
    for (int index = 0; index < pairs.size(); ++index) {
        const BlockLocation location = BlockSelection::byText(catalogue, pairs[index].blockText).location;
        for (int earlier = 0; location.found() && earlier < index; ++earlier) {
            const BlockLocation& other = reached[earlier];
            if (other.found() && other.dmhIndex == location.dmhIndex
                && other.entryIndex == location.entryIndex)
                return QStringLiteral("Pairs %1 and %2 both reach block %3 (DMH %4, entry %5); each block is "
                                      "replaced once per run.")
                    .arg(describePair(pairs, earlier), describePair(pairs, index), location.entry.idText(),
                        QString::number(location.dmhIndex), QString::number(location.entryIndex));
        }
        reached.append(location);
    }
    return QString();
}

PreparedCommand prepareReplace(const ParsedArguments& arguments)
{
    ReplaceArguments parsed;
    parsed.outputPath = arguments.value(QStringLiteral("output"));
    parsed.force = arguments.isSet(QStringLiteral("force"));
    parsed.dryRun = arguments.isSet(QStringLiteral("dry-run"));
    QStringList positional = arguments.positional();
    // --name NAME stands for the first BLOCK.
    const bool byName = arguments.isSet(QStringLiteral("name"));
    if (byName && !positional.isEmpty())
        positional.insert(1, BlockSelection::nameText(arguments.value(QStringLiteral("name"))));
    const int given = arguments.positional().size();
    if (positional.size() < 3)
        return PreparedCommand::badUsage(CommandSupport::argumentCountError(byName ? 2 : 3, given));
    if (positional.size() % 2 == 0)
        return PreparedCommand::badUsage(
            QStringLiteral("BLOCK %1 has no FILE: after IMAGE the arguments come in BLOCK FILE pairs.")
                .arg(positional.last()));
    parsed.imagePath = positional[0];
    if (parsed.imagePath.isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("IMAGE must not be empty."));
    QSet<QString> named;
    for (int index = 1; index + 1 < positional.size(); index += 2) {
        const Pair pair { positional[index], positional[index + 1] };
        const QString blockError = BlockSelection::textError(pair.blockText);
        if (!blockError.isEmpty())
            return PreparedCommand::badUsage(blockError);
        if (pair.replacementPath.isEmpty())
            return PreparedCommand::badUsage(QStringLiteral("FILE must not be empty."));
        if (named.contains(pair.blockText))
            return PreparedCommand::badUsage(
                QStringLiteral("BLOCK %1 is named by two pairs; each block is replaced once per run.")
                    .arg(pair.blockText));
        named.insert(pair.blockText);
        parsed.pairs.append(pair);
    }
    if (parsed.outputPath.isEmpty() && !parsed.dryRun)
        return PreparedCommand::badUsage(QStringLiteral("-o OUT is required."));
    // A malformed SOURCE_DATE_EPOCH is bad usage, found before any file is looked at.
    const StampClockReading clock = StampClockReading::now();
    if (!clock.time)
        return PreparedCommand::badUsage(clock.error);
    parsed.stampTime = *clock.time;
    PreparedCommand prepared;
    if (parsed.pairs.size() > 1) {
        prepared.usageOnImages = [pairs = parsed.pairs](const QVector<FlashImage*>& images) {
            return pairsReachingOneEntry(images.first()->dmhRecords(), pairs);
        };
    }
    for (const Pair& pair : parsed.pairs)
        prepared.otherInputs << pair.replacementPath;
    parsed.inputs = prepared.inputs;
    prepared.run = [parsed](const QVector<FlashImage*>& images) {
        return parsed.pairs.size() == 1 ? runOnePair(*images.first(), parsed)
                                        : runPairs(*images.first(), parsed);
    };
    return prepared;
}

} // namespace

Command replaceCommand()
{
    Command command;
    command.name = QStringLiteral("replace");
    command.summary = QStringLiteral("Write a new image in which one block holds the bytes of FILE.");
    command.synopsis
        = QStringLiteral("[--json] [--force] [--dry-run] IMAGE (BLOCK | --name NAME) FILE "
                         "[BLOCK FILE]... (-o OUT | --dry-run)\n"
                         "       tessel-cli replace [--dry-run] IMAGE (BLOCK | --name NAME) FILE "
                         "[BLOCK FILE]... -o -");
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
        + QStringLiteral(
            "\nMore BLOCK FILE pairs replace several blocks in one pass: each pair acts on the image "
            "the pairs before it made, as runs of their own would, and the image is written once, "
            "or not at all when a pair is refused. Two pairs that reach one block are bad usage.")
        + QStringLiteral("\nA refreshed block-info record is stamped with SOURCE_DATE_EPOCH (seconds since "
                         "1970-01-01 UTC, written as local time) when it is set, else with the local clock.");
    command.prepare = prepareReplace;
    return command;
}
