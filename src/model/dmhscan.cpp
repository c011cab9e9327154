#include "dmhscan.h"

#include "imagelayout.h"

#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define TESSEL_SCAN_AVX2 1
#endif

namespace DmhScan {

namespace {

// memchr jumps over runs without the magic's first byte (0xFF fill, zeros) at memory speed; only the
// positions it stops at are compared in full.
qint64 findNextPortable(const uchar* data, qint64 from, qint64 last)
{
    for (qint64 position = from; position <= last; ++position) {
        const void* hit = std::memchr(data + position, ImageLayout::dmhMagic[0], size_t(last - position + 1));
        if (!hit)
            return -1;
        position = static_cast<const uchar*>(hit) - data;
        if (ImageLayout::isDmhAt(data + position))
            return position;
    }
    return -1;
}

#ifdef TESSEL_SCAN_AVX2
// Tests 32 positions per step for the magic's first two bytes at once. In random data a lone first
// byte turns up every 256 positions, which stops memchr and costs a call each time; the pair turns up
// every 65,536 positions, so the loop runs at memory speed on any content.
__attribute__((target("avx2"))) qint64 findNextAvx2(const uchar* data, qint64 from, qint64 last)
{
    const __m256i first = _mm256_set1_epi8(ImageLayout::dmhMagic[0]);
    const __m256i second = _mm256_set1_epi8(ImageLayout::dmhMagic[1]);
    qint64 position = from;
    // Each step reads the bytes at position .. position + 32, all inside the headers of the positions
    // tested (the caller guarantees 28 bytes from every position up to last).
    for (; position + 31 <= last; position += 32) {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + position));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + position + 1));
        quint32 candidates = quint32(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(here, first), _mm256_cmpeq_epi8(next, second))));
        while (candidates) {
            const qint64 candidate = position + __builtin_ctz(candidates);
            if (ImageLayout::isDmhAt(data + candidate))
                return candidate;
            candidates &= candidates - 1;
        }
    }
    return position <= last ? findNextPortable(data, position, last) : -1;
}

bool hasAvx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif

} // namespace

qint64 findNext(const uchar* data, qint64 from, qint64 last)
{
#ifdef TESSEL_SCAN_AVX2
    if (hasAvx2())
        return findNextAvx2(data, from, last);
#endif
    return findNextPortable(data, from, last);
}

} // namespace DmhScan
