#include "imagedigests.h"
#include "sbomdocument.h"

#include "commandsupport.h"

#include "model/flashimage.h"
#include "model/softwareversion.h"
#include "ops/export/blockhashes.h"
#include "ops/inspect/blockfacts.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>

namespace {

// The RFC 4122 URL namespace: the serial number is the v5 UUID of the image's hash as a URN in it.
const QUuid urlNamespace(QStringLiteral("6ba7b811-9dad-11d1-80b4-00c04fd430c8"));

QString upToZero(const QString& text)
{
    const int zero = text.indexOf(QChar(0));
    return zero < 0 ? text : text.left(zero);
}

QJsonObject property(const QString& name, const QString& value)
{
    return QJsonObject { { QStringLiteral("name"), QStringLiteral("tessel:") + name },
        { QStringLiteral("value"), value } };
}

QJsonArray sha256Hashes(const QByteArray& sha256)
{
    return QJsonArray { QJsonObject {
        { QStringLiteral("alg"), QStringLiteral("SHA-256") },
        { QStringLiteral("content"), QString::fromLatin1(sha256) },
    } };
}

QString blockReference(const BlockFacts& block)
{
    return QStringLiteral("block-%1-%2").arg(block.dmhIndex).arg(block.entryIndex);
}

QJsonObject blockComponent(const BlockFacts& block, const QByteArray& sha256)
{
    const BlockEntry& entry = block.entry;
    QJsonArray properties { property(QStringLiteral("dmhIndex"), QString::number(block.dmhIndex)),
        property(QStringLiteral("entryIndex"), QString::number(block.entryIndex)),
        property(QStringLiteral("id"), entry.idText()),
        property(QStringLiteral("offset"), CommandSupport::hexText(entry.offset)),
        property(QStringLiteral("size"), QString::number(entry.size)),
        property(QStringLiteral("crc"), entry.crcCellText()),
        property(QStringLiteral("time"), entry.timeCellText()) };
    if (block.hasRecord)
        properties.append(property(QStringLiteral("dataLength"), QString::number(block.dataLength)));
    QJsonObject component {
        { QStringLiteral("type"), QStringLiteral("firmware") },
        { QStringLiteral("bom-ref"), blockReference(block) },
        { QStringLiteral("name"), upToZero(entry.nameCellText()) },
        { QStringLiteral("version"), upToZero(entry.versionCellText()) },
        { QStringLiteral("properties"), properties },
    };
    // A block that export refuses has no exported bytes to hash.
    if (!sha256.isNull())
        component.insert(QStringLiteral("hashes"), sha256Hashes(sha256));
    return component;
}

} // namespace

namespace SbomDocument {

QByteArray of(const FlashImage& image, const QString& imagePath, const QDateTime& timestamp)
{
    const ImageView view = ImageView::of(image);
    const BlockHashes hashes = ImageDigests::blockHashes(image);
    QJsonArray components;
    QJsonArray blockReferences;
    for (const BlockFacts& block : BlockFacts::collect(view, image.dmhRecords())) {
        components.append(blockComponent(block, hashes.of(block)));
        blockReferences.append(blockReference(block));
    }
    QJsonObject imageComponent {
        { QStringLiteral("type"), QStringLiteral("firmware") },
        { QStringLiteral("bom-ref"), QStringLiteral("image") },
        { QStringLiteral("name"), QFileInfo(imagePath).fileName() },
        { QStringLiteral("hashes"), sha256Hashes(hashes.image()) },
        { QStringLiteral("properties"),
            QJsonArray { property(QStringLiteral("imageSize"), QString::number(image.imageSize())),
                property(QStringLiteral("flashSize"), QString::number(image.flashSize())) } },
    };
    const QString version = SoftwareVersion::displayText(image.softwareVersion());
    if (!version.isEmpty())
        imageComponent.insert(QStringLiteral("version"), version);
    const QJsonObject tool { { QStringLiteral("type"), QStringLiteral("application") },
        { QStringLiteral("name"), QStringLiteral("tessel-cli") },
        { QStringLiteral("version"), QStringLiteral(TESSEL_VERSION) } };
    const QUuid serial = QUuid::createUuidV5(
        urlNamespace, QStringLiteral("urn:sha256:") + QString::fromLatin1(hashes.image()));
    const QJsonObject bom {
        { QStringLiteral("$schema"), QStringLiteral("http://cyclonedx.org/schema/bom-1.6.schema.json") },
        { QStringLiteral("bomFormat"), QStringLiteral("CycloneDX") },
        { QStringLiteral("specVersion"), QStringLiteral("1.6") },
        { QStringLiteral("serialNumber"),
            QStringLiteral("urn:uuid:") + serial.toString(QUuid::WithoutBraces) },
        { QStringLiteral("version"), 1 },
        { QStringLiteral("metadata"),
            QJsonObject {
                { QStringLiteral("timestamp"), timestamp.toUTC().toString(Qt::ISODate) },
                { QStringLiteral("tools"),
                    QJsonObject { { QStringLiteral("components"), QJsonArray { tool } } } },
                { QStringLiteral("component"), imageComponent },
            } },
        { QStringLiteral("components"), components },
        { QStringLiteral("dependencies"),
            QJsonArray { QJsonObject { { QStringLiteral("ref"), QStringLiteral("image") },
                { QStringLiteral("dependsOn"), blockReferences } } } },
    };
    return QJsonDocument(bom).toJson(QJsonDocument::Indented);
}

QDateTime timestamp(QString* error)
{
    const QByteArray epoch = qgetenv("SOURCE_DATE_EPOCH");
    if (epoch.isEmpty())
        return QDateTime::currentDateTimeUtc();
    // Digits only: a sign, blanks or a trailing newline would be a build script's slip, not a time.
    const bool digitsOnly
        = std::all_of(epoch.cbegin(), epoch.cend(), [](char c) { return c >= '0' && c <= '9'; });
    bool valid = false;
    const qint64 seconds = epoch.toLongLong(&valid);
    // Up to 9999-12-31 23:59:59 UTC: the timestamp's year has four digits.
    if (!digitsOnly || !valid || seconds > 253402300799) {
        *error = QStringLiteral("SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC, "
                                "up to 253402300799.");
        return QDateTime();
    }
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

} // namespace SbomDocument
