#include "blockselection.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "outputtarget.h"
#include "planreport.h"
#include "stampclock.h"

#include "model/flashimage.h"
#include "ops/replace/replaceaction.h"
#include "ops/replace/replacechain.h"
#include "ops/replace/replacewarnings.h"
#include "ops/base/statustexts.h"

#include <QJsonArray>
#include <QSet>

namespace {

// BLOCK FILE: which block gets which file's bytes. BLOCK is an ID text, DMH:ID, or name:NAME.
struct Pair {
    QString blockText;
    QString replacementPath;
};

struct ReplaceArguments {
    QString imagePath;
    QVector<Pair> pairs;
    bool dryRun = false;
    bool updateCrc = false;
    StampTime stampTime;
};

// The padded variant leaves the entry's CRC as the window does; a script that verifies the output next
// should hear that before verify fails.
QJsonObject blockJson(const BlockLocation& location)
{
    return CommandSupport::blockIdentity(location.dmhIndex, location.entryIndex, location.entry);
}

ReplaceRequest requestFor(const ReplaceArguments& arguments, OutputTarget& output)
{
    ReplaceRequest request;
    request.outputStream = output.stream();
    request.outputPath = output.path();
    request.existingOutput = output.existingOutput();
    request.loadedImagePath = arguments.imagePath;
    request.stampTime = arguments.stampTime;
    request.dryRun = arguments.dryRun;
    request.paddedEntryCrc = arguments.updateCrc ? PaddedEntryCrc::Update : PaddedEntryCrc::Keep;
    request.inputs = output.inputs();
    request.progress = output.progress(QStringLiteral("Writing %1").arg(output.describe()));
    return request;
}

// The fields every replace document carries from the start, refusals included.
CommandResult startResult(const ReplaceArguments& arguments, const OutputTarget& output)
{
    CommandResult result;
    result.details.insert(QStringLiteral("dryRun"), arguments.dryRun);
    result.details.insert(QStringLiteral("replacement"), arguments.pairs.first().replacementPath);
    result.details.insert(QStringLiteral("output"),
        output.path().isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(output.path()));
    return result;
}

// A failed action: its status text, its explanation, and the exit status its cause asks for.
void fail(const Outcome& outcome, const QString& detail, const OutputTarget& output, CommandResult& result)
{
    result.message = outcome.message;
    result.detail = detail;
    result.exitStatus = CommandSupport::failureStatus(outcome);
    output.explainFault(outcome, result);
}

QString writtenText(const OutputTarget& output, qint64 length)
{
    return QStringLiteral("Wrote the new image, %1 bytes, to %2.")
        .arg(QString::number(length), output.describe());
}

// A dry run's report: the plan text, where the output would have gone, and that nothing was written.
void finishDryRun(const QString& planText, const OutputTarget& output, CommandResult& result)
{
    result.text = planText;
    if (!output.path().isEmpty())
        result.text += QStringLiteral("\n\nOutput (not written): %1").arg(output.path());
    result.message = QStringLiteral("Dry run: nothing was written.");
}

CommandResult runOnePair(FlashImage& image, const ReplaceArguments& arguments, OutputTarget& output)
{
    const Pair& pair = arguments.pairs.first();
    CommandResult result = startResult(arguments, output);
    const BlockSelection selection = BlockSelection::byText(image.dmhRecords(), pair.blockText);
    if (CommandSupport::refusedSelection(selection, result) || output.refused(result))
        return result;

    ReplaceRequest request = requestFor(arguments, output);
    request.idText = selection.idText;
    request.replacementPath = pair.replacementPath;
    // The operations work on the front end's own copy of the catalogue, as the window's do.
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplacePlan plan;
    const BlockLocation& location = selection.location;
    const Outcome outcome = replaceBlockAt(image, catalogue, location, request, &plan);
    if (!outcome.success) {
        fail(outcome, CommandSupport::failureDetail(selection, outcome), output, result);
        return result;
    }
    result.warnings += replacementWarnings(image.dmhRecords(), location, plan);
    result.warnings += staleCrcWarnings(location.entry, location.dmhIndex, location.entryIndex, plan);
    const PlanReport report = describePlan(plan);
    result.details.insert(QStringLiteral("plan"), report.json);
    if (arguments.dryRun) {
        finishDryRun(report.text, output, result);
    } else {
        result.message = outcome.message;
        result.detail = writtenText(output, plan.output.length);
    }
    return result;
}

// The chain of pairs: each finds its block in the image as it stands after the pairs before it, as a run
// of its own would; what it found is kept in `selections` for the report.
QVector<ChainPair> chainOf(const QVector<Pair>& pairs, QVector<BlockSelection>& selections)
{
    QVector<ChainPair> chain;
    for (const Pair& pair : pairs) {
        ChainPair link;
        link.replacementPath = pair.replacementPath;
        link.locate = [&selections, blockText = pair.blockText](const QVector<DmhRecord>& catalogue) {
            const BlockSelection selection = BlockSelection::byText(catalogue, blockText);
            selections.append(selection);
            return selection.chainTarget();
        };
        chain.append(link);
    }
    return chain;
}

// Every pair carried out, in the JSON `steps` and in the dry run's text, with the warnings of each.
QString reportSteps(const QVector<Pair>& pairs, const QVector<BlockSelection>& selections,
    const ChainResult& done, CommandResult& result)
{
    QJsonArray steps;
    QStringList texts;
    for (int index = 0; index < done.plans.size(); ++index) {
        const PlanReport report = describePlan(done.plans[index]);
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
        result.warnings += staleCrcWarnings(selections[index].location.entry,
            selections[index].location.dmhIndex, selections[index].location.entryIndex, done.plans[index]);
    }
    result.details.insert(QStringLiteral("steps"), steps);
    return texts.join(QStringLiteral("\n\n"));
}

// The pair that was refused: which one, and why, with nothing written.
void failPair(const QVector<Pair>& pairs, const QVector<BlockSelection>& selections, const ChainResult& done,
    const OutputTarget& output, CommandResult& result)
{
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
        done.outcome.detail.isEmpty() ? pairText : pairText + QLatin1Char('\n') + done.outcome.detail, output,
        result);
}

CommandResult runPairs(FlashImage& image, const ReplaceArguments& arguments, OutputTarget& output)
{
    CommandResult result = startResult(arguments, output);
    const QVector<Pair>& pairs = arguments.pairs;
    if (output.refused(result))
        return result;

    QVector<BlockSelection> selections;
    const ChainResult done = replaceChain(image, chainOf(pairs, selections), requestFor(arguments, output));
    if (!selections.isEmpty() && selections.first().location.found())
        result.details.insert(QStringLiteral("block"), blockJson(selections.first().location));
    const QString stepsText = reportSteps(pairs, selections, done, result);
    if (done.failedPair >= 0) {
        failPair(pairs, selections, done, output, result);
        return result;
    }
    if (!done.outcome.success) {
        fail(done.outcome, done.outcome.detail, output, result);
        return result;
    }
    if (arguments.dryRun) {
        finishDryRun(stepsText, output, result);
        return result;
    }
    result.message = done.outcome.message;
    result.detail = writtenText(output, done.plans.last().output.length)
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
    parsed.dryRun = arguments.isSet(QStringLiteral("dry-run"));
    parsed.updateCrc = arguments.isSet(QStringLiteral("update-crc"));
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
    if (const QString error = CommandSupport::newImageUsageError(arguments, parsed.dryRun, parsed.stampTime);
        !error.isEmpty())
        return PreparedCommand::badUsage(error);
    PreparedCommand prepared;
    if (parsed.pairs.size() > 1) {
        prepared.usageOnImages = [pairs = parsed.pairs](const QVector<FlashImage*>& images) {
            return pairsReachingOneEntry(images.first()->dmhRecords(), pairs);
        };
    }
    for (const Pair& pair : parsed.pairs)
        prepared.otherInputs << pair.replacementPath;
    prepared.run = [parsed](const QVector<FlashImage*>& images, OutputTarget& output) {
        return parsed.pairs.size() == 1 ? runOnePair(*images.first(), parsed, output)
                                        : runPairs(*images.first(), parsed, output);
    };
    return prepared;
}

} // namespace

Command replaceCommand()
{
    Command command = Command::named(QStringLiteral("replace"),
        QStringLiteral("Write a new image in which one block holds the bytes of FILE."),
        QStringLiteral("[--json] [--force] [--dry-run] IMAGE (BLOCK | --name NAME) FILE "
                       "[BLOCK FILE]... (-o OUT | --dry-run)\n"
                       "       tessel-cli replace [--dry-run] IMAGE (BLOCK | --name NAME) FILE "
                       "[BLOCK FILE]... -o -"));
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") },
        { QStringLiteral("BLOCK"), CommonOptions::blockDescription() },
        { QStringLiteral("FILE"), QStringLiteral("The replacement: the block's new bytes.") } };
    command.options = { CommonOptions::blockName(), CommonOptions::output(CommonOptions::outputDescription()),
        CommonOptions::force(),
        { QStringLiteral("dry-run"), QChar(), QString(),
            QStringLiteral(
                "Write nothing; print the variant, the bytes that change, the rewritten fields and "
                "the moved blocks.") },
        CommonOptions::updateCrc() };
    command.outputs = { { OutputKind::File, true, QString() } };
    command.helpNotes = CommonOptions::exitStatusNote()
        + QStringLiteral(
            "\nMore BLOCK FILE pairs replace several blocks in one pass: each pair acts on the image "
            "the pairs before it made, as runs of their own would, and the image is written once, "
            "or not at all when a pair is refused. Two pairs that reach one block are bad usage.")
        + QStringLiteral("\nA refreshed block-info record is stamped with SOURCE_DATE_EPOCH (seconds since "
                         "1970-01-01 UTC, written in UTC) when it is set, else with the local clock.");
    command.prepare = prepareReplace;
    return command;
}
