#pragma once

#include "command.h"

#include <QString>
#include <QVector>

// Every command of tessel-cli, in the order the general help lists them.
const QVector<Command>& commandTable();
// The command of that name, or null.
const Command* findCommand(const QString& name);
