#include "commandhelp.h"

#include "command.h"
#include "commandtable.h"
#include "commonoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

namespace CommandHelp {

QString general()
{
    QString help
        = QStringLiteral("Usage: tessel-cli COMMAND [options] IMAGE ...\n"
                         "Inspect a flash image, export a block or write an image with a block replaced.\n\n"
                         "Commands:\n");
    for (const Command& command : commandTable())
        help += QStringLiteral("  %1%2\n").arg(command.name.leftJustified(10), command.summary);
    help += QStringLiteral("\nRun 'tessel-cli COMMAND --help' for the arguments and options of a command.\n"
                           "Run 'tessel-cli --version' for the version.\n"
                           "Exit status: 0 success; 1 refused action or failed verification; 2 bad usage or "
                           "unreadable input.");
    return help;
}

QString forCommand(const Command& command)
{
    // Qt's parser only lays the help out here: its columns and line breaks are those users know.
    QCommandLineParser layout;
    layout.setApplicationDescription(command.summary);
    for (const OptionSpec& option : CommonOptions::all() + command.options) {
        QStringList names;
        if (!option.shortName.isNull())
            names << QString(option.shortName);
        names << option.longName;
        layout.addOption(QCommandLineOption(names, option.description, option.valueName));
    }
    for (const ArgumentHelp& argument : command.arguments)
        layout.addPositionalArgument(argument.name, argument.description);

    QStringList lines = layout.helpText().trimmed().split(QLatin1Char('\n'));
    lines.first() = QStringLiteral("Usage: tessel-cli %1 %2").arg(command.name, command.synopsis);
    return lines.join(QLatin1Char('\n')) + QStringLiteral("\n\n") + command.helpNotes;
}

QString version()
{
    return QStringLiteral("tessel-cli %1").arg(QStringLiteral(TESSEL_VERSION));
}

} // namespace CommandHelp
