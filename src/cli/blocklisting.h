#pragma once

#include "ops/blockfacts.h"

#include <QJsonObject>
#include <QStringList>

// How `list` describes a block, shared with the index that `export --all` writes beside the blocks.
namespace BlockListing {

// The block table's six texts: ID, Size(Bytes), CRC, Name, Version, Time(Y/M/D/H/M/S).
QStringList cells(const BlockEntry& entry);
// One element of `list --json`'s `blocks`.
QJsonObject json(const BlockFacts& block);

} // namespace BlockListing
