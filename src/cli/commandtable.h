#pragma once

// Adding a command
//
// 1. Write src/cli/NAMEcommand.cpp with `Command NAMEcommand()`, which fills the command's row: name,
//    summary, synopsis, arguments, its own options (CommonOptions has the shared ones; --json and --help
//    every command takes already), imageCount and `prepare`. The runner parses the arguments against
//    the row, loads the images and turns the command's result into output and an exit status.
// 2. Declare it in commandtable.cpp and put its row into the table where the general help should list
//    it; add the file to tessel-cli-commands in src/cli/CMakeLists.txt.
// 3. Document it where users look, from the row: packaging/man/tessel-cli.1.in (a SYNOPSIS line naming
//    its options, an entry under COMMANDS, each new option under OPTIONS, its JSON fields under JSON
//    OUTPUT), packaging/bash-completion/tessel-cli (its options and argument kinds; an option with a value
//    also where values are skipped) and the README's command-line sections and JSON schema.
//    tst_commanddocs fails until the man page and the completion name what the table holds.
// 4. Test it: a QtTest class of its own in tests/cli that runs it in-process (runCliInProcess) over
//    images from tests/builder, with `_data` rows for its refusals; what only a process shows (exit
//    statuses, stdout against stderr) in tst_cliprocess; a command that writes also in tst_writerseam
//    (every failing system call, inputs that change) and, where the window has the action, in
//    tst_windowandcli; one that reads blocks in tst_hostileimages.
//
// An option added to a row takes steps 3 and 4 alike.

#include "command.h"

#include <QString>
#include <QVector>

// Every command of tessel-cli, in the order the general help lists them.
const QVector<Command>& commandTable();
// The command of that name, or null.
const Command* findCommand(const QString& name);
