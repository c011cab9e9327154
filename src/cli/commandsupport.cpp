#include "commandsupport.h"

#include "model/flashimage.h"
#include "ops/replacesupport.h"

namespace CommandSupport {

QString hexText(quint64 value)
{
    return QString::number(value, 16);
}

QString prefixedHex(qint64 value)
{
    return ReplaceSupport::hexPosition(value);
}

QJsonValue optionalNumber(bool present, double value)
{
    return present ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalText(bool present, const QString& text)
{
    return present ? QJsonValue(text) : QJsonValue(QJsonValue::Null);
}

QJsonObject imageSummaryJson(const ImageSummary& summary)
{
    return QJsonObject {
        { QStringLiteral("imageSize"), double(summary.imageSize) },
        { QStringLiteral("sdramSize"), double(summary.sdramSize) },
        { QStringLiteral("flashSize"), double(summary.flashSize) },
        { QStringLiteral("blockNumber"), summary.blockNumber },
        { QStringLiteral("softwareVersion"), SoftwareVersion::displayText(summary.softwareVersion) },
    };
}

QJsonObject dmhJson(const DmhSide& dmh)
{
    return QJsonObject {
        { QStringLiteral("position"), double(dmh.position) },
        { QStringLiteral("positionText"), hexText(dmh.position) },
        { QStringLiteral("dataCapacity"), double(dmh.dataCapacity) },
        { QStringLiteral("sdramSize"), double(dmh.sdramSize) },
        { QStringLiteral("flashSize"), double(dmh.flashSize) },
        { QStringLiteral("entryCount"), int(dmh.entryCount) },
        { QStringLiteral("entriesRead"), dmh.entriesRead },
        { QStringLiteral("entrySize"), int(dmh.entrySize) },
    };
}

QJsonObject blockIdentity(int dmhIndex, int entryIndex, const BlockEntry& entry)
{
    return QJsonObject {
        { QStringLiteral("dmhIndex"), dmhIndex },
        { QStringLiteral("entryIndex"), entryIndex },
        { QStringLiteral("id"), int(entry.id) },
        { QStringLiteral("idText"), entry.idText() },
        { QStringLiteral("name"), entry.nameCellText() },
        { QStringLiteral("nameText"), QString::fromLocal8Bit(entry.nameText()) },
    };
}

QString argumentCountError(int wanted, int got)
{
    return QStringLiteral("Expected %1 argument(s), got %2.").arg(wanted).arg(got);
}

PreparedCommand onOneImage(
    const ParsedArguments& arguments, std::function<CommandResult(const FlashImage& image)> run)
{
    const QStringList& positional = arguments.positional();
    if (positional.size() != 1)
        return PreparedCommand::badUsage(argumentCountError(1, positional.size()));
    if (positional.first().isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("IMAGE must not be empty."));
    PreparedCommand prepared;
    prepared.run = [run](const QVector<FlashImage*>& images) { return run(*images.first()); };
    return prepared;
}

} // namespace CommandSupport
