#pragma once

#include <QtEndian>
#include <QtGlobal>

#include <cstring>

// Byte layout of a flash image: the DMH header and where its entries lie. All integers are little-endian;
// every offset counts from the DMH position (the first byte of its magic).
namespace ImageLayout {

inline constexpr char dmhMagic[] = "*^_^*DM(^o^)";
inline constexpr int dmhMagicLength = 12;

inline constexpr int dmhHeaderSize = 28;
inline constexpr int dataCapacityOffset = 12;
inline constexpr int sdramSizeOffset = 16;
inline constexpr int flashSizeOffset = 20;
inline constexpr int entryCountOffset = 24;
inline constexpr int entrySizeOffset = 26;

// Only the low byte of entrySize takes part in recognising a DMH.
inline constexpr int recognitionByteOffset = 26;
inline constexpr uchar recognitionByte = 0x30;

// Entries are read with this fixed stride, whatever entrySize claims.
inline constexpr int entryStride = 48;

inline constexpr int versionTextLength = 20;

// DMH positions are stored as u32; a magic at 4 GiB or beyond cannot be described.
inline constexpr qint64 positionLimit = qint64(1) << 32;

inline quint16 readU16(const uchar* bytes)
{
    return qFromLittleEndian<quint16>(bytes);
}
inline quint32 readU32(const uchar* bytes)
{
    return qFromLittleEndian<quint32>(bytes);
}
inline void writeU16(uchar* bytes, quint16 value)
{
    qToLittleEndian(value, bytes);
}
inline void writeU32(uchar* bytes, quint32 value)
{
    qToLittleEndian(value, bytes);
}

// True when [start, start + length) lies inside [0, total). Written in subtraction form so that no
// sum of values read from a file can overflow.
inline bool rangeInside(qint64 start, qint64 length, qint64 total)
{
    return start >= 0 && length >= 0 && total >= 0 && start <= total && length <= total - start;
}

// Whether [start, start + length) and [otherStart, otherStart + otherLength) share a byte.
inline bool rangesOverlap(qint64 start, qint64 length, qint64 otherStart, qint64 otherLength)
{
    return length > 0 && otherLength > 0 && start < otherStart + otherLength && otherStart < start + length;
}

// Image position of entry `index` of the DMH at `dmhPosition`, at the stride entries are read with.
inline qint64 entryPosition(qint64 dmhPosition, qint64 index)
{
    return dmhPosition + dmhHeaderSize + qint64(entryStride) * index;
}

// The header and the entry table a DMH claims, counted from its position.
inline qint64 tableLength(quint16 entryCount)
{
    return dmhHeaderSize + qint64(entryStride) * entryCount;
}

// The DMH rule: the 12-byte magic and the recognition byte. The caller guarantees that the 28 header
// bytes lie inside the image.
inline bool isDmhAt(const uchar* header)
{
    return std::memcmp(header, dmhMagic, dmhMagicLength) == 0
        && header[recognitionByteOffset] == recognitionByte;
}

} // namespace ImageLayout
