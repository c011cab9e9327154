#include "commandsupport.h"
#include "stampclock.h"

#include "blockselection.h"
#include "commonoptions.h"

#include "model/flashimage.h"
#include "ops/base/detailtexts.h"
#include "ops/base/outcome.h"

#include <QDateTime>

#include <algorithm>

namespace CommandSupport {

QString hexText(quint64 value)
{
    return QString::number(value, 16);
}

QString prefixedHex(qint64 value)
{
    return DetailText::hexPosition(value);
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

QJsonValue isoTime(int year, int month, int day, int hour, int minute, int second)
{
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid() || year < 1 || year > 9999)
        return QJsonValue(QJsonValue::Null);
    return QDateTime(date, time).toString(Qt::ISODate);
}

QString versionText(const BlockEntry& entry)
{
    const auto end = std::find(entry.version.cbegin(), entry.version.cend(), '\0');
    return QString::fromLocal8Bit(entry.version.data(), int(end - entry.version.cbegin()));
}

QJsonObject storedCrcJson(quint32 stored, const QString& storedText)
{
    return QJsonObject {
        { QStringLiteral("stored"), double(stored) },
        { QStringLiteral("storedText"), storedText },
    };
}

bool refusedSelection(const BlockSelection& selection, CommandResult& result)
{
    const BlockLocation& location = selection.location;
    result.warnings += selection.warnings;
    if (location.found())
        result.details.insert(
            QStringLiteral("block"), blockIdentity(location.dmhIndex, location.entryIndex, location.entry));
    if (!selection.refusal)
        return false;
    result.exitStatus = exitRefused;
    result.message = *selection.refusal;
    return true;
}

QString failureDetail(const BlockSelection& selection, const Outcome& outcome)
{
    return selection.location.found() ? outcome.detail : selection.notFoundDetail;
}

int failureStatus(const Outcome& outcome)
{
    return outcome.cause == FailureCause::UnreadableInput ? exitBadInput : exitRefused;
}

QString argumentCountError(int wanted, int got)
{
    return QStringLiteral("Expected %1 argument(s), got %2.").arg(wanted).arg(got);
}

PreparedCommand onOneImage(
    const ParsedArguments& arguments, std::function<CommandResult(const FlashImage& image)> run)
{
    return onOneImage(arguments,
        OneImageRun([run](const FlashImage& image, const ParsedArguments&) { return run(image); }));
}

PreparedCommand onOneImage(const ParsedArguments& arguments, OneImageRun run)
{
    const QStringList& positional = arguments.positional();
    if (positional.size() != 1)
        return PreparedCommand::badUsage(argumentCountError(1, positional.size()));
    if (positional.first().isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("IMAGE must not be empty."));
    PreparedCommand prepared;
    prepared.hashesImages = arguments.isSet(CommonOptions::hashes().longName);
    prepared.run = [run, arguments](const QVector<FlashImage*>& images, OutputTarget&) {
        return run(*images.first(), arguments);
    };
    return prepared;
}

Command oneImageCommand(const QString& name, const QString& summary, const QString& helpNotes,
    std::function<CommandResult(const FlashImage& image)> run)
{
    return oneImageCommand(name, summary, helpNotes, {},
        OneImageRun([run](const FlashImage& image, const ParsedArguments&) { return run(image); }));
}

Command oneImageCommand(const QString& name, const QString& summary, const QString& helpNotes,
    const QVector<OptionSpec>& options, OneImageRun run)
{
    QStringList synopsis { QStringLiteral("[--json]") };
    for (const OptionSpec& option : options)
        synopsis << (option.takesValue() ? QStringLiteral("[--%1 %2]").arg(option.longName, option.valueName)
                                         : QStringLiteral("[--%1]").arg(option.longName));
    Command command = Command::named(
        name, summary, (synopsis + QStringList { QStringLiteral("IMAGE") }).join(QLatin1Char(' ')));
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") } };
    command.options = options;
    command.helpNotes = helpNotes;
    command.prepare = [run](const ParsedArguments& arguments) { return onOneImage(arguments, run); };
    return command;
}

QString newImageUsageError(const ParsedArguments& arguments, bool dryRun, StampTime& stampTime)
{
    if (arguments.value(QStringLiteral("output")).isEmpty() && !dryRun)
        return QStringLiteral("-o OUT is required.");
    const StampClockReading clock = StampClockReading::now();
    if (!clock.time)
        return clock.error;
    stampTime = *clock.time;
    return {};
}

} // namespace CommandSupport
