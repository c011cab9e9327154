#pragma once

#include "ops/base/outcome.h"
#include "ops/pack/folderlayout.h"
#include "ops/write/outputplan.h"

#include "model/imagebuffer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

// One block file of an unpacked folder, as its index lists it: the entry it was exported from, where its
// bytes lie in the image and their SHA-256.
struct PackedBlock {
    QString fileName;
    int dmhIndex = -1;
    int entryIndex = -1;
    int id = 0;
    qint64 start = 0;
    qint64 length = 0;
    QByteArray sha256;
};

// The index.json of a folder that export --all wrote, read for pack.
struct PackIndex {
    static constexpr char fileName[] = "index.json";

    QVector<PackedBlock> blocks;
    FolderLayout layout;

    // Refuses bytes that are not such an index (not JSON, not export --all's, no layout), with why.
    [[nodiscard]] static Refusable<PackIndex> parse(const QByteArray& bytes);
    // Every file the index lists, itself included.
    QStringList fileNames() const;
};

// The image a folder gives back, as pieces of its files (the files mapped, not copied) and 0xFF: the plan
// covers every byte of the image with patches and takes none from `blank`, an untouched stand-in of the
// image's length that the writer is given as the image. With it, the block files that no longer match
// their SHA-256 (the edits), by their place in the index's `blocks`, in table order. With edits, the
// edited blocks' bytes are not known: no other file holds them, so they are 0xFF (every DMH header and
// table is there still); a replacement rewrites all of them.
struct PackedImage {
    OutputPlan plan;
    std::shared_ptr<ImageBuffer> blank;
    QVector<int> edited;

    // The image in fresh memory, for the replacements; null when the memory cannot be had.
    std::unique_ptr<ImageBuffer> inMemory() const;
};

// Reads the folder against its index: refuses a listed file that is missing, a file the index does not
// list, a file that is not a regular one and a rest file that no longer matches its SHA-256 (only block
// files are edited); an unreadable file is unreadable input. Then lays out the image, and when no block
// file was edited checks it against the image's SHA-256. `reading` is told the path of each file before
// its mapped bytes are read (the SHA-256 of the files and of the image are taken on two threads).
[[nodiscard]] Refusable<PackedImage> readPackedImage(const QString& folder, const PackIndex& index,
    const std::function<void(const QString& path)>& reading = {});
