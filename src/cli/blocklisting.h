#pragma once

#include "ops/inspect/blockfacts.h"

#include <QJsonObject>
#include <QStringList>

// How `list` describes a block, shared with the index that `export --all` writes beside the blocks and
// with `diff`'s rows.
namespace BlockListing {

// The texts of the block table's columns (BlockColumns), as JSON `cells` carries them.
QStringList cells(const BlockEntry& entry);
// What an entry says of its block, and the image position it starts at: the fields every block listing
// (list, diff) carries besides the block's identity.
void addEntryFields(QJsonObject& row, const BlockEntry& entry, qint64 start);
// One element of `list --json`'s `blocks`, with the block's `cells` as made above.
QJsonObject json(const BlockFacts& block, const QStringList& cells);

} // namespace BlockListing
