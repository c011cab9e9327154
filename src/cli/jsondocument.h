#pragma once

#include "commandresult.h"

#include <QJsonObject>
#include <QString>

// The JSON document of one run: the command's own fields and those every document has.
namespace JsonDocument {

QJsonObject of(const QString& commandName, const QString& imagePath, const CommandResult& result);

} // namespace JsonDocument
