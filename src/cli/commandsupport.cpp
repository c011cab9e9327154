#include "commandsupport.h"

#include "model/flashimage.h"

namespace CommandSupport {

QString hexText(quint64 value)
{
    return QString::number(value, 16);
}

QString prefixedHex(qint64 value)
{
    return QStringLiteral("0x") + hexText(quint64(value));
}

QJsonValue optionalNumber(bool present, double value)
{
    return present ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalText(bool present, const QString& text)
{
    return present ? QJsonValue(text) : QJsonValue(QJsonValue::Null);
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

QString layoutProblemText(const LayoutProblem& problem, const FlashImage& image)
{
    const QString flashSize = QString::number(image.flashSize());
    switch (problem.kind) {
    case LayoutProblem::Kind::ImageShorterThanFlash:
        return QStringLiteral(
            "The image is %1 bytes, shorter than its flash size of %2 bytes: it was cut short.")
            .arg(problem.length)
            .arg(flashSize);
    case LayoutProblem::Kind::FlashSizesDisagree:
        return QStringLiteral(
            "DMH %1 at %2 states a flash size of %3 bytes; the last DMH's %4 bytes is the one in use.")
            .arg(problem.dmhIndex)
            .arg(prefixedHex(problem.position))
            .arg(problem.length)
            .arg(flashSize);
    case LayoutProblem::Kind::DmhBeyondFlash:
        return QStringLiteral("DMH %1 at %2 (%3 bytes with its entries) reaches beyond the flash size of %4 "
                              "bytes; an output would lose it.")
            .arg(problem.dmhIndex)
            .arg(prefixedHex(problem.position))
            .arg(problem.length)
            .arg(flashSize);
    case LayoutProblem::Kind::BlockBeyondFlash: {
        const BlockEntry& entry = image.dmhRecords().at(problem.dmhIndex).entries.at(problem.entryIndex);
        return QStringLiteral("Block %1 of DMH %2 (%3 to %4) reaches beyond the flash size of %5 bytes; an "
                              "output would lose it.")
            .arg(entry.idText())
            .arg(problem.dmhIndex)
            .arg(prefixedHex(problem.position))
            .arg(prefixedHex(problem.position + problem.length - 1))
            .arg(flashSize);
    }
    }
    return {};
}

} // namespace CommandSupport
