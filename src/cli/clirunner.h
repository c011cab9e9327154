#pragma once

#include <QStringList>

class Console;

// One run of tessel-cli: `arguments` as the program got them, its path first. Parses them, runs the
// command, prints text or JSON to `console` and returns the exit status.
int runCli(const QStringList& arguments, Console& console);
