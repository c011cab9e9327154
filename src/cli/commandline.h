#pragma once

#include <QString>
#include <QStringList>

enum class CliCommand { Info, List, Verify, Export, Replace };

// Exit statuses of tessel-cli.
enum ExitStatus : int {
    exitSuccess = 0,
    // A refused action or a verification that found something that does not hold.
    exitRefused = 1,
    // Bad usage, or an input that cannot be read (an image without a DMH included).
    exitBadInput = 2,
};

struct CliOptions {
    CliCommand command = CliCommand::Info;
    QString commandName;
    QString imagePath;
    // Exactly one of the two names the block: its ID text as the table shows it, or --name.
    QString blockId;
    QString blockName;
    bool byName = false;
    QString replacementPath;
    QString outputPath;
    bool force = false;
    bool dryRun = false;
    bool json = false;
};

// The arguments of one run, read with a parser per subcommand so that each has its own --help.
class CommandLine {
public:
    enum class Outcome { Run, Help, UsageError };

    // `arguments` as QCoreApplication::arguments() gives them, the program path first.
    explicit CommandLine(const QStringList& arguments);

    Outcome outcome() const { return result; }
    const CliOptions& options() const { return parsed; }
    // The help for Help, the error followed by a hint for UsageError.
    const QString& text() const { return message; }

    static QString generalHelp();

private:
    void parseSubcommand(const QString& name, const QStringList& rest);

    Outcome result = Outcome::UsageError;
    CliOptions parsed;
    QString message;
};
