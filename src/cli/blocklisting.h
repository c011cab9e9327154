#pragma once

#include "ops/export/blockhashes.h"
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
// One element of `list --json`'s `blocks`, with the block's `cells` as made above, and its `sha256` when
// `hashes` are given.
QJsonObject json(const BlockFacts& block, const QStringList& cells, const BlockHashes* hashes = nullptr);
// A `sha256` field's value: the lowercase hex digest, or null for a block that cannot be exported.
QJsonValue hashJson(const QByteArray& sha256);
// The text a table shows for it: the digest, or "-".
QString hashText(const QByteArray& sha256);

} // namespace BlockListing
