#include "blockexport.h"

#include "blockinfo.h"
#include "planwriter.h"
#include "statustexts.h"

#include "model/imagelayout.h"

Planned<ExportPlan> planExport(const ImageView& image, const BlockLocation& location, const QString& fileName)
{
    if (!location.found())
        return Planned<ExportPlan>::refused(StatusText::canNotFindDmh());
    if (!ImageLayout::rangeInside(location.start(), location.size, image.size))
        return Planned<ExportPlan>::refused(StatusText::blockOutOfImage());

    ExportPlan plan;
    plan.output.sourceStart = location.start();
    plan.output.length = location.size;
    if (BlockInfo::hasBlockInfo(image.data, image.size, location.dmhPosition, location.entry)) {
        const qint64 recordStart = location.start() + location.size - BlockInfo::recordSize;
        const quint32 dataLength = BlockInfo::dataLength(image.data + recordStart);
        // A data length that reaches into the record or past the block describes no data part.
        if (dataLength > location.size - quint32(BlockInfo::recordSize))
            return Planned<ExportPlan>::refused(StatusText::saveBlockFailed(fileName));
        plan.output.length = dataLength;
        plan.dataPartOnly = true;
    }
    return Planned<ExportPlan>::of(plan);
}

Outcome exportBlock(const ImageView& image, const BlockLocation& location, const QString& outputPath,
    ExistingOutput existing, OutputStream* stream)
{
    PlanWriter writer(outputPath, existing, stream);
    if (!writer.open())
        return writer.failure(StatusText::exportCanNotOpen(writer.fileName()));
    const Planned<ExportPlan> planned = planExport(image, location, writer.fileName());
    if (!planned.accepted()) {
        writer.discard();
        return planned.refusal;
    }
    if (!writer.writeAndCommit(image.data, image.size, planned.plan->output))
        return writer.failure(StatusText::saveBlockFailed(writer.fileName()));
    return Outcome::succeeded(StatusText::saveBlockSucceeded(writer.fileName()));
}
