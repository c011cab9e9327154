#include "ops/replace/replaceplan.h"

#include "model/imagelayout.h"

QString fieldName(ChangedField field)
{
    switch (field) {
    case ChangedField::EntryOffset:
        return QStringLiteral("entry offset");
    case ChangedField::EntrySize:
        return QStringLiteral("entry size");
    case ChangedField::EntryCrc:
        return QStringLiteral("entry crc");
    case ChangedField::CopySize:
        return QStringLiteral("entry copy size");
    case ChangedField::CopyCrc:
        return QStringLiteral("entry copy crc");
    case ChangedField::RecordDataLength:
        return QStringLiteral("record data length");
    case ChangedField::RecordDataCrc:
        return QStringLiteral("record data crc");
    case ChangedField::RecordTime:
        return QStringLiteral("record time");
    }
    return {};
}

QString variantName(ReplaceVariant variant)
{
    switch (variant) {
    case ReplaceVariant::Padded:
        return QStringLiteral("padded");
    case ReplaceVariant::WithInfo:
        return QStringLiteral("with block info");
    case ReplaceVariant::Grow:
        return QStringLiteral("grow");
    }
    return {};
}

void noteApplied(ImageOrigin& origin, const ReplacePlan& plan)
{
    if (plan.variant != ReplaceVariant::Grow) {
        for (const OutputPatch& patch : plan.output.patches)
            origin.changed(plan.output.sourceStart + patch.position, patch.length());
        return;
    }
    // The blocks behind the grown one move as one, the new block is copied over the start of their old
    // place, and the DMH's entry table is written again from its first entry.
    const qint64 grownEnd = plan.blockStart + plan.replacementLength;
    origin.moved(plan.blockStart + plan.oldSize, grownEnd, plan.tailLength);
    origin.changed(plan.blockStart, plan.replacementLength);
    const qint64 entries = plan.entryIndex + 1 + plan.moves.size();
    origin.changed(plan.changedStart - qint64(ImageLayout::entryStride) * plan.entryIndex,
        qint64(ImageLayout::entryStride) * entries);
}
