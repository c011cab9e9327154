#pragma once

#include "imageview.h"

#include "model/dmhrecord.h"

#include <QVector>
#include <QtGlobal>

// A fact about the image as a whole that its flash size contradicts. Every output takes the first
// flashSize bytes (the last DMH's flash size), so each of these means an output that loses part of the
// image, or an image that was cut short.
struct LayoutProblem {
    enum class Kind {
        ImageShorterThanFlash, // the file ends before flashSize bytes
        FlashSizesDisagree, // a DMH states another flash size than the one in use
        DmhBeyondFlash, // a DMH's header or entry table reaches past the flash size
        BlockBeyondFlash, // bytes of a listed block that the image holds lie past the flash size
    };

    Kind kind = Kind::ImageShorterThanFlash;
    int dmhIndex = -1;
    int entryIndex = -1;
    // The DMH's position and the flash size it states (FlashSizesDisagree, DmhBeyondFlash), or the
    // block's first image position and its size (BlockBeyondFlash).
    qint64 position = 0;
    qint64 length = 0;
};

// The problems in catalogue order; none for an image whose DMHs, tables and blocks lie inside the
// flash size, which the image holds whole.
QVector<LayoutProblem> checkLayout(const ImageView& image, const QVector<DmhRecord>& catalogue);
