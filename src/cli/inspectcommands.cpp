#include "inspectcommands.h"

#include "blockfacts.h"
#include "texttable.h"
#include "model/flashimage.h"
#include "ops/blockinfo.h"
#include "ops/crc32.h"

#include <QJsonArray>

#include <cstring>

namespace {

QString hexText(quint64 value)
{
    return QString::number(value, 16);
}

QJsonValue optionalNumber(bool present, double value)
{
    return present ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalText(bool present, const QString& text)
{
    return present ? QJsonValue(text) : QJsonValue(QJsonValue::Null);
}

// The text of the "Software Version:" label: up to the first zero byte, decoded as UTF-8.
QString softwareVersionText(const QByteArray& version)
{
    return QString::fromUtf8(version.constData(), int(qstrnlen(version.constData(), uint(version.size()))));
}

QString nameText(const BlockEntry& entry)
{
    return QString::fromLocal8Bit(entry.nameText());
}

// The fields that name a block in every listing.
QJsonObject blockIdentity(const BlockFacts& block)
{
    return QJsonObject {
        { QStringLiteral("dmhIndex"), block.dmhIndex },
        { QStringLiteral("entryIndex"), block.entryIndex },
        { QStringLiteral("id"), int(block.entry.id) },
        { QStringLiteral("idText"), block.entry.idText() },
        { QStringLiteral("name"), block.entry.nameCellText() },
        { QStringLiteral("nameText"), nameText(block.entry) },
    };
}

} // namespace

CommandResult runInfo(const FlashImage& image)
{
    CommandResult result;
    const QString version = softwareVersionText(image.softwareVersion());
    result.details = QJsonObject {
        { QStringLiteral("imageSize"), double(image.imageSize()) },
        { QStringLiteral("sdramSize"), double(image.sdramSize()) },
        { QStringLiteral("flashSize"), double(image.flashSize()) },
        { QStringLiteral("blockNumber"), image.blockCount() },
        { QStringLiteral("softwareVersion"), version },
    };

    TextTable summary({ QStringLiteral("Image Size:"), QString::number(image.imageSize()) });
    summary.addRow({ QStringLiteral("SDRAM Size:"), QString::number(image.sdramSize()) });
    summary.addRow({ QStringLiteral("Flash Size:"), QString::number(image.flashSize()) });
    summary.addRow({ QStringLiteral("Block Number:"), QString::number(image.blockCount()) });
    summary.addRow({ QStringLiteral("Software Version:"), printableText(version) });

    TextTable dmhTable({ QStringLiteral("DMH"), QStringLiteral("Position(hex)"),
        QStringLiteral("Capacity(Bytes)"), QStringLiteral("SDRAM Size"), QStringLiteral("Flash Size"),
        QStringLiteral("Entries"), QStringLiteral("Entries read"), QStringLiteral("Entry size") });
    QJsonArray dmhs;
    const QVector<DmhRecord>& records = image.dmhRecords();
    for (int index = 0; index < records.size(); ++index) {
        const DmhRecord& record = records[index];
        dmhs.append(QJsonObject {
            { QStringLiteral("index"), index },
            { QStringLiteral("position"), double(record.position) },
            { QStringLiteral("positionText"), hexText(record.position) },
            { QStringLiteral("dataCapacity"), double(record.dataCapacity) },
            { QStringLiteral("sdramSize"), double(record.sdramSize) },
            { QStringLiteral("flashSize"), double(record.flashSize) },
            { QStringLiteral("entryCount"), int(record.entryCount) },
            { QStringLiteral("entriesRead"), record.entries.size() },
            { QStringLiteral("entrySize"), int(record.entrySize) },
        });
        dmhTable.addRow({ QString::number(index), hexText(record.position),
            QString::number(record.dataCapacity), QString::number(record.sdramSize),
            QString::number(record.flashSize), QString::number(record.entryCount),
            QString::number(record.entries.size()), QString::number(record.entrySize) });
    }
    result.details.insert(QStringLiteral("dmhs"), dmhs);
    result.text = summary.render() + QStringLiteral("\n\n") + dmhTable.render();
    return result;
}

CommandResult runList(const FlashImage& image)
{
    CommandResult result;
    TextTable table({ QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Size(Bytes)"),
        QStringLiteral("CRC"), QStringLiteral("Name"), QStringLiteral("Version"),
        QStringLiteral("Time(Y/M/D/H/M/S)"), QStringLiteral("Offset(hex)"), QStringLiteral("Flags"),
        QStringLiteral("Record"), QStringLiteral("Data length") });
    QJsonArray blocks;
    for (const BlockFacts& block : BlockFacts::collect(image)) {
        const BlockEntry& entry = block.entry;
        const QStringList cells { entry.idText(), entry.sizeCellText(), entry.crcCellText(),
            entry.nameCellText(), entry.versionCellText(), entry.timeCellText() };
        QJsonObject row = blockIdentity(block);
        row.insert(QStringLiteral("cells"), QJsonArray::fromStringList(cells));
        row.insert(QStringLiteral("size"), double(entry.size));
        row.insert(QStringLiteral("crc"), double(entry.crc));
        row.insert(QStringLiteral("crcText"), entry.crcCellText());
        row.insert(QStringLiteral("version"), entry.versionCellText());
        row.insert(QStringLiteral("time"), entry.timeCellText());
        row.insert(QStringLiteral("offset"), double(entry.offset));
        row.insert(QStringLiteral("offsetText"), hexText(entry.offset));
        row.insert(QStringLiteral("start"), double(block.start));
        row.insert(QStringLiteral("startText"), hexText(quint64(block.start)));
        row.insert(QStringLiteral("flags"), int(entry.flags));
        row.insert(QStringLiteral("hasBlockInfo"), block.hasRecord);
        row.insert(QStringLiteral("dataLength"), optionalNumber(block.hasRecord, block.dataLength));
        blocks.append(row);

        table.addRow({ QString::number(block.dmhIndex), cells[0], cells[1], cells[2], printableText(cells[3]),
            printableText(cells[4]), cells[5], hexText(entry.offset), QString::number(entry.flags),
            block.hasRecord ? QStringLiteral("yes") : QStringLiteral("no"),
            block.hasRecord ? QString::number(block.dataLength) : QStringLiteral("-") });
    }
    result.details.insert(QStringLiteral("blocks"), blocks);
    result.text = table.render();
    return result;
}

CommandResult runVerify(const FlashImage& image)
{
    CommandResult result;
    TextTable table({ QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Name"),
        QStringLiteral("Start(hex)"), QStringLiteral("Size(Bytes)"), QStringLiteral("CRC"),
        QStringLiteral("Computed CRC"), QStringLiteral("Data length"), QStringLiteral("Data CRC"),
        QStringLiteral("Computed data CRC"), QStringLiteral("Result") });
    QJsonArray blocks;
    int failing = 0;
    const QVector<BlockFacts> facts = BlockFacts::collect(image);
    for (const BlockFacts& block : facts) {
        const BlockEntry& entry = block.entry;
        QStringList problems;

        // The entry's CRC over the whole block; "NCRC" says the block deliberately has none.
        QString crcStatus;
        bool crcComputed = false;
        quint32 computedCrc = 0;
        if (!block.insideImage) {
            crcStatus = QStringLiteral("not-read");
            problems << QStringLiteral("block reaches outside the image");
        } else if (entry.hasNoCrcMarker()) {
            crcStatus = QStringLiteral("not-checked");
        } else {
            computedCrc = Crc32::compute64(image.imageData() + block.start, entry.size);
            crcComputed = true;
            crcStatus = computedCrc == entry.crc ? QStringLiteral("ok") : QStringLiteral("mismatch");
            if (computedCrc != entry.crc)
                problems << QStringLiteral("CRC mismatch");
        }

        // The record's data CRC over the data length it states, which must leave room for the record.
        QJsonValue recordJson(QJsonValue::Null);
        bool dataCrcComputed = false;
        quint32 computedDataCrc = 0;
        if (block.hasRecord) {
            QString dataStatus;
            if (block.dataLength > entry.size - BlockInfo::recordSize) {
                dataStatus = QStringLiteral("length-exceeds-block");
                problems << QStringLiteral("data length exceeds block");
            } else {
                computedDataCrc = Crc32::compute64(image.imageData() + block.start, block.dataLength);
                dataCrcComputed = true;
                dataStatus = computedDataCrc == block.storedDataCrc ? QStringLiteral("ok")
                                                                    : QStringLiteral("mismatch");
                if (computedDataCrc != block.storedDataCrc)
                    problems << QStringLiteral("data CRC mismatch");
            }
            recordJson = QJsonObject {
                { QStringLiteral("status"), dataStatus },
                { QStringLiteral("dataLength"), double(block.dataLength) },
                { QStringLiteral("stored"), double(block.storedDataCrc) },
                { QStringLiteral("storedText"), hexText(block.storedDataCrc) },
                { QStringLiteral("computed"), optionalNumber(dataCrcComputed, computedDataCrc) },
                { QStringLiteral("computedText"), optionalText(dataCrcComputed, hexText(computedDataCrc)) },
            };
        }

        const bool holds = problems.isEmpty();
        if (!holds)
            ++failing;
        QJsonObject row = blockIdentity(block);
        row.insert(QStringLiteral("start"), double(block.start));
        row.insert(QStringLiteral("startText"), hexText(quint64(block.start)));
        row.insert(QStringLiteral("size"), double(entry.size));
        row.insert(QStringLiteral("insideImage"), block.insideImage);
        row.insert(QStringLiteral("crc"),
            QJsonObject {
                { QStringLiteral("status"), crcStatus },
                { QStringLiteral("stored"), double(entry.crc) },
                { QStringLiteral("storedText"), entry.crcCellText() },
                { QStringLiteral("computed"), optionalNumber(crcComputed, computedCrc) },
                { QStringLiteral("computedText"), optionalText(crcComputed, hexText(computedCrc)) },
            });
        row.insert(QStringLiteral("record"), recordJson);
        row.insert(QStringLiteral("holds"), holds);
        row.insert(QStringLiteral("problems"), QJsonArray::fromStringList(problems));
        blocks.append(row);

        QString computedCrcCell = QStringLiteral("-");
        if (crcStatus == QLatin1String("not-checked"))
            computedCrcCell = QStringLiteral("NCRC");
        else if (crcComputed)
            computedCrcCell = hexText(computedCrc);
        const QString dash = QStringLiteral("-");
        table.addRow({ QString::number(block.dmhIndex), entry.idText(), printableText(entry.nameCellText()),
            hexText(quint64(block.start)), entry.sizeCellText(), entry.crcCellText(), computedCrcCell,
            block.hasRecord ? QString::number(block.dataLength) : dash,
            block.hasRecord ? hexText(block.storedDataCrc) : dash,
            dataCrcComputed ? hexText(computedDataCrc) : dash,
            holds ? QStringLiteral("ok") : problems.join(QStringLiteral("; ")) });
    }
    result.details.insert(QStringLiteral("blocks"), blocks);
    result.details.insert(QStringLiteral("blocksChecked"), facts.size());
    result.details.insert(QStringLiteral("blocksFailing"), failing);
    result.details.insert(QStringLiteral("holds"), failing == 0);
    result.text = table.render();
    if (failing == 0) {
        result.message = QStringLiteral("All %1 blocks hold.").arg(facts.size());
    } else {
        result.exitStatus = exitRefused;
        result.message = QStringLiteral("%1 of %2 blocks do not hold.").arg(failing).arg(facts.size());
    }
    return result;
}
