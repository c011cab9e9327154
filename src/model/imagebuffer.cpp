#include "imagebuffer.h"

#include <cstdlib>
#include <limits>
#include <utility>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace {
constexpr qint64 hugePageSize = qint64(2) << 20;
} // namespace

ImageBuffer::~ImageBuffer()
{
    release();
}

ImageBuffer::ImageBuffer(ImageBuffer&& other) noexcept
    : bytes(std::exchange(other.bytes, nullptr))
    , length(std::exchange(other.length, 0))
    , mapping(std::exchange(other.mapping, nullptr))
    , mappingLength(std::exchange(other.mappingLength, 0))
    , fileMapped(std::exchange(other.fileMapped, false))
{
}

ImageBuffer& ImageBuffer::operator=(ImageBuffer&& other) noexcept
{
    if (this != &other) {
        release();
        bytes = std::exchange(other.bytes, nullptr);
        length = std::exchange(other.length, 0);
        mapping = std::exchange(other.mapping, nullptr);
        mappingLength = std::exchange(other.mappingLength, 0);
        fileMapped = std::exchange(other.fileMapped, false);
    }
    return *this;
}

bool ImageBuffer::allocate(qint64 size)
{
    release();
    if (size < 0 || quint64(size) > quint64(std::numeric_limits<size_t>::max()) - quint64(hugePageSize))
        return false;
    // An empty image still gets a valid, distinct pointer, like the one-byte allocation of any C library.
    const qint64 wanted = qMax<qint64>(size, 1);
#ifdef Q_OS_LINUX
    if (wanted >= hugePageSize) {
        // Over-allocate by one huge page so the buffer can start on a huge-page boundary.
        const qint64 total = wanted + hugePageSize;
        void* region
            = mmap(nullptr, size_t(total), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region == MAP_FAILED)
            return false;
        const quintptr start = quintptr(region);
        const quintptr aligned = (start + quintptr(hugePageSize) - 1) & ~quintptr(hugePageSize - 1);
        // Only a hint: without huge pages the buffer works the same, its first touch is just slower.
        madvise(reinterpret_cast<void*>(aligned), size_t(wanted), MADV_HUGEPAGE);
        mapping = region;
        mappingLength = total;
        bytes = reinterpret_cast<uchar*>(aligned);
        length = size;
        return true;
    }
#endif
    bytes = static_cast<uchar*>(std::calloc(size_t(wanted), 1));
    if (!bytes)
        return false;
    length = size;
    return true;
}

bool ImageBuffer::mapFile(int descriptor, qint64 size)
{
    release();
#ifdef Q_OS_LINUX
    if (size <= 0 || quint64(size) > quint64(std::numeric_limits<size_t>::max()))
        return false;
    void* region = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_PRIVATE, descriptor, 0);
    if (region == MAP_FAILED)
        return false;
    // Read front to back by the scan: the kernel may read ahead generously.
    madvise(region, size_t(size), MADV_SEQUENTIAL);
#ifdef MADV_POPULATE_READ
    // Every page is read (the scan for DMHs); mapping them all in one call costs less system time than
    // a fault per few pages. Kernels before 5.14 refuse it, and the pages then come in as they are read.
    madvise(region, size_t(size), MADV_POPULATE_READ);
#endif
    mapping = region;
    mappingLength = size;
    fileMapped = true;
    bytes = static_cast<uchar*>(region);
    length = size;
    return true;
#else
    Q_UNUSED(descriptor)
    Q_UNUSED(size)
    return false;
#endif
}

qint64 ImageBuffer::capacity() const
{
    if (mapping)
        return mappingLength - (bytes - static_cast<uchar*>(mapping));
    return length;
}

bool ImageBuffer::reuse(qint64 size)
{
    if (!bytes || size < 0 || size > capacity())
        return false;
    length = size;
    return true;
}

void ImageBuffer::truncate(qint64 size)
{
    length = qBound<qint64>(0, size, length);
}

void ImageBuffer::release()
{
#ifdef Q_OS_LINUX
    if (mapping) {
        munmap(mapping, size_t(mappingLength));
        mapping = nullptr;
        mappingLength = 0;
        bytes = nullptr;
    }
#endif
    fileMapped = false;
    std::free(bytes);
    bytes = nullptr;
    length = 0;
}
