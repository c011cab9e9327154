#pragma once

#include "command.h"

#include "model/blockentry.h"
#include "ops/imagediff.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>

class FlashImage;

// Pieces the commands share: number texts, the JSON that names a block, argument counts.
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

// "Expected N argument(s), got M."
QString argumentCountError(int wanted, int got);

// The shape of info, list and verify: exactly one non-empty IMAGE, no other argument.
PreparedCommand onOneImage(
    const ParsedArguments& arguments, std::function<CommandResult(const FlashImage& image)> run);

} // namespace CommandSupport
