#include "replacementmodel.h"

#include <climits>
#include <cstring>

namespace {

// The layout as the model knows it, independently of the product's constants.
constexpr qint64 dmhHeaderLength = 28;
constexpr qint64 entryLength = 48;
constexpr qint64 entryOffsetField = 4;
constexpr qint64 entrySizeField = 8;
constexpr qint64 entryCrcField = 12;
constexpr qint64 recordLength = 64;
constexpr qint64 recordDataLengthField = 24;
constexpr qint64 recordDataCrcField = 28;
constexpr qint64 recordTimeField = 48;
constexpr quint32 recordAlignment = 0x10000;
constexpr uchar recordSignature[12] = { '@', '~', '_', '~', 'B', 'I', '~', '_', '~', '@', 0, 0 };
// "NCRC" as a little-endian u32: the record variant leaves such an entry CRC as it is.
constexpr quint32 noCrcMarker = 0x4352434E;
constexpr quint32 reflectedPolynomial = 0xEDB88320;

using Case = ReplacementModel::Case;

// The CRC register after `length` more bytes; with no final inversion, a CRC continues from its value.
quint32 crcContinued(quint32 crc, const uchar* bytes, qint64 length)
{
    for (qint64 index = 0; index < length; ++index) {
        crc ^= bytes[index];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (reflectedPolynomial & (0u - (crc & 1u)));
    }
    return crc;
}

void putU32(uchar* at, quint32 value)
{
    for (int index = 0; index < 4; ++index)
        at[index] = uchar(value >> (8 * index));
}

bool inside(qint64 start, qint64 length, qint64 limit)
{
    return start >= 0 && length >= 0 && start <= limit && length <= limit - start;
}

qint64 entryPosition(const Case& replacement, int index)
{
    return qint64(replacement.dmhPosition) + dmhHeaderLength + entryLength * index;
}

qint64 blockStart(const Case& replacement, const BlockEntry& entry)
{
    return qint64(replacement.dmhPosition) + entry.offset;
}

void copyReplacement(uchar* to, const Case& replacement)
{
    if (replacement.replacementLength > 0)
        std::memcpy(to, replacement.replacement, size_t(replacement.replacementLength));
}

// The output starts as the first flashSize bytes of the image; its bytes, or null when it cannot.
uchar* startOutput(const Case& replacement, QByteArray& output)
{
    const qint64 length = replacement.flashSize;
    if (length == 0 || length > replacement.imageSize || length > INT_MAX)
        return nullptr;
    // Reserved first, so that the buffer keeps its memory from run to run.
    output.reserve(int(length));
    output.resize(int(length));
    uchar* bytes = reinterpret_cast<uchar*>(output.data());
    std::memcpy(bytes, replacement.image, size_t(length));
    return bytes;
}

// The block: the replacement, then 0xFF; when block size and replacement length are whole multiples of
// 64 KiB and the replacement leaves room, a copy of the entry with the replacement's length and CRC at
// 64 bytes before the block's end. The DMH stays as it was.
bool writePadded(const Case& replacement, const BlockEntry& entry, QByteArray& output)
{
    const qint64 start = blockStart(replacement, entry);
    const qint64 size = entry.size;
    const qint64 length = replacement.replacementLength;
    const qint64 entryAt = entryPosition(replacement, replacement.entryIndex);
    const bool entryCopy = size % recordAlignment == 0 && length % recordAlignment == 0 && length < size;
    if (!inside(start, size, replacement.flashSize)
        || (entryCopy && !inside(entryAt, entryLength, replacement.imageSize)))
        return false;
    uchar* const bytes = startOutput(replacement, output);
    if (!bytes)
        return false;
    uchar* block = bytes + start;
    copyReplacement(block, replacement);
    std::memset(block + length, 0xFF, size_t(size - length));
    if (entryCopy) {
        uchar* copy = block + size - recordLength;
        std::memcpy(copy, replacement.image + entryAt, size_t(entryLength));
        putU32(copy + entrySizeField, quint32(length));
        putU32(copy + entryCrcField, ReplacementModel::crc(replacement.replacement, length));
    }
    return true;
}

// The block: the replacement, 0xFF, and the block's own record with the new data length, data CRC and
// time; the entry's CRC in the DMH becomes the CRC of the whole new block, unless it holds "NCRC".
bool writeWithInfo(const Case& replacement, const BlockEntry& entry, QByteArray& output)
{
    const qint64 start = blockStart(replacement, entry);
    const qint64 size = entry.size;
    const qint64 length = replacement.replacementLength;
    const qint64 entryCrcAt = entryPosition(replacement, replacement.entryIndex) + entryCrcField;
    if (length > size - recordLength || !inside(start, size, replacement.flashSize)
        || !inside(entryCrcAt, 4, replacement.flashSize))
        return false;
    uchar* const bytes = startOutput(replacement, output);
    if (!bytes)
        return false;
    uchar* block = bytes + start;
    copyReplacement(block, replacement);
    std::memset(block + length, 0xFF, size_t(size - recordLength - length));
    // The old record is in place already: the output started as a copy of the image.
    uchar* record = block + size - recordLength;
    const quint32 dataCrc = ReplacementModel::crc(replacement.replacement, length);
    putU32(record + recordDataLengthField, quint32(length));
    putU32(record + recordDataCrcField, dataCrc);
    const StampTime& time = replacement.stampTime;
    const uchar stamp[7] = { uchar(time.year & 0xFF), uchar(time.year >> 8), time.month, time.day, time.hour,
        time.minute, time.second };
    std::memcpy(record + recordTimeField, stamp, sizeof stamp);
    if (entry.crc != noCrcMarker) {
        const quint32 blockCrc = crcContinued(dataCrc, block + length, size - length);
        putU32(bytes + entryCrcAt, blockCrc);
    }
    return true;
}

// The block takes the replacement's length; the blocks listed after it, which follow it, move behind the
// replacement by the growth, and the growth many bytes after them are overwritten. In the DMH the moved
// entries' offsets grow, and the grown entry takes the replacement's length and CRC.
bool writeGrow(const Case& replacement, const BlockEntry& entry, QByteArray& output)
{
    const int grown = replacement.entryIndex;
    const qint64 start = blockStart(replacement, entry);
    const qint64 length = replacement.replacementLength;
    const qint64 growth = length - qint64(entry.size);
    qint64 tail = 0;
    for (int index = grown + 1; index < replacement.entries.size(); ++index)
        tail += replacement.entries.at(index).size;
    const qint64 tableStart = entryPosition(replacement, grown);
    const qint64 tableLength = entryLength * (replacement.entries.size() - grown);
    if (!inside(start, length + tail, replacement.flashSize)
        || !inside(tableStart, tableLength, replacement.flashSize))
        return false;
    uchar* const bytes = startOutput(replacement, output);
    if (!bytes)
        return false;
    if (tail > 0)
        std::memcpy(bytes + start + length, replacement.image + start + entry.size, size_t(tail));
    copyReplacement(bytes + start, replacement);
    for (int index = grown + 1; index < replacement.entries.size(); ++index) {
        const quint32 movedOffset = quint32(replacement.entries.at(index).offset + growth);
        putU32(bytes + entryPosition(replacement, index) + entryOffsetField, movedOffset);
    }
    putU32(bytes + tableStart + entrySizeField, quint32(length));
    putU32(bytes + tableStart + entryCrcField, ReplacementModel::crc(replacement.replacement, length));
    return true;
}

} // namespace

std::optional<ReplacementModel::Variant> ReplacementModel::chooseVariant(const Case& replacement)
{
    if (replacement.entryIndex < 0 || replacement.entryIndex >= replacement.entries.size())
        return std::nullopt;
    const BlockEntry& entry = replacement.entries.at(replacement.entryIndex);
    const bool fits = replacement.replacementLength <= qint64(entry.size);
    if (carriesRecord(replacement.image, replacement.imageSize, replacement.dmhPosition, entry))
        return fits ? std::optional<Variant>(Variant::WithInfo) : std::nullopt;
    return fits ? Variant::Padded : Variant::Grow;
}

bool ReplacementModel::writeOutput(const Case& replacement, Variant variant, QByteArray& output)
{
    if (replacement.replacementLength < 0 || chooseVariant(replacement) != variant)
        return false;
    const BlockEntry& entry = replacement.entries.at(replacement.entryIndex);
    switch (variant) {
    case Variant::Padded:
        return writePadded(replacement, entry, output);
    case Variant::WithInfo:
        return writeWithInfo(replacement, entry, output);
    case Variant::Grow:
        return writeGrow(replacement, entry, output);
    }
    return false;
}

std::optional<QByteArray> ReplacementModel::output(const Case& replacement, Variant variant)
{
    QByteArray bytes;
    if (!writeOutput(replacement, variant, bytes))
        return std::nullopt;
    return bytes;
}

bool ReplacementModel::carriesRecord(
    const uchar* image, qint64 imageSize, quint32 dmhPosition, const BlockEntry& entry)
{
    if (entry.offset % recordAlignment != 0 || entry.size % recordAlignment != 0 || entry.flags != 0
        || entry.size < recordLength)
        return false;
    const qint64 record = qint64(dmhPosition) + entry.offset + entry.size - recordLength;
    return inside(record, recordLength, imageSize)
        && std::memcmp(image + record, recordSignature, sizeof recordSignature) == 0;
}

quint32 ReplacementModel::crc(const uchar* bytes, qint64 length)
{
    return crcContinued(0xFFFFFFFF, bytes, length);
}
