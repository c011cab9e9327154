#include "ops/export/blockexport.h"

#include "ops/base/detailtexts.h"
#include "ops/base/statustexts.h"
#include "ops/record/blockinfo.h"
#include "ops/write/planwriter.h"

#include "model/imagelayout.h"

Refusable<ExportPlan> planExport(
    const ImageView& image, const BlockLocation& location, const QString& fileName)
{
    using DetailText::blockTitle;
    using DetailText::blockTitleFirst;
    if (!location.found())
        return Refusable<ExportPlan>::refused(blockNotFound());
    if (!ImageLayout::rangeInside(location.start(), location.size, image.size))
        return Refusable<ExportPlan>::refused(Outcome::refused(StatusText::blockOutOfImage(),
            QStringLiteral("%1 lies at %2, beyond the image's %3 bytes.")
                .arg(blockTitleFirst(location.entry), DetailText::rangeText(location.start(), location.size),
                    QString::number(image.size))));

    ExportPlan plan;
    plan.output.sourceStart = location.start();
    plan.output.length = location.size;
    if (BlockInfo::hasBlockInfo(image.data, image.size, location.dmhPosition, location.entry)) {
        const qint64 recordStart = location.start() + location.size - BlockInfo::recordSize;
        const quint32 dataLength = BlockInfo::dataLength(image.data + recordStart);
        // A data length that reaches into the record or past the block describes no data part.
        if (dataLength > location.size - quint32(BlockInfo::recordSize))
            return Refusable<ExportPlan>::refused(Outcome::refused(StatusText::saveBlockFailed(fileName),
                QStringLiteral(
                    "The block-info record of %1 says it holds %2 bytes of data, but the block has "
                    "room for %3 before its record.")
                    .arg(blockTitle(location.entry), QString::number(dataLength),
                        QString::number(location.size - quint32(BlockInfo::recordSize)))));
        plan.output.length = dataLength;
        plan.dataPartOnly = true;
    }
    return Refusable<ExportPlan>::of(plan);
}

Outcome exportBlock(const ImageView& image, const BlockLocation& location, const QString& outputPath,
    ExistingOutput existing, OutputStream* stream, InputWatch* inputs)
{
    PlanWriter writer(outputPath, existing, stream, inputs);
    if (!writer.open())
        return writer.failure(StatusText::exportCanNotOpen(writer.fileName()));
    const Refusable<ExportPlan> planned = planExport(image, location, writer.fileName());
    if (!planned.accepted()) {
        writer.discard();
        return planned.refusal;
    }
    if (!writer.writeAndCommit(image.data, image.size, planned.value->output))
        return writer.failure(StatusText::saveBlockFailed(writer.fileName()));
    return Outcome::succeeded(StatusText::saveBlockSucceeded(writer.fileName()));
}
