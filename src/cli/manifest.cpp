#include "manifest.h"

#include "ops/inspect/blockfacts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <climits>

namespace {

QString upToZero(const QString& text)
{
    const int zero = text.indexOf(QChar(0));
    return zero < 0 ? text : text.left(zero);
}

// The first fault found while reading a document; reading goes on quietly after it, so that each field
// read needs no check of its own.
class DocumentReader {
public:
    QString fault;

    void fail(const QString& pointer, const QString& why)
    {
        if (fault.isEmpty())
            fault = QStringLiteral("%1 at %2").arg(why, pointer.isEmpty() ? QStringLiteral("/") : pointer);
    }

    QJsonValue field(const QJsonObject& object, const QString& pointer, const QString& name)
    {
        if (!object.contains(name))
            fail(pointer + QLatin1Char('/') + name, QStringLiteral("missing field"));
        return object.value(name);
    }

    QJsonObject object(const QJsonValue& value, const QString& pointer)
    {
        if (!value.isObject())
            fail(pointer, QStringLiteral("not an object"));
        return value.toObject();
    }

    QJsonArray array(const QJsonValue& value, const QString& pointer)
    {
        if (!value.isArray())
            fail(pointer, QStringLiteral("not an array"));
        return value.toArray();
    }

    QString text(const QJsonObject& object, const QString& pointer, const QString& name)
    {
        const QJsonValue value = field(object, pointer, name);
        if (!value.isString())
            fail(pointer + QLatin1Char('/') + name, QStringLiteral("not a string"));
        return value.toString();
    }

    // A whole number from `lowest` up to 2^53 (what a JSON number holds exactly).
    qint64 number(const QJsonValue& value, const QString& pointer, qint64 lowest = 0)
    {
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number < double(lowest) || number > 9007199254740992.0
            || number != double(qint64(number)))
            fail(pointer, QStringLiteral("not a whole number"));
        return value.isDouble() ? qint64(number) : 0;
    }

    qint64 number(const QJsonObject& object, const QString& pointer, const QString& name)
    {
        return number(field(object, pointer, name), pointer + QLatin1Char('/') + name);
    }

    // A whole number from 0 to `highest`: a field the block's place is compared by, which must not be cut
    // to fit (a DMH index 2^32 more, or an ID 256 more, would match another block).
    int bounded(const QJsonObject& object, const QString& pointer, const QString& name, int highest)
    {
        const qint64 value = number(object, pointer, name);
        if (value > highest)
            fail(pointer + QLatin1Char('/') + name, QStringLiteral("more than %1").arg(highest));
        return int(qMin<qint64>(value, highest));
    }

    // A SHA-256 in hex, or null where null is allowed.
    QByteArray sha256(const QJsonValue& value, const QString& pointer, bool nullable)
    {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
        if (nullable && value.isNull())
            return QByteArray();
        if (!value.isString() || !hex.match(value.toString()).hasMatch()) {
            fail(pointer, QStringLiteral("not a SHA-256 in hex"));
            return QByteArray();
        }
        return value.toString().toLower().toLatin1();
    }
};

// A list, verify or index.json document: one row a block, with the fields the command writes.
Manifest readListing(const QJsonObject& document, const QString& command, DocumentReader& reader)
{
    Manifest manifest;
    manifest.kind = command;
    const QJsonArray rows = reader.array(
        reader.field(document, QString(), QStringLiteral("blocks")), QStringLiteral("/blocks"));
    if (document.contains(QStringLiteral("sha256")))
        manifest.imageSha256
            = reader.sha256(document.value(QStringLiteral("sha256")), QStringLiteral("/sha256"), false);
    for (int at = 0; at < rows.size(); ++at) {
        const QString pointer = QStringLiteral("/blocks/%1").arg(at);
        const QJsonObject row = reader.object(rows[at], pointer);
        ManifestBlock block;
        block.dmhIndex = reader.bounded(row, pointer, QStringLiteral("dmhIndex"), INT_MAX);
        block.id = reader.bounded(row, pointer, QStringLiteral("id"), 255);
        block.name = upToZero(reader.text(row, pointer, QStringLiteral("name")));
        block.version = upToZero(reader.text(row, pointer, QStringLiteral("version")));
        block.size = reader.number(row, pointer, QStringLiteral("size"));
        block.exportedLength = block.size;
        if (command == QLatin1String("verify")) {
            const QJsonValue record = reader.field(row, pointer, QStringLiteral("record"));
            if (!record.isNull())
                block.exportedLength
                    = reader.number(reader.object(record, pointer + QStringLiteral("/record")),
                        pointer + QStringLiteral("/record"), QStringLiteral("dataLength"));
        } else if (reader.field(row, pointer, QStringLiteral("hasBlockInfo")).toBool()) {
            block.exportedLength = reader.number(row, pointer, QStringLiteral("dataLength"));
        }
        block.sha256 = reader.sha256(
            reader.field(row, pointer, QStringLiteral("sha256")), pointer + QStringLiteral("/sha256"), true);
        if (row.contains(QStringLiteral("file")))
            manifest.kind = QStringLiteral("index");
        manifest.blocks.append(block);
    }
    return manifest;
}

QByteArray componentSha256(const QJsonObject& component, const QString& pointer, DocumentReader& reader)
{
    const QJsonArray hashes = component.value(QStringLiteral("hashes")).toArray();
    for (int at = 0; at < hashes.size(); ++at) {
        const QJsonObject hash = hashes[at].toObject();
        if (hash.value(QStringLiteral("alg")).toString() == QLatin1String("SHA-256"))
            return reader.sha256(hash.value(QStringLiteral("content")),
                QStringLiteral("%1/hashes/%2/content").arg(pointer).arg(at), false);
    }
    return QByteArray();
}

// A CycloneDX SBOM as `sbom` writes it: the image as the metadata's component, a component a block with
// its place in the table among the `tessel:` properties.
Manifest readSbom(const QJsonObject& document, DocumentReader& reader)
{
    Manifest manifest;
    manifest.kind = QStringLiteral("sbom");
    const QJsonObject image
        = document.value(QStringLiteral("metadata")).toObject().value(QStringLiteral("component")).toObject();
    manifest.imageSha256 = componentSha256(image, QStringLiteral("/metadata/component"), reader);
    const QJsonArray components = reader.array(
        reader.field(document, QString(), QStringLiteral("components")), QStringLiteral("/components"));
    for (int at = 0; at < components.size(); ++at) {
        const QString pointer = QStringLiteral("/components/%1").arg(at);
        const QJsonObject component = reader.object(components[at], pointer);
        QHash<QString, QString> properties;
        for (const QJsonValue& property : component.value(QStringLiteral("properties")).toArray())
            properties.insert(property.toObject().value(QStringLiteral("name")).toString(),
                property.toObject().value(QStringLiteral("value")).toString());
        const auto property = [&](const char* name, int base, qint64 highest = LLONG_MAX) {
            const QString key = QStringLiteral("tessel:") + QLatin1String(name);
            bool valid = false;
            const qint64 value = properties.value(key).toLongLong(&valid, base);
            if (!valid || value < 0 || value > highest)
                reader.fail(
                    pointer + QStringLiteral("/properties"), QStringLiteral("no valid property %1").arg(key));
            return value;
        };
        ManifestBlock block;
        block.dmhIndex = int(property("dmhIndex", 10, INT_MAX));
        block.id = int(property("id", 16, 255));
        block.name = reader.text(component, pointer, QStringLiteral("name"));
        block.version = component.value(QStringLiteral("version")).toString();
        block.size = property("size", 10);
        block.exportedLength = properties.contains(QStringLiteral("tessel:dataLength"))
            ? property("dataLength", 10)
            : block.size;
        block.sha256 = componentSha256(component, pointer, reader);
        manifest.blocks.append(block);
    }
    return manifest;
}

} // namespace

Manifest Manifest::of(const ImageView& image, const QVector<DmhRecord>& catalogue, const BlockHashes& hashes)
{
    Manifest manifest;
    manifest.imageSha256 = hashes.image();
    for (const BlockFacts& facts : BlockFacts::collect(image, catalogue)) {
        ManifestBlock block;
        block.dmhIndex = facts.dmhIndex;
        block.id = facts.entry.id;
        block.name = upToZero(facts.entry.nameCellText());
        block.version = upToZero(facts.entry.versionCellText());
        block.size = facts.entry.size;
        block.exportedLength = facts.hasRecord ? facts.dataLength : facts.entry.size;
        block.sha256 = hashes.of(facts);
        manifest.blocks.append(block);
    }
    return manifest;
}

ManifestRead ManifestRead::parse(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return { std::nullopt,
            QStringLiteral("not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset) };
    if (!document.isObject())
        return { std::nullopt, QStringLiteral("not a JSON object at /") };
    const QJsonObject object = document.object();
    DocumentReader reader;
    Manifest manifest;
    const QString command = object.value(QStringLiteral("command")).toString();
    if (object.value(QStringLiteral("bomFormat")).toString() == QLatin1String("CycloneDX"))
        manifest = readSbom(object, reader);
    else if (command == QLatin1String("list") || command == QLatin1String("verify"))
        manifest = readListing(object, command, reader);
    else
        reader.fail(QString(),
            QStringLiteral(
                "neither a list or verify document (\"command\") nor a CycloneDX SBOM (\"bomFormat\")"));
    if (!reader.fault.isEmpty())
        return { std::nullopt, reader.fault };
    return { manifest, QString() };
}
