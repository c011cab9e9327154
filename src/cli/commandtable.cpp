#include "commandtable.h"

// Each command is defined in its own file.
Command infoCommand();
Command listCommand();
Command verifyCommand();
Command exportCommand();
Command replaceCommand();
Command diffCommand();
Command sbomCommand();
Command packCommand();

const QVector<Command>& commandTable()
{
    static const QVector<Command> table {
        infoCommand(),
        listCommand(),
        verifyCommand(),
        exportCommand(),
        replaceCommand(),
        packCommand(),
        diffCommand(),
        sbomCommand(),
    };
    return table;
}

const Command* findCommand(const QString& name)
{
    for (const Command& command : commandTable()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}
