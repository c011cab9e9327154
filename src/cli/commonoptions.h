#pragma once

#include "arguments.h"

#include <QVector>

// The options every command takes, and the ones several commands share.
namespace CommonOptions {

OptionSpec help();
OptionSpec json();
OptionSpec quiet();
// help, json and quiet, in the order the help lists them.
QVector<OptionSpec> all();

OptionSpec output(const QString& description);
// What -o OUT means for a command that writes one file.
QString outputDescription();
// What BLOCK means wherever a command takes one.
QString blockDescription();
OptionSpec force();
OptionSpec blockName();
// The padded variant writes the new block's CRC into its entry (replace, pack).
OptionSpec updateCrc();
// --hashes: SHA-256 of each block's export and of the image (info: the image's only).
OptionSpec hashes();

// The exit-status line of a command's help; `refusedAlso` names what else exits 1.
QString exitStatusNote(const QString& refusedAlso = QString());

} // namespace CommonOptions
