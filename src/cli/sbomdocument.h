#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

class FlashImage;

// A CycloneDX 1.6 JSON SBOM of an image: the image as the described component (its file name, software
// version and SHA-256), one component a block (name, version and the SHA-256 of its export, its place
// and entry fields as `tessel:` properties). The same image and time give the same bytes: the serial
// number is a name-based UUID of the image's SHA-256 and the keys are written in one order.
namespace SbomDocument {

QByteArray of(const FlashImage& image, const QString& imagePath, const QDateTime& timestamp);

// The time the SBOM is stamped with: SOURCE_DATE_EPOCH when it is set, for reproducible builds, else now.
// Null with `error` set when SOURCE_DATE_EPOCH is not a number of seconds.
QDateTime timestamp(QString* error);

} // namespace SbomDocument
