#pragma once

#include <QString>

struct Command;

// The texts of --help and --version.
namespace CommandHelp {

QString general();
QString forCommand(const Command& command);
QString version();

} // namespace CommandHelp
