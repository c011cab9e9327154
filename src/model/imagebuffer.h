#pragma once

#include <QtGlobal>

// The owner of one image's bytes: a raw, zero-initialised buffer with a 64-bit length. Qt's containers
// stop at 2 GiB, and a fresh anonymous mapping is zero already, so no fill pass is paid for. Large buffers
// ask for transparent huge pages, which makes the first touch of fresh memory several times cheaper.
class ImageBuffer {
public:
    ImageBuffer() = default;
    ~ImageBuffer();
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;
    ImageBuffer(ImageBuffer&& other) noexcept;
    ImageBuffer& operator=(ImageBuffer&& other) noexcept;

    // Replaces the buffer with `size` zero bytes. False (and empty) when the memory cannot be had.
    [[nodiscard]] bool allocate(qint64 size);
    // Replaces the buffer with the first `size` bytes of the open file `descriptor`, mapped privately:
    // reads see the file's pages as the page cache holds them, with no copy and no fresh memory; writes
    // stay in this process. The file must not shrink while it is mapped (reading past its new end raises
    // SIGBUS). False (and empty) when the file cannot be mapped.
    [[nodiscard]] bool mapFile(int descriptor, qint64 size);
    void release();
    // Keeps only the first `size` bytes (no more than it holds); the memory stays as it is.
    void truncate(qint64 size);
    // How many bytes the memory it holds has room for, and taking that memory again for `size` bytes of
    // whatever it holds (false when there is not room). Memory touched once is much cheaper to touch again
    // than fresh memory, which the system must clear first.
    qint64 capacity() const;
    [[nodiscard]] bool reuse(qint64 size);

    uchar* data() { return bytes; }
    const uchar* data() const { return bytes; }
    qint64 size() const { return length; }
    bool isNull() const { return bytes == nullptr; }
    // Whether the bytes are a file's mapping (mapFile) rather than memory of the buffer's own.
    bool mapsAFile() const { return fileMapped; }

private:
    uchar* bytes = nullptr;
    qint64 length = 0;
    void* mapping = nullptr;
    qint64 mappingLength = 0;
    bool fileMapped = false;
};
