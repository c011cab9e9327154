#include "ops/record/blockinfo.h"

#include "model/imagelayout.h"

#include <cstring>

using ImageLayout::readU32;
using ImageLayout::writeU16;
using ImageLayout::writeU32;

namespace BlockInfo {

std::optional<qint64> recordPosition(qint64 imageSize, quint32 dmhPosition, const BlockEntry& entry)
{
    if (!isAligned(entry.offset) || !isAligned(entry.size) || entry.flags != 0 || entry.size < recordSize)
        return std::nullopt;
    const qint64 position = qint64(dmhPosition) + entry.offset + entry.size - recordSize;
    if (!ImageLayout::rangeInside(position, recordSize, imageSize))
        return std::nullopt;
    return position;
}

bool hasBlockInfo(const uchar* imageData, qint64 imageSize, quint32 dmhPosition, const BlockEntry& entry)
{
    const std::optional<qint64> position = recordPosition(imageSize, dmhPosition, entry);
    return position && std::memcmp(imageData + *position, signature, signatureLength) == 0;
}

quint32 dataLength(const uchar* record)
{
    return readU32(record + dataLengthOffset);
}

quint32 dataCrc(const uchar* record)
{
    return readU32(record + dataCrcOffset);
}

StampTime stampTime(const uchar* record)
{
    const uchar* time = record + timeOffset;
    return StampTime::of(ImageLayout::readU16(time), time[2], time[3], time[4], time[5], time[6]);
}

void stampBlockInfo(
    uchar* block, quint32 blockSize, quint32 dataLength, quint32 dataCrc, const StampTime& time)
{
    uchar* const record = block + blockSize - recordSize;
    writeU32(record + dataLengthOffset, dataLength);
    writeU32(record + dataCrcOffset, dataCrc);
    writeU16(record + timeOffset, time.year);
    record[timeOffset + 2] = time.month;
    record[timeOffset + 3] = time.day;
    record[timeOffset + 4] = time.hour;
    record[timeOffset + 5] = time.minute;
    record[timeOffset + 6] = time.second;
}

} // namespace BlockInfo
