#include "ops/base/detailtexts.h"

#include <QByteArray>

namespace DetailText {

QString hexPosition(qint64 position)
{
    return QStringLiteral("0x") + QString::number(quint64(position), 16);
}

QString blockTitle(const BlockEntry& entry)
{
    const QByteArray name = entry.nameText();
    if (name.isEmpty())
        return QStringLiteral("block %1").arg(entry.idText());
    return QStringLiteral("block %1 (%2)").arg(entry.idText(), QString::fromLocal8Bit(name));
}

QString blockTitleFirst(const BlockEntry& entry)
{
    QString title = blockTitle(entry);
    title[0] = title[0].toUpper();
    return title;
}

QString rangeText(qint64 start, qint64 length)
{
    return QStringLiteral("%1 to %2")
        .arg(hexPosition(start), hexPosition(start + qMax<qint64>(length, 1) - 1));
}

} // namespace DetailText
