#pragma once

#include "command.h"

#include "model/blockentry.h"
#include "ops/record/stamptime.h"
#include "ops/inspect/imagediff.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>

class FlashImage;
struct BlockSelection;
struct Outcome;

// Pieces the commands share: number texts, the JSON that names a block, argument counts, what a block
// selection or a failed action puts into a result, and the row of a command that reads one image.
namespace CommandSupport {

// Positions, offsets and CRCs as the block table writes them: lower-case hex without prefix.
QString hexText(quint64 value);
// A position in running text: "0x1f000".
QString prefixedHex(qint64 value);

QJsonValue optionalNumber(bool present, double value);
QJsonValue optionalText(bool present, const QString& text);

// The image facts info prints (diff prints them for each side).
QJsonObject imageSummaryJson(const ImageSummary& summary);
// A DMH's header facts, as info lists them (diff for each side).
QJsonObject dmhJson(const DmhSide& dmh);

// The fields that name a block in every listing.
QJsonObject blockIdentity(int dmhIndex, int entryIndex, const BlockEntry& entry);
// A time stamp as ISO 8601 ("2025-11-03T09:12:44"), without a zone: records and entries hold the local
// time of the machine that wrote them. Null when the fields make no calendar date and time of day.
QJsonValue isoTime(int year, int month, int day, int hour, int minute, int second);
// The entry's version up to its first zero byte, as nameText is its name.
QString versionText(const BlockEntry& entry);
// A CRC as every document gives it: {stored, storedText}; a command that computes it adds its own fields.
QJsonObject storedCrcJson(quint32 stored, const QString& storedText);

// Takes what `selection` found into `result`: its warnings, and the block it names ("block") when it
// found one. True when it refused to name a block; then the refusal is in `result` (exit 1).
[[nodiscard]] bool refusedSelection(const BlockSelection& selection, CommandResult& result);
// The explanation of a failed action on `selection`: the operation knows only that nothing was found, the
// selection knows what BLOCK said.
QString failureDetail(const BlockSelection& selection, const Outcome& outcome);
// The exit status of a failed action: a replacement or loaded image that cannot be read is unreadable
// input (2); the rest are refusals (1).
int failureStatus(const Outcome& outcome);

// "Expected N argument(s), got M."
QString argumentCountError(int wanted, int got);

// The shape of info, list and verify: exactly one non-empty IMAGE, no other argument.
PreparedCommand onOneImage(
    const ParsedArguments& arguments, std::function<CommandResult(const FlashImage& image)> run);
// The row of such a command ("[--json] IMAGE"), which reads its image and writes nothing.
Command oneImageCommand(const QString& name, const QString& summary, const QString& helpNotes,
    std::function<CommandResult(const FlashImage& image)> run);
// The same for a command with options of its own, whose run reads them.
using OneImageRun = std::function<CommandResult(const FlashImage& image, const ParsedArguments& arguments)>;
PreparedCommand onOneImage(const ParsedArguments& arguments, OneImageRun run);
Command oneImageCommand(const QString& name, const QString& summary, const QString& helpNotes,
    const QVector<OptionSpec>& options, OneImageRun run);

// The bad usage of a command that writes a new image with a fresh record stamp: -o OUT missing outside a
// dry run, or a malformed SOURCE_DATE_EPOCH (found before any file is looked at). Empty when neither,
// with `stampTime` set.
QString newImageUsageError(const ParsedArguments& arguments, bool dryRun, StampTime& stampTime);

} // namespace CommandSupport
