#include "ops/replace/replacechain.h"

#include "ops/write/planwriter.h"
#include "ops/replace/replacewarnings.h"
#include "ops/base/statustexts.h"

ChainResult replaceChain(FlashImage& image, const QVector<ChainPair>& pairs, const ReplaceRequest& request)
{
    ChainResult result;
    const auto fail = [&result](int pair, const Outcome& outcome) {
        result.failedPair = pair;
        result.outcome = outcome;
        return result;
    };
    std::shared_ptr<ImageBuffer> spare;
    // Which bytes in memory are still the loaded file's, as the pairs change them: what the write shares.
    const std::shared_ptr<ImageOrigin> origin = ImageOrigin::of(image);
    for (int pair = 0; pair < pairs.size(); ++pair) {
        QVector<DmhRecord> catalogue = image.dmhRecords();
        const Refusable<ChainTarget> target = pairs[pair].locate(catalogue);
        if (!target.accepted())
            return fail(pair, target.refusal);

        // Each pair alone is a dry run: checked, read and planned, with nothing written.
        ReplaceRequest step = request;
        step.spareBuffer = spare;
        step.idText = target.value->idText;
        step.replacementPath = pairs[pair].replacementPath;
        step.outputPath.clear();
        step.dryRun = true;
        ReplacePlan plan;
        const Outcome planned = replaceBlockAt(image, catalogue, target.value->location, step, &plan);
        if (!planned.success)
            return fail(pair, planned);
        result.warnings.append(replacementWarnings(image.dmhRecords(), target.value->location, plan));
        result.plans.append(plan);

        // The last pair's output is written as a single run writes it, from its plan over the image (a
        // growth's over the image it changed).
        const bool last = pair + 1 == pairs.size();
        if (last && plan.variant != ReplaceVariant::Grow)
            break;
        applyPlan(image.bytesToChange(), catalogue, plan);
        if (origin)
            noteApplied(*origin, plan);
        if (last)
            break;
        // The new bytes are in the image now: their memory serves the next pair, and the report keeps
        // only what the plan says.
        spare = std::move(plan.newBytes);
        ReplacePlan& reported = result.plans.last();
        reported.newBytes.reset();
        for (OutputPatch& patch : reported.output.patches)
            patch.block.reset();
        // The pair's output is the image with the change, cut to the flash size, loaded again: only the
        // headers the change can touch are looked at anew.
        if (!image.reloadChanged(plan.output.length, { { plan.changedStart, plan.changedLength } }))
            return fail(pair,
                Outcome::refused(QString::fromUtf8(image.lastError()),
                    QStringLiteral("After this replacement the image would no longer load: %1")
                        .arg(image.lastErrorDetail())));
        if (origin)
            origin->truncate(plan.output.length);
    }
    if (request.dryRun) {
        result.outcome = Outcome::succeeded({});
        return result;
    }

    const ReplacePlan& lastPlan = result.plans.last();
    const bool grew = lastPlan.variant == ReplaceVariant::Grow;
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream, request.inputs);
    if (!writer.open()) {
        result.outcome = writer.failure(StatusText::canNotOpen(writer.fileName()));
        return result;
    }
    OutputPlan output = lastPlan.output;
    output.origin = origin;
    if (!writer.writeAndCommit(image.imageData(), image.imageSize(), output)) {
        result.outcome = writer.failure(grew ? StatusText::growFailed() : StatusText::replaceFailed());
        return result;
    }
    result.outcome = Outcome::succeeded(grew ? StatusText::growSucceeded() : StatusText::replaceSucceeded());
    return result;
}
