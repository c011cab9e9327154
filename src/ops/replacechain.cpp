#include "replacechain.h"

#include "planwriter.h"
#include "replacewarnings.h"
#include "statustexts.h"

#include "model/imagebuffer.h"

ChainResult replaceChain(FlashImage& image, const QVector<ChainPair>& pairs, const ReplaceRequest& request)
{
    ChainResult result;
    const auto fail = [&result](int pair, const Outcome& outcome) {
        result.failedPair = pair;
        result.outcome = outcome;
        return result;
    };
    ReplaceVariant lastVariant = ReplaceVariant::Padded;
    for (int pair = 0; pair < pairs.size(); ++pair) {
        QVector<DmhRecord> catalogue = image.dmhRecords();
        const Refusable<ChainTarget> target = pairs[pair].locate(catalogue);
        if (!target.accepted())
            return fail(pair, target.refusal);

        // Each pair alone is a dry run: checked, read and planned, with nothing written.
        ReplaceRequest step = request;
        step.idText = target.value->idText;
        step.replacementPath = pairs[pair].replacementPath;
        step.outputPath.clear();
        step.dryRun = true;
        ReplacePlan plan;
        const Outcome planned = replaceBlockAt(image, catalogue, target.value->location, step, &plan);
        if (!planned.success)
            return fail(pair, planned);

        result.warnings.append(replacementWarnings(image.dmhRecords(), target.value->location, plan));

        // The pair's output is the image with the change, cut to the flash size, loaded again.
        applyPlan(image.imageData(), catalogue, plan);
        ImageBuffer output = image.takeBytes();
        output.truncate(plan.output.length);
        if (!image.loadBytes(std::move(output)))
            return fail(pair,
                Outcome::refused(QString::fromUtf8(image.lastError()),
                    QStringLiteral("After this replacement the image would no longer load: %1")
                        .arg(image.lastErrorDetail())));
        lastVariant = plan.variant;
        result.plans.append(plan);
    }
    if (request.dryRun) {
        result.outcome = Outcome::succeeded({});
        return result;
    }

    const bool grew = lastVariant == ReplaceVariant::Grow;
    PlanWriter writer(request.outputPath, request.existingOutput, request.outputStream);
    if (!writer.open()) {
        result.outcome = writer.failure(StatusText::canNotOpen(writer.fileName()));
        return result;
    }
    OutputPlan whole;
    whole.length = image.imageSize();
    if (!writer.writeAndCommit(image.imageData(), image.imageSize(), whole)) {
        result.outcome = writer.failure(grew ? StatusText::growFailed() : StatusText::replaceFailed());
        return result;
    }
    result.outcome = Outcome::succeeded(grew ? StatusText::growSucceeded() : StatusText::replaceSucceeded());
    return result;
}
