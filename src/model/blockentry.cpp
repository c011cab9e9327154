#include "blockentry.h"

#include "imagelayout.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

using ImageLayout::readU16;
using ImageLayout::readU32;
using ImageLayout::writeU16;
using ImageLayout::writeU32;

BlockEntry BlockEntry::fromBytes(const uchar* bytes)
{
    BlockEntry entry;
    entry.id = bytes[idOffset];
    entry.flags = bytes[flagsOffset];
    entry.reserved = readU16(bytes + 2);
    entry.offset = readU32(bytes + offsetOffset);
    entry.size = readU32(bytes + sizeOffset);
    entry.crc = readU32(bytes + crcOffset);
    std::memcpy(entry.version.data(), bytes + versionOffset, entry.version.size());
    std::memcpy(entry.name.data(), bytes + nameOffset, entry.name.size());
    std::memcpy(entry.time.data(), bytes + timeOffset, entry.time.size());
    std::memcpy(entry.trailer.data(), bytes + trailerOffset, entry.trailer.size());
    return entry;
}

void BlockEntry::toBytes(uchar* bytes) const
{
    bytes[idOffset] = id;
    bytes[flagsOffset] = flags;
    writeU16(bytes + 2, reserved);
    writeU32(bytes + offsetOffset, offset);
    writeU32(bytes + sizeOffset, size);
    writeU32(bytes + crcOffset, crc);
    std::memcpy(bytes + versionOffset, version.data(), version.size());
    std::memcpy(bytes + nameOffset, name.data(), name.size());
    std::memcpy(bytes + timeOffset, time.data(), time.size());
    std::memcpy(bytes + trailerOffset, trailer.data(), trailer.size());
}

QByteArray BlockEntry::toByteArray() const
{
    QByteArray bytes(byteSize, '\0');
    toBytes(reinterpret_cast<uchar*>(bytes.data()));
    return bytes;
}

bool BlockEntry::isSoftwareVersionBlock() const
{
    // Asked of every entry a load parses: the first byte rules out almost all of them.
    static constexpr char versionBlockName[] = "ssdata";
    return name[0] == versionBlockName[0] && std::equal(name.begin(), name.begin() + 7, versionBlockName);
}

QByteArray BlockEntry::nameText() const
{
    return QByteArray(name.data(), int(qstrnlen(name.data(), uint(name.size()))));
}

QString BlockEntry::nameCellText() const
{
    return QString::fromLocal8Bit(name.data(), int(name.size()));
}

QString BlockEntry::versionCellText() const
{
    return QString::fromLocal8Bit(version.data(), int(version.size()));
}

QString BlockEntry::timeCellText() const
{
    return QStringList { QString::number(year()), QString::number(month()), QString::number(day()),
        QString::number(hour()), QString::number(minute()), QString::number(second()) }
        .join(QLatin1Char('/'));
}

bool BlockEntry::operator==(const BlockEntry& other) const
{
    return id == other.id && flags == other.flags && reserved == other.reserved && offset == other.offset
        && size == other.size && crc == other.crc && version == other.version && name == other.name
        && time == other.time && trailer == other.trailer;
}
