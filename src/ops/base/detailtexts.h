#pragma once

#include "model/blockentry.h"

#include <QString>
#include <QtGlobal>

// The words the explanations beside a status text are made of, so that every one names a position, a
// block and a range alike: "0x1f000", "block 5 (kernel)", "0x10000 to 0x1ffff".
namespace DetailText {

QString hexPosition(qint64 position);
QString blockTitle(const BlockEntry& entry);
// The same at the start of a sentence: "Block 5 (kernel)".
QString blockTitleFirst(const BlockEntry& entry);
QString rangeText(qint64 start, qint64 length);

} // namespace DetailText
