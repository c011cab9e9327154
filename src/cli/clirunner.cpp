#include "clirunner.h"

#include "blockcommands.h"
#include "commandline.h"
#include "commandresult.h"
#include "console.h"
#include "inspectcommands.h"
#include "model/flashimage.h"

namespace {

// Bumped only when a field changes meaning or disappears; new fields may be added within a version.
constexpr int jsonSchemaVersion = 1;

CommandResult runLoaded(const CliOptions& options)
{
    FlashImage image;
    if (!image.load(options.imagePath.toStdWString()))
        return CommandResult::failure(exitBadInput, QString::fromUtf8(image.lastError()));
    switch (options.command) {
    case CliCommand::Info:
        return runInfo(image);
    case CliCommand::List:
        return runList(image);
    case CliCommand::Verify:
        return runVerify(image);
    case CliCommand::Export:
        return runExport(image, options);
    case CliCommand::Replace:
        return runReplace(image, options);
    }
    return CommandResult::failure(exitBadInput, QStringLiteral("Unknown command."));
}

void print(const CliOptions& options, const CommandResult& result, const Console& console)
{
    if (options.json) {
        QJsonObject document = result.details;
        document.insert(QStringLiteral("schemaVersion"), jsonSchemaVersion);
        document.insert(QStringLiteral("command"), options.commandName);
        document.insert(QStringLiteral("image"), options.imagePath);
        document.insert(QStringLiteral("success"), result.succeeded());
        document.insert(QStringLiteral("exitStatus"), result.exitStatus);
        document.insert(QStringLiteral("message"), result.message);
        if (!result.detail.isEmpty())
            document.insert(QStringLiteral("detail"), result.detail);
        console.printJson(document);
    } else if (!result.text.isEmpty()) {
        console.printOut(result.text);
    }
    if (result.message.isEmpty())
        return;
    if (!result.succeeded()) {
        console.printError(result.message);
        if (!result.detail.isEmpty())
            console.printError(result.detail);
    } else if (!options.json)
        console.printOut(result.message);
}

} // namespace

int runCli(const QStringList& arguments, const Console& console)
{
    const CommandLine commandLine(arguments);
    switch (commandLine.outcome()) {
    case CommandLine::Outcome::Help:
        console.printOut(commandLine.text());
        return exitSuccess;
    case CommandLine::Outcome::UsageError:
        console.printError(commandLine.text());
        return exitBadInput;
    case CommandLine::Outcome::Run:
        break;
    }
    const CliOptions& options = commandLine.options();
    const CommandResult result = runLoaded(options);
    print(options, result, console);
    return result.exitStatus;
}
