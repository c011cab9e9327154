#pragma once

#include <QByteArray>
#include <QString>

// The image's software version: the text its "ssdata" block begins with, which ends at the first zero
// byte. The image keeps it as bytes, so that two images compare byte for byte; the window's "Software
// Version:" label and the command line show it decoded.
namespace SoftwareVersion {

// The length of the text among the `available` bytes at `bytes`: up to the first zero, or all of them.
inline int textLength(const char* bytes, int available)
{
    return int(qstrnlen(bytes, uint(available)));
}

// The text of `version` as it is shown, decoded as UTF-8.
inline QString displayText(const QByteArray& version)
{
    return QString::fromUtf8(version.constData(), textLength(version.constData(), version.size()));
}

} // namespace SoftwareVersion
