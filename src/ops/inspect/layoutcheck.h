#pragma once

#include "ops/base/imageview.h"

#include "model/dmhrecord.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <optional>

// A fact about the image as a whole that its flash size contradicts. Every output takes the first
// flashSize bytes (the last DMH's flash size), so each of these means an output that loses part of the
// image, or an image that was cut short.
struct LayoutProblem {
    enum class Kind {
        ImageShorterThanFlash, // the file ends before flashSize bytes
        FlashSizesDisagree, // a DMH states another flash size than the one in use
        DmhBeyondFlash, // what the image holds of a DMH's header or claimed entry table lies past it
        BlockBeyondFlash, // what the image holds of a listed block lies past it
    };

    Kind kind = Kind::ImageShorterThanFlash;
    int dmhIndex = -1;
    int entryIndex = -1;
    // The image's size (ImageShorterThanFlash); the DMH's position and the flash size it states
    // (FlashSizesDisagree); the DMH's position and the length of its header and claimed table
    // (DmhBeyondFlash); the block's first image position and its size (BlockBeyondFlash).
    qint64 position = 0;
    qint64 length = 0;
};

// The problems: a short image first, then every DMH stating another flash size, then every cut, each in
// catalogue order; none for an image whose DMHs, tables and blocks lie inside the flash size, which the
// image holds whole.
QVector<LayoutProblem> checkLayout(const ImageView& image, const QVector<DmhRecord>& catalogue);

// One sentence about the problem, naming the DMH or block and the numbers involved.
QString describeLayoutProblem(
    const LayoutProblem& problem, const ImageView& image, const QVector<DmhRecord>& catalogue);

// The first DMH header, entry table or listed block of which the output, the first flashSize bytes of
// the image, would keep less than the image holds: every replacement is refused while there is one.
std::optional<LayoutProblem> firstOutputCut(const ImageView& image, const QVector<DmhRecord>& catalogue);
