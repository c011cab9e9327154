#pragma once

#include "model/dmhrecord.h"
#include "ops/export/blockhashes.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// What a manifest says of one block: the facts `verify --expect` compares, whatever document held them.
struct ManifestBlock {
    int dmhIndex = 0;
    int id = 0;
    // Name and version up to their first zero byte: the text every kind of manifest can carry.
    QString name;
    QString version;
    qint64 size = 0;
    // The bytes export writes: the data length of a block with a record, else its size.
    qint64 exportedLength = 0;
    // Lowercase hex; null when the block cannot be exported.
    QByteArray sha256;
};

// A list of the blocks of an image as a manifest gives it, in table order, and the image's SHA-256 when
// the manifest has one.
struct Manifest {
    // "list", "verify", "index" (export --all's index.json) or "sbom" (CycloneDX).
    QString kind;
    QVector<ManifestBlock> blocks;
    QByteArray imageSha256;

    // The manifest of the image itself: what a manifest made from it now would say.
    static Manifest of(
        const ImageView& image, const QVector<DmhRecord>& catalogue, const BlockHashes& hashes);
};

// A manifest read from a document's bytes, or why the bytes are not one: not JSON (with the offset of the
// fault), or JSON that is none of the documents a manifest can be (with the place of the fault, as a JSON
// pointer such as /blocks/3/sha256).
struct ManifestRead {
    std::optional<Manifest> manifest;
    QString error;

    static ManifestRead parse(const QByteArray& bytes);
};
