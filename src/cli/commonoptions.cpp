#include "commonoptions.h"

namespace CommonOptions {

OptionSpec help()
{
    return { QStringLiteral("help"), QLatin1Char('h'), QString(), QStringLiteral("Show this help.") };
}

OptionSpec json()
{
    return { QStringLiteral("json"), QChar(), QString(),
        QStringLiteral("Write one JSON document to stdout instead of text.") };
}

OptionSpec quiet()
{
    return { QStringLiteral("quiet"), QLatin1Char('q'), QString(),
        QStringLiteral("Print no success texts and no progress; refusals and failures still go to stderr.") };
}

QVector<OptionSpec> all()
{
    return { help(), json(), quiet() };
}

OptionSpec output(const QString& description)
{
    return { QStringLiteral("output"), QLatin1Char('o'), QStringLiteral("OUT"), description };
}

QString outputDescription()
{
    return QStringLiteral(
        "The file to write. It must not exist unless --force is given, and it is never the input image. "
        "-o - writes to standard output (a pipe or a file, never a terminal).");
}

QString blockDescription()
{
    return QStringLiteral(
        "The block's ID as the table shows it: lower-case hex, no prefix (omit with --name). DMH:ID (for "
        "example 1:5) takes the first entry with the ID in that DMH; name:NAME the block --name NAME "
        "names.");
}

OptionSpec force()
{
    return { QStringLiteral("force"), QChar(), QString(),
        QStringLiteral("Allow -o to replace an existing file.") };
}

OptionSpec updateCrc()
{
    return { QStringLiteral("update-crc"), QChar(), QString(),
        QStringLiteral("Padded variant (a block without a block-info record): write the CRC of the new block "
                       "into its entry, as the other variants do, so that verify holds.") };
}

OptionSpec blockName()
{
    return { QStringLiteral("name"), QChar(), QStringLiteral("NAME"),
        QStringLiteral("Name the block by its name (up to its first zero byte) instead of BLOCK.") };
}

OptionSpec hashes()
{
    return { QStringLiteral("hashes"), QChar(), QString(),
        QStringLiteral("Also show the SHA-256 of each block's export (the bytes export writes) and of the "
                       "whole image.") };
}

QString exitStatusNote(const QString& refusedAlso)
{
    return QStringLiteral("Exit status: 0 success; 1 refused action%1; 2 bad usage or unreadable input.")
        .arg(refusedAlso);
}

} // namespace CommonOptions
