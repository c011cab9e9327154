#include "imagebuilder.h"

#include "model/imagelayout.h"
#include "ops/record/blockinfo.h"
#include "ops/record/crc32.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

namespace {

template <std::size_t N> void copyField(std::array<char, N>& field, const QByteArray& text)
{
    field.fill('\0');
    std::memcpy(field.data(), text.constData(), std::min<std::size_t>(N, std::size_t(text.size())));
}

} // namespace

BlockEntry TestEntry::toEntry() const
{
    BlockEntry entry;
    entry.id = id;
    entry.flags = flags;
    entry.reserved = reserved;
    entry.offset = offset;
    entry.size = size;
    entry.crc = crc;
    copyField(entry.version, version);
    copyField(entry.name, name);
    entry.time = { quint8(year & 0xFF), quint8(year >> 8), month, day, hour, minute, second, timeByte7 };
    std::memcpy(
        entry.trailer.data(), trailer.constData(), std::min<std::size_t>(8, std::size_t(trailer.size())));
    return entry;
}

TestEntry testEntry(quint8 id, quint32 offset, quint32 size, const QByteArray& name, quint8 flags)
{
    TestEntry entry;
    entry.id = id;
    entry.offset = offset;
    entry.size = size;
    entry.name = name;
    entry.flags = flags;
    return entry;
}

TestDmh testDmh(const QVector<TestEntry>& entries, quint32 flashSize)
{
    TestDmh dmh;
    dmh.flashSize = flashSize;
    dmh.entries = entries;
    return dmh;
}

ImageBuilder::ImageBuilder(qint64 size, char fill)
    : content(int(size), fill)
{
}

QByteArray ImageBuilder::dmhHeader(const TestDmh& dmh)
{
    std::array<uchar, ImageLayout::dmhHeaderSize> bytes {};
    std::memcpy(bytes.data(), ImageLayout::dmhMagic, ImageLayout::dmhMagicLength);
    ImageLayout::writeU32(bytes.data() + ImageLayout::dataCapacityOffset, dmh.dataCapacity);
    ImageLayout::writeU32(bytes.data() + ImageLayout::sdramSizeOffset, dmh.sdramSize);
    ImageLayout::writeU32(bytes.data() + ImageLayout::flashSizeOffset, dmh.flashSize);
    const int count = dmh.entryCount >= 0 ? dmh.entryCount : dmh.entries.size();
    ImageLayout::writeU16(bytes.data() + ImageLayout::entryCountOffset, quint16(count));
    ImageLayout::writeU16(bytes.data() + ImageLayout::entrySizeOffset, dmh.entrySize);
    QByteArray header(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    for (const TestEntry& entry : dmh.entries)
        header += entryBytes(entry.toEntry());
    return header;
}

QByteArray ImageBuilder::entryBytes(const BlockEntry& entry)
{
    QByteArray bytes(BlockEntry::byteSize, '\0');
    entry.toBytes(reinterpret_cast<uchar*>(bytes.data()));
    return bytes;
}

ImageBuilder& ImageBuilder::dmh(qint64 position, const TestDmh& dmh)
{
    return bytes(position, dmhHeader(dmh));
}

ImageBuilder& ImageBuilder::bytes(qint64 position, const QByteArray& data)
{
    const qint64 length
        = qBound<qint64>(0, qMin<qint64>(data.size(), content.size() - position), data.size());
    if (position >= 0 && length > 0)
        std::memcpy(content.data() + position, data.constData(), size_t(length));
    return *this;
}

ImageBuilder& ImageBuilder::fill(qint64 position, qint64 length, char value)
{
    return bytes(position, QByteArray(int(length), value));
}

ImageBuilder& ImageBuilder::blockInfo(
    qint64 position, quint32 dataLength, quint32 dataCrc, const StampTime& time)
{
    QByteArray record(BlockInfo::recordSize, '\xFF');
    uchar* bytes = reinterpret_cast<uchar*>(record.data());
    std::memcpy(bytes, BlockInfo::signature, BlockInfo::signatureLength);
    BlockInfo::stampBlockInfo(bytes, BlockInfo::recordSize, dataLength, dataCrc, time);
    return this->bytes(position, record);
}

ImageBuilder& ImageBuilder::block(
    qint64 dmhPosition, const TestEntry& entry, const QByteArray& data, bool withRecord)
{
    const qint64 start = dmhPosition + entry.offset;
    fill(start, entry.size, '\xFF');
    bytes(start, data);
    if (withRecord)
        blockInfo(start + entry.size - BlockInfo::recordSize, quint32(data.size()), crcOf(data));
    return *this;
}

bool ImageBuilder::writeTo(const QString& path) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray ImageBuilder::randomBytes(qint64 length, quint32 seed)
{
    QByteArray data(int(length), '\0');
    QRandomGenerator generator(seed);
    for (char& byte : data)
        byte = char(generator.bounded(256));
    return data;
}

quint32 ImageBuilder::crcOf(const QByteArray& data)
{
    return Crc32::compute64(reinterpret_cast<const uchar*>(data.constData()), data.size());
}
