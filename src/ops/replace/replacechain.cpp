#include "ops/replace/replacechain.h"

#include "ops/replace/replaceaction.h"
#include "ops/write/planwriter.h"
#include "ops/replace/replacewarnings.h"
#include "ops/base/statustexts.h"

namespace {

// One pair on the image as the pairs before it left it, as a dry run of its own: checked, read and
// planned, with nothing written. Its plan and warnings join `result`.
Outcome planPair(FlashImage& image, QVector<DmhRecord>& catalogue, const ChainPair& pair,
    const ReplaceRequest& request, const std::shared_ptr<ImageBuffer>& spare, ChainResult& result)
{
    const Refusable<ChainTarget> target = pair.locate(catalogue);
    if (!target.accepted())
        return target.refusal;
    ReplaceRequest step = request;
    step.spareBuffer = spare;
    step.idText = target.value->idText;
    step.replacementPath = pair.replacementPath;
    step.outputPath.clear();
    step.dryRun = true;
    ReplacePlan plan;
    const Outcome planned = replaceBlockAt(image, catalogue, target.value->location, step, &plan);
    if (!planned.success)
        return planned;
    result.warnings.append(replacementWarnings(image.dmhRecords(), target.value->location, plan));
    result.plans.append(plan);
    return planned;
}

// Makes the image in memory the output of the pair planned last, for the next pair to see.
Outcome takeChange(FlashImage& image, QVector<DmhRecord>& catalogue, ReplacePlan& plan,
    std::shared_ptr<ImageBuffer>& spare, ImageOrigin* origin)
{
    applyPlan(image.bytesToChange(), catalogue, plan);
    if (origin)
        noteApplied(*origin, plan);
    // The new bytes are in the image now: their memory serves the next pair, and the report keeps only
    // what the plan says.
    spare = std::move(plan.newBytes);
    for (OutputPatch& patch : plan.output.patches)
        patch.block.reset();
    // The pair's output is the image with the change, cut to the flash size, loaded again: only the
    // headers the change can touch are looked at anew.
    if (image.reloadChanged(plan.output.length, { { plan.changedStart, plan.changedLength } })) {
        if (origin)
            origin->truncate(plan.output.length);
        return Outcome::succeeded({});
    }
    return Outcome::refused(QString::fromUtf8(image.lastError()),
        QStringLiteral("After this replacement the image would no longer load: %1")
            .arg(image.lastErrorDetail()));
}

// The last pair's output, written once through the request's output rules, with its status texts.
Outcome writeChain(const FlashImage& image, const ReplacePlan& lastPlan, const ReplaceRequest& request,
    const std::shared_ptr<ImageOrigin>& origin)
{
    const bool grew = lastPlan.variant == ReplaceVariant::Grow;
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream, request.inputs);
    writer.setProgress(request.progress);
    if (!writer.open())
        return writer.failure(StatusText::canNotOpen(writer.fileName()));
    OutputPlan output = lastPlan.output;
    output.origin = origin;
    if (!writer.writeAndCommit(image.imageData(), image.imageSize(), output))
        return writer.failure(grew ? StatusText::growFailed() : StatusText::replaceFailed());
    return Outcome::succeeded(grew ? StatusText::growSucceeded() : StatusText::replaceSucceeded());
}

} // namespace

ChainResult replaceChain(FlashImage& image, const QVector<ChainPair>& pairs, const ReplaceRequest& request)
{
    ChainResult result;
    std::shared_ptr<ImageBuffer> spare;
    // Which bytes in memory are still the loaded file's, as the pairs change them: what the write shares.
    const std::shared_ptr<ImageOrigin> origin = ImageOrigin::of(image);
    for (int pair = 0; pair < pairs.size(); ++pair) {
        QVector<DmhRecord> catalogue = image.dmhRecords();
        Outcome outcome = planPair(image, catalogue, pairs[pair], request, spare, result);
        // The last pair's output is written as a single run writes it, from its plan over the image (a
        // growth's over the image it changed).
        if (outcome.success && pair + 1 == pairs.size()) {
            if (result.plans.last().variant == ReplaceVariant::Grow) {
                applyPlan(image.bytesToChange(), catalogue, result.plans.last());
                if (origin)
                    noteApplied(*origin, result.plans.last());
            }
            break;
        }
        if (outcome.success)
            outcome = takeChange(image, catalogue, result.plans.last(), spare, origin.get());
        if (!outcome.success) {
            result.failedPair = pair;
            result.outcome = outcome;
            return result;
        }
    }
    result.outcome
        = request.dryRun ? Outcome::succeeded({}) : writeChain(image, result.plans.last(), request, origin);
    return result;
}
