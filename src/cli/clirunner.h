#pragma once

#include <QStringList>

class Console;

// One run of tessel-cli: parses the arguments, runs the subcommand, prints text or JSON and returns the
// exit status.
int runCli(const QStringList& arguments, const Console& console);
