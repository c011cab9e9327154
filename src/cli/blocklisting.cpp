#include "blocklisting.h"

#include "commandsupport.h"

#include "model/blockcolumns.h"

#include <QJsonArray>

using CommandSupport::hexText;

namespace BlockListing {

QStringList cells(const BlockEntry& entry)
{
    return BlockColumns::texts(entry);
}

void addEntryFields(QJsonObject& row, const BlockEntry& entry, qint64 start)
{
    row.insert(QStringLiteral("size"), double(entry.size));
    row.insert(QStringLiteral("crc"), CommandSupport::storedCrcJson(entry.crc, entry.crcCellText()));
    row.insert(QStringLiteral("crcText"), entry.crcCellText());
    row.insert(QStringLiteral("version"), entry.versionCellText());
    row.insert(QStringLiteral("versionText"), CommandSupport::versionText(entry));
    row.insert(QStringLiteral("time"), entry.timeCellText());
    row.insert(QStringLiteral("timeIso"),
        CommandSupport::isoTime(
            entry.year(), entry.month(), entry.day(), entry.hour(), entry.minute(), entry.second()));
    row.insert(QStringLiteral("offset"), double(entry.offset));
    row.insert(QStringLiteral("offsetText"), hexText(entry.offset));
    row.insert(QStringLiteral("start"), double(start));
    row.insert(QStringLiteral("startText"), hexText(quint64(start)));
    row.insert(QStringLiteral("flags"), int(entry.flags));
}

QJsonValue hashJson(const QByteArray& sha256)
{
    return sha256.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromLatin1(sha256));
}

QString hashText(const QByteArray& sha256)
{
    return sha256.isNull() ? QStringLiteral("-") : QString::fromLatin1(sha256);
}

QJsonObject json(const BlockFacts& block, const QStringList& cells, const BlockHashes* hashes)
{
    const BlockEntry& entry = block.entry;
    QJsonObject row = CommandSupport::blockIdentity(block.dmhIndex, block.entryIndex, entry);
    addEntryFields(row, entry, block.start);
    row.insert(QStringLiteral("cells"), QJsonArray::fromStringList(cells));
    row.insert(QStringLiteral("hasBlockInfo"), block.hasRecord);
    row.insert(
        QStringLiteral("dataLength"), CommandSupport::optionalNumber(block.hasRecord, block.dataLength));
    if (hashes)
        row.insert(QStringLiteral("sha256"), hashJson(hashes->of(block)));
    return row;
}

} // namespace BlockListing
