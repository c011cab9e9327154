#pragma once

#include "model/blockentry.h"
#include "ops/record/stamptime.h"

#include <QtGlobal>

#include <optional>

// The 64-byte record a block may end with: how much of the block is data, the CRC of that data and
// when the block was last replaced. Its fields follow a 16-byte signature area and lie like the fields
// of a BlockEntry.
namespace BlockInfo {

inline constexpr int recordSize = 64;
inline constexpr char signature[] = "@~_~BI~_~@\0";
inline constexpr int signatureLength = 12;
inline constexpr int entryFieldsOffset = 16;
inline constexpr int dataLengthOffset = entryFieldsOffset + BlockEntry::sizeOffset;
inline constexpr int dataCrcOffset = entryFieldsOffset + BlockEntry::crcOffset;
inline constexpr int timeOffset = entryFieldsOffset + BlockEntry::timeOffset;
inline constexpr quint32 alignment = 65536;

inline bool isAligned(quint32 value)
{
    return (value & (alignment - 1)) == 0;
}

// Image position of the record of the block that `entry` of the DMH at `dmhPosition` describes, when
// the block passes the alignment and flags tests and the record lies inside the image. A block of size
// 0 has no room for a record and so never carries one.
std::optional<qint64> recordPosition(qint64 imageSize, quint32 dmhPosition, const BlockEntry& entry);

// True when the block carries a record: aligned offset and size, flags 0, and the signature in place.
bool hasBlockInfo(const uchar* imageData, qint64 imageSize, quint32 dmhPosition, const BlockEntry& entry);

// The fields stored in the record that starts at `record` (its 64 bytes lie inside the image).
quint32 dataLength(const uchar* record);
quint32 dataCrc(const uchar* record);
StampTime stampTime(const uchar* record);

// Writes data length, data CRC and time into the record at the end of `block`; nothing else changes.
// `blockSize` is at least recordSize.
void stampBlockInfo(
    uchar* block, quint32 blockSize, quint32 dataLength, quint32 dataCrc, const StampTime& time);

} // namespace BlockInfo
