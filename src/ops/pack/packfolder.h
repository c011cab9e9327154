#pragma once

#include "ops/base/imageview.h"
#include "ops/base/outcome.h"
#include "ops/pack/folderlayout.h"
#include "ops/record/backgroundsha256.h"
#include "ops/write/outputplan.h"

#include "model/dmhrecord.h"
#include "model/imagebuffer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

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
// table and every record are there still); a replacement rewrites all of them.
struct PackedImage {
    OutputPlan plan;
    std::shared_ptr<ImageBuffer> blank;
    QVector<int> edited;
    // The check of an untouched folder's image against index.json's imageSha256 (none when the index has
    // none or a block file was edited). It reads the files, not their mappings, so that a file cut short
    // meanwhile ends in a mismatch rather than a fault.
    std::shared_ptr<BackgroundSha256> imageCheck;
    QByteArray expectedSha256;
    QString folder;

    // The image in fresh memory, for the replacements; null when the memory cannot be had.
    std::unique_ptr<ImageBuffer> inMemory() const;
    // Waits for the image check; the refusal when the image does not match the index.
    std::optional<Outcome> confirm() const;
};

// Whether the index puts each block file where the image laid out from the folder puts its entry's
// exported bytes, and names a file for each entry that export --all would write one for. With edits it is
// all that stands between a changed index.json and a wrong image: imageSha256 cannot be checked then, as
// the edited blocks' old bytes are gone. The refusal names the first row that disagrees.
[[nodiscard]] Outcome checkBlockPlaces(const QString& folder, const PackIndex& index, const ImageView& image,
    const QVector<DmhRecord>& catalogue);

// When readPackedImage checks an untouched folder's image against index.json's imageSha256: before it
// returns, or beside the write of a file that is put in place only once PackedImage::confirm() agrees (a
// stream cannot take back what it sent). InsteadOfFileHashes takes every block file of its exported
// length as it was exported without hashing the files, and leaves the proof to the check beside the
// write: an image that matches imageSha256 holds every file's bytes as exported. An index without an
// imageSha256 has the files hashed as BesideTheWrite does.
enum class ImageCheck { BeforeReturning, BesideTheWrite, InsteadOfFileHashes };

// Whether the folder looks as export --all left it: every file the index lists has its exported length
// and was last written no later than index.json. Only a guess that spares hashing the files when they
// are as exported (a file edited and then given an old time looks untouched); the image check decides.
bool looksUntouched(const QString& folder, const PackIndex& index);

// Reads the folder against its index: refuses a listed file that is missing, a file the index does not
// list, a file that is not a regular one and a rest file that no longer matches its SHA-256 (only block
// files are edited); an unreadable file is unreadable input. Then lays out the image, and when no block
// file was edited checks it against the image's SHA-256 as `check` says. The files are hashed on two
// threads. `reading` is told the path of each file before its mapped bytes are read here.
[[nodiscard]] Refusable<PackedImage> readPackedImage(const QString& folder, const PackIndex& index,
    const std::function<void(const QString& path)>& reading = {},
    ImageCheck check = ImageCheck::BeforeReturning);
