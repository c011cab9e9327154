#include "jsondocument.h"

#include <QJsonArray>

namespace {

// Bumped only when a field changes meaning or disappears; new fields may be added within a version.
// 2: `crc` of list, diff and index.json is an object, as verify's is; index.json's `image` is the file's
// name, not the path as typed.
constexpr int jsonSchemaVersion = 2;

} // namespace

namespace JsonDocument {

QJsonObject of(const QString& commandName, const QString& imagePath, const CommandResult& result)
{
    QJsonObject document = result.details;
    document.insert(QStringLiteral("schemaVersion"), jsonSchemaVersion);
    document.insert(QStringLiteral("command"), commandName);
    document.insert(QStringLiteral("image"), imagePath);
    document.insert(QStringLiteral("success"), result.succeeded());
    document.insert(QStringLiteral("exitStatus"), result.exitStatus);
    document.insert(QStringLiteral("message"), result.message);
    if (!result.detail.isEmpty())
        document.insert(QStringLiteral("detail"), result.detail);
    if (!result.warnings.isEmpty())
        document.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(result.warnings));
    return document;
}

} // namespace JsonDocument
