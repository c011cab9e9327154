#include "ops/inspect/bytecomparison.h"

#include <QtAlgorithms>

#include <cstring>

namespace {

// Long enough that memcmp runs at full speed, short enough to stay in the cache for the recount.
constexpr qint64 stretchLength = qint64(64) << 10;

// The number of non-zero bytes in `word`: the high bit of each byte is set when any bit of it is.
int nonZeroBytes(quint64 word)
{
    constexpr quint64 lowSevenBits = 0x7F7F7F7F7F7F7F7Full;
    const quint64 highBits = (((word & lowSevenBits) + lowSevenBits) | word) & ~lowSevenBits;
    return int(qPopulationCount(highBits));
}

// Counts the differing bytes of a stretch known to differ, eight at a time.
ByteComparison countDifferences(const uchar* first, const uchar* second, qint64 length)
{
    ByteComparison comparison;
    comparison.compared = length;
    qint64 position = 0;
    for (; position + 8 <= length; position += 8) {
        quint64 firstWord;
        quint64 secondWord;
        std::memcpy(&firstWord, first + position, 8);
        std::memcpy(&secondWord, second + position, 8);
        const quint64 difference = firstWord ^ secondWord;
        if (difference == 0)
            continue;
        comparison.differing += nonZeroBytes(difference);
        if (comparison.firstDifference < 0) {
            qint64 byte = position;
            while (first[byte] == second[byte])
                ++byte;
            comparison.firstDifference = byte;
        }
    }
    for (; position < length; ++position) {
        if (first[position] == second[position])
            continue;
        ++comparison.differing;
        if (comparison.firstDifference < 0)
            comparison.firstDifference = position;
    }
    return comparison;
}

} // namespace

void ByteComparison::append(const ByteComparison& later, qint64 offset)
{
    if (firstDifference < 0 && later.firstDifference >= 0)
        firstDifference = offset + later.firstDifference;
    compared += later.compared;
    differing += later.differing;
}

ByteComparison compareBytes(const uchar* first, const uchar* second, qint64 length)
{
    if (length <= 0)
        return ByteComparison::equal(0);
    ByteComparison comparison = ByteComparison::equal(0);
    for (qint64 position = 0; position < length; position += stretchLength) {
        const qint64 stretch = qMin(stretchLength, length - position);
        if (std::memcmp(first + position, second + position, size_t(stretch)) == 0)
            comparison.append(ByteComparison::equal(stretch), position);
        else
            comparison.append(countDifferences(first + position, second + position, stretch), position);
    }
    return comparison;
}
