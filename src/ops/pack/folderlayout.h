#pragma once

#include "ops/base/imageview.h"
#include "ops/base/outcome.h"

#include "model/dmhrecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QVector>
#include <QtGlobal>

#include <optional>

// A run of image positions.
struct ImageRange {
    qint64 start = 0;
    qint64 length = 0;

    qint64 end() const { return start + length; }
};

// A file that holds image bytes no block file gives back: its ranges' bytes one after another.
struct RestFile {
    QByteArray fileName;
    QVector<ImageRange> ranges;
    QByteArray sha256;

    qint64 length() const;
};

// What a folder of block files needs besides them to give back every byte of its image: the image's
// length and SHA-256, and the bytes that are not 0xFF outside every block file (DMH headers and entry
// tables, gaps, a record block's fill and record, blocks that could not be exported). Every DMH header and
// table, and every record (or record signature) at a block's end, is kept here even where a block file
// holds it too, so that a folder whose block file was edited still gives back every DMH and record of the
// image, which decide how an edit is replaced. A mostly-0xFF image
// needs little: runs of 0xFF shorter than a few bytes stay inside a range, longer ones are left out.
struct FolderLayout {
    qint64 imageLength = 0;
    QByteArray imageSha256;
    QVector<RestFile> restFiles;

    // The layout of `image` whose block files hold `blockFileRanges`, with the rest files' hashes. The
    // image's own SHA-256 is left to the caller, who takes it once with the blocks' (BlockHashes).
    static FolderLayout describe(
        const ImageView& image, const QVector<DmhRecord>& catalogue, QVector<ImageRange> blockFileRanges);
    // The bytes of rest file `index`, taken from the image.
    QByteArray restBytes(const ImageView& image, int index) const;

    // index.json's `layout` object, and back; a layout that does not read as one is refused with why.
    QJsonObject json() const;
    [[nodiscard]] static Refusable<FolderLayout> fromJson(const QJsonValue& value);

    // A JSON number that is a whole count from 0 to 2^53, which a double holds exactly.
    static std::optional<qint64> countIn(const QJsonValue& value);
    // 64 lowercase hex digits.
    static bool isSha256(const QString& text);
};
