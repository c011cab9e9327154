#include "commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

struct SubcommandInfo {
    const char* name;
    CliCommand command;
    const char* summary;
};

constexpr SubcommandInfo subcommands[] = {
    { "info", CliCommand::Info, "Show the image's sizes, block number, software version and DMHs." },
    { "list", CliCommand::List, "List every block entry with the block table's columns." },
    { "verify", CliCommand::Verify, "Check every block's CRC and every block-info record's data CRC." },
    { "export", CliCommand::Export, "Write one block's bytes (only its data when it ends in a record)." },
    { "replace", CliCommand::Replace, "Write a new image in which one block holds the bytes of FILE." },
};

const SubcommandInfo* findSubcommand(const QString& name)
{
    for (const SubcommandInfo& subcommand : subcommands) {
        if (name == QLatin1String(subcommand.name))
            return &subcommand;
    }
    return nullptr;
}

bool takesBlock(CliCommand command)
{
    return command == CliCommand::Export || command == CliCommand::Replace;
}

QString usageLine(CliCommand command, const QString& name)
{
    switch (command) {
    case CliCommand::Export:
        return QStringLiteral("Usage: tessel-cli %1 [--json] [--force] IMAGE (BLOCK | --name NAME) -o OUT")
            .arg(name);
    case CliCommand::Replace:
        return QStringLiteral(
            "Usage: tessel-cli %1 [--json] [--force] [--dry-run] IMAGE (BLOCK | --name NAME) FILE "
            "(-o OUT | --dry-run)")
            .arg(name);
    default:
        return QStringLiteral("Usage: tessel-cli %1 [--json] IMAGE").arg(name);
    }
}

// The parser's own usage line names the program by the path it was started with; ours names the
// subcommand and its argument shape.
QString helpWithUsage(const QString& parserHelp, const QString& usage)
{
    QStringList lines = parserHelp.trimmed().split(QLatin1Char('\n'));
    if (!lines.isEmpty())
        lines.first() = usage;
    return lines.join(QLatin1Char('\n'));
}

QString helpEpilogue(CliCommand command)
{
    QString epilogue
        = QStringLiteral("\n\nExit status: 0 success; 1 refused action%1; 2 bad usage or unreadable input.")
              .arg(command == CliCommand::Verify ? QStringLiteral(" or a block that does not hold")
                                                 : QString());
    if (command == CliCommand::Replace) {
        epilogue += QStringLiteral(
            "\nA refreshed block-info record is stamped with SOURCE_DATE_EPOCH (seconds since "
            "1970-01-01 UTC, written as local time) when it is set, else with the local clock.");
    }
    return epilogue;
}

} // namespace

CommandLine::CommandLine(const QStringList& arguments)
{
    if (arguments.size() < 2) {
        message = QStringLiteral("No command given.\n\n") + generalHelp();
        return;
    }
    const QString& first = arguments.at(1);
    if (first == QLatin1String("-h") || first == QLatin1String("--help") || first == QLatin1String("help")) {
        result = Outcome::Help;
        message = generalHelp();
        return;
    }
    if (first == QLatin1String("--version")) {
        // Answered like help: a text on stdout and exit status 0.
        result = Outcome::Help;
        message = QStringLiteral("tessel-cli " TESSEL_VERSION);
        return;
    }
    parseSubcommand(first, arguments.mid(2));
}

QString CommandLine::generalHelp()
{
    QString help
        = QStringLiteral("Usage: tessel-cli COMMAND [options] IMAGE ...\n"
                         "Inspect a flash image, export a block or write an image with a block replaced.\n\n"
                         "Commands:\n");
    for (const SubcommandInfo& subcommand : subcommands)
        help += QStringLiteral("  %1%2\n")
                    .arg(QString::fromLatin1(subcommand.name).leftJustified(10),
                        QLatin1String(subcommand.summary));
    help += QStringLiteral("\nRun 'tessel-cli COMMAND --help' for the arguments and options of a command,\n"
                           "'tessel-cli --version' for the version.\n"
                           "Exit status: 0 success; 1 refused action or failed verification; 2 bad usage or "
                           "unreadable input.");
    return help;
}

void CommandLine::parseSubcommand(const QString& name, const QStringList& rest)
{
    const SubcommandInfo* subcommand = findSubcommand(name);
    if (!subcommand) {
        message = QStringLiteral("Unknown command '%1'.\n\n").arg(name) + generalHelp();
        return;
    }
    parsed.command = subcommand->command;
    parsed.commandName = name;

    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(subcommand->summary));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Write one JSON document to stdout instead of text."));
    const QCommandLineOption nameOption(QStringLiteral("name"),
        QStringLiteral("Name the block by its name (up to its first zero byte) instead of BLOCK."),
        QStringLiteral("NAME"));
    const QCommandLineOption outputOption({ QStringLiteral("o"), QStringLiteral("output") },
        QStringLiteral(
            "The file to write. It must not exist unless --force is given, and it is never the input image."),
        QStringLiteral("OUT"));
    const QCommandLineOption forceOption(
        QStringLiteral("force"), QStringLiteral("Allow -o to replace an existing file."));
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"),
        QStringLiteral("Write nothing; print the variant, the bytes that change, the rewritten fields and "
                       "the moved blocks."));
    parser.addOption(helpOption);
    parser.addOption(jsonOption);

    parser.addPositionalArgument(QStringLiteral("IMAGE"), QStringLiteral("The flash image to read."));
    if (takesBlock(subcommand->command)) {
        parser.addPositionalArgument(QStringLiteral("BLOCK"),
            QStringLiteral(
                "The block's ID as the table shows it: lower-case hex, no prefix (omit with --name)."));
        parser.addOption(nameOption);
        parser.addOption(outputOption);
        parser.addOption(forceOption);
    }
    if (subcommand->command == CliCommand::Replace) {
        parser.addPositionalArgument(
            QStringLiteral("FILE"), QStringLiteral("The replacement: the block's new bytes."));
        parser.addOption(dryRunOption);
    }

    const QString usageHint = QStringLiteral("\nRun 'tessel-cli %1 --help' for usage.").arg(name);
    if (!parser.parse(QStringList { QStringLiteral("tessel-cli") } + rest)) {
        message = parser.errorText() + usageHint;
        return;
    }
    if (parser.isSet(helpOption)) {
        result = Outcome::Help;
        message = helpWithUsage(parser.helpText(), usageLine(subcommand->command, name))
            + helpEpilogue(subcommand->command);
        return;
    }

    parsed.json = parser.isSet(jsonOption);
    QStringList positional = parser.positionalArguments();
    if (takesBlock(subcommand->command)) {
        parsed.byName = parser.isSet(nameOption);
        parsed.blockName = parser.value(nameOption);
        parsed.outputPath = parser.value(outputOption);
        parsed.force = parser.isSet(forceOption);
    }
    if (subcommand->command == CliCommand::Replace)
        parsed.dryRun = parser.isSet(dryRunOption);

    const int wanted = 1 + (takesBlock(subcommand->command) && !parsed.byName ? 1 : 0)
        + (subcommand->command == CliCommand::Replace ? 1 : 0);
    if (positional.size() != wanted) {
        message = QStringLiteral("Expected %1 argument(s), got %2.").arg(wanted).arg(positional.size())
            + usageHint;
        return;
    }
    parsed.imagePath = positional.takeFirst();
    if (takesBlock(subcommand->command) && !parsed.byName)
        parsed.blockId = positional.takeFirst();
    if (subcommand->command == CliCommand::Replace)
        parsed.replacementPath = positional.takeFirst();

    if (parsed.imagePath.isEmpty()) {
        message = QStringLiteral("IMAGE must not be empty.") + usageHint;
        return;
    }
    if (parsed.byName && parsed.blockName.isEmpty()) {
        message = QStringLiteral("--name needs a non-empty NAME.") + usageHint;
        return;
    }
    if (takesBlock(subcommand->command) && parsed.outputPath.isEmpty() && !parsed.dryRun) {
        message = QStringLiteral("-o OUT is required.") + usageHint;
        return;
    }
    result = Outcome::Run;
}
