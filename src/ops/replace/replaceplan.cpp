#include "ops/replace/replaceplan.h"

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
