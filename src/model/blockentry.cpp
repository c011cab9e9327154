#include "blockentry.h"

#include "imagelayout.h"

#include <charconv>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

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

// On a little-endian machine the struct holds its fields exactly as the image does, byte for byte.
static_assert(sizeof(BlockEntry) == BlockEntry::byteSize && std::is_trivially_copyable_v<BlockEntry>);
static_assert(offsetof(BlockEntry, id) == BlockEntry::idOffset
    && offsetof(BlockEntry, flags) == BlockEntry::flagsOffset && offsetof(BlockEntry, reserved) == 2
    && offsetof(BlockEntry, offset) == BlockEntry::offsetOffset
    && offsetof(BlockEntry, size) == BlockEntry::sizeOffset
    && offsetof(BlockEntry, crc) == BlockEntry::crcOffset
    && offsetof(BlockEntry, version) == BlockEntry::versionOffset
    && offsetof(BlockEntry, name) == BlockEntry::nameOffset
    && offsetof(BlockEntry, time) == BlockEntry::timeOffset
    && offsetof(BlockEntry, trailer) == BlockEntry::trailerOffset);

QVector<BlockEntry> BlockEntry::fromTable(const uchar* bytes, int count)
{
    if (count <= 0)
        return {};
    // Qt 5's QVector zero-fills every element of a resize, all of which the copy then overwrites; a DMH
    // of thousands of entries is cheaper to load when its table is allocated bare and filled once.
    QTypedArrayData<BlockEntry>* table = QTypedArrayData<BlockEntry>::allocate(size_t(count));
    Q_CHECK_PTR(table);
    BlockEntry* const entries = table->begin();
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        std::memcpy(static_cast<void*>(entries), bytes, size_t(count) * byteSize);
    } else {
        for (int index = 0; index < count; ++index)
            new (entries + index) BlockEntry(fromBytes(bytes + qint64(index) * byteSize));
    }
    table->size = count;
    return QVector<BlockEntry>(QArrayDataPointerRef<BlockEntry> { table });
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

QString BlockEntry::idText(quint8 id)
{
    // IDs are 8-bit: the 256 texts are made once and shared by every row and every search that needs one.
    static const std::array<QString, 256> texts = [] {
        std::array<QString, 256> made;
        for (int value = 0; value < int(made.size()); ++value)
            made[value] = QString::number(value, 16);
        return made;
    }();
    return texts[id];
}

QString BlockEntry::timeCellText() const
{
    // Formatted in one buffer: the table asks this of every row. Six numbers of at most five digits.
    const unsigned fields[] = { year(), month(), day(), hour(), minute(), second() };
    char text[6 * 5 + 5];
    char* end = text;
    for (const unsigned field : fields) {
        if (end != text)
            *end++ = '/';
        end = std::to_chars(end, text + sizeof text, field).ptr;
    }
    return QString::fromLatin1(text, int(end - text));
}

bool BlockEntry::operator==(const BlockEntry& other) const
{
    return id == other.id && flags == other.flags && reserved == other.reserved && offset == other.offset
        && size == other.size && crc == other.crc && version == other.version && name == other.name
        && time == other.time && trailer == other.trailer;
}
