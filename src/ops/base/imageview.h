#pragma once

#include "model/flashimage.h"

#include <QtGlobal>

// The bytes of the image in memory and the flash size an output takes from them: what the planning
// functions read. Every position they compute is checked against `size` before it is used.
struct ImageView {
    const uchar* data = nullptr;
    qint64 size = 0;
    quint32 flashSize = 0;

    static ImageView of(const FlashImage& image)
    {
        return { image.imageData(), image.imageSize(), image.flashSize() };
    }
};
