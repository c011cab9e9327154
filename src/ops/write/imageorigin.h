#pragma once

#include "model/fileidentity.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

class FlashImage;

// Which bytes of an image in memory are still its file's, and where in that file they lie: what a writer
// may have the file system share (or copy within itself) instead of writing them from memory. It starts as
// the whole file and follows every change made to the memory, so that a range it names always holds, in
// memory, the file's bytes at its file position as the file was when it was read.
class ImageOrigin {
public:
    // `length` bytes of memory from `imageStart` that hold the file's bytes from `filePosition`.
    struct Piece {
        qint64 imageStart = 0;
        qint64 length = 0;
        qint64 filePosition = 0;
    };

    // How memory holds the file's bytes: a copy of the program's own, or the file's pages mapped.
    enum class Memory { Copy, Mapping };

    ImageOrigin(const QString& path, const FileIdentity& identity, qint64 size, Memory memory = Memory::Copy);

    // The file `image` was loaded from, all of it, while the image holds that file's bytes as read; null
    // when it does not (bytes given in memory, or changed since).
    static std::shared_ptr<ImageOrigin> of(const FlashImage& image);

    // Memory from `start` was written: those bytes are no longer the file's.
    void changed(qint64 start, qint64 length);
    // Memory was moved (memmove) from `from` to `to`: the bytes there are what the file held at `from`.
    void moved(qint64 from, qint64 to, qint64 length);
    // The memory was cut to its first `length` bytes.
    void truncate(qint64 length);

    const QString& path() const { return filePath; }
    const FileIdentity& identity() const { return fileIdentity; }
    Memory memory() const { return heldAs; }
    // In increasing image order, apart.
    const QVector<Piece>& pieces() const { return filePieces; }

private:
    // The pieces that cover [start, start + length), cut to that range.
    QVector<Piece> within(qint64 start, qint64 length) const;

    QString filePath;
    FileIdentity fileIdentity;
    Memory heldAs;
    QVector<Piece> filePieces;
};
