#include "ops/write/imageorigin.h"

#include "model/flashimage.h"

#include <algorithm>
#include <limits>

ImageOrigin::ImageOrigin(const QString& path, const FileIdentity& identity, qint64 size, Memory memory)
    : filePath(path)
    , fileIdentity(identity)
    , heldAs(memory)
{
    if (size > 0)
        filePieces.append({ 0, size, 0 });
}

std::shared_ptr<ImageOrigin> ImageOrigin::of(const FlashImage& image)
{
    if (!image.loadedFile())
        return nullptr;
    // Only the bytes that were read are the file's; a file longer than the image held more.
    return std::make_shared<ImageOrigin>(image.loadedPath(), *image.loadedFile(), image.imageSize(),
        image.mapsItsFile() ? Memory::Mapping : Memory::Copy);
}

QVector<ImageOrigin::Piece> ImageOrigin::within(qint64 start, qint64 length) const
{
    QVector<Piece> cut;
    const qint64 end = start + length;
    for (const Piece& piece : filePieces) {
        const qint64 from = std::max(start, piece.imageStart);
        const qint64 to = std::min(end, piece.imageStart + piece.length);
        if (from < to)
            cut.append({ from, to - from, piece.filePosition + (from - piece.imageStart) });
    }
    return cut;
}

void ImageOrigin::changed(qint64 start, qint64 length)
{
    if (length <= 0)
        return;
    QVector<Piece> kept = within(0, start);
    kept += within(start + length, std::numeric_limits<qint64>::max() - (start + length));
    filePieces = kept;
}

void ImageOrigin::moved(qint64 from, qint64 to, qint64 length)
{
    if (length <= 0)
        return;
    QVector<Piece> arrived = within(from, length);
    for (Piece& piece : arrived)
        piece.imageStart += to - from;
    changed(to, length);
    filePieces += arrived;
    std::sort(filePieces.begin(), filePieces.end(),
        [](const Piece& left, const Piece& right) { return left.imageStart < right.imageStart; });
}

void ImageOrigin::truncate(qint64 length)
{
    filePieces = within(0, std::max<qint64>(0, length));
}
