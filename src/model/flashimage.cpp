#include "flashimage.h"

#include "dmhscan.h"
#include "imagelayout.h"

#include <QString>

#include <cstdio>
#include <utility>

#include <sys/stat.h>

using namespace ImageLayout;

namespace {

// Closes the stream on every way out of load().
struct StreamCloser {
    FILE* stream;
    ~StreamCloser()
    {
        if (stream)
            std::fclose(stream);
    }
};

FILE* openForRawReading(const std::wstring& path)
{
#ifdef Q_OS_WIN
    return _wfopen(path.c_str(), L"rb");
#else
    const QByteArray localPath = QString::fromStdWString(path).toLocal8Bit();
    FILE* stream = std::fopen(localPath.constData(), "rb");
    if (!stream)
        return nullptr;
    // A folder opens as a stream here but is no image; treat it like a file that is not there.
    struct stat status { };
    if (fstat(fileno(stream), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
#endif
}

} // namespace

FlashImage::~FlashImage()
{
    clear();
}

bool FlashImage::load(const std::wstring& path)
{
    clear();
    StreamCloser file { openForRawReading(path) };
    if (!file.stream) {
        // UTF-8 keeps every character of the path; the window decodes the message as UTF-8.
        lastErrorText = QString::fromStdWString(path).toUtf8() + "is not exist!";
        return false;
    }
    qint64 length = -1;
    if (std::fseek(file.stream, 0, SEEK_END) == 0)
        length = qint64(ftello(file.stream));
    if (length < 0 || std::fseek(file.stream, 0, SEEK_SET) != 0) {
        lastErrorText = "read file failed!";
        return false;
    }
    if (!buffer.allocate(length)) {
        lastErrorText = "Alloc memory failed!";
        return false;
    }
    // The buffer is zero already, so a short read leaves zeros behind what it read.
    const size_t wanted = size_t(length);
    const size_t got = wanted == 0 ? 0 : std::fread(buffer.data(), 1, wanted, file.stream);
    if (got != wanted) {
        lastErrorText = "read file failed!";
        return false;
    }
    std::fclose(file.stream);
    file.stream = nullptr;
    return findDmh(imageSize());
}

bool FlashImage::loadBytes(ImageBuffer&& bytes)
{
    clear();
    buffer = std::move(bytes);
    return findDmh(imageSize());
}

bool FlashImage::clear()
{
    buffer.release();
    totalBlocks = 0;
    sdram = 0;
    flash = 0;
    records.clear();
    lastErrorText.clear();
    ++generationCounter;
    return true;
}

bool FlashImage::findDmh(qint64 length)
{
    length = qBound<qint64>(0, length, imageSize());
    // A magic is a DMH only when its whole header fits and its position fits in 32 bits.
    const qint64 lastPosition = qMin(length - dmhHeaderSize, positionLimit - 1);
    const uchar* const data = buffer.data();

    // Saved so that a load refused for its size does not leave half a catalogue behind.
    const QMap<int, quint32> offsetsBefore = entryPositions;
    const QByteArray versionBefore = softwareVersionText;
    qint64 entriesSoFar = 0;

    for (qint64 position = DmhScan::findNext(data, 0, lastPosition); position >= 0;
         position = DmhScan::findNext(data, position + 1, lastPosition)) {
        entriesSoFar += entriesThatFit(position, readU16(data + position + entryCountOffset));
        if (records.size() + 1 > maxDmhCount || entriesSoFar > maxTotalEntries) {
            records.clear();
            totalBlocks = 0;
            sdram = 0;
            flash = 0;
            entryPositions = offsetsBefore;
            softwareVersionText = versionBefore;
            lastErrorText = "Too many DMH entries!";
            return false;
        }
        parseDmh(position);
    }
    if (records.isEmpty()) {
        lastErrorText = "Can not find DMH.";
        return false;
    }
    return true;
}

qint64 FlashImage::entriesThatFit(qint64 position, quint16 entryCount) const
{
    // Entries must lie whole inside the image, and their positions must fit the u32 of entryOffsets.
    const qint64 end = qMin(imageSize(), positionLimit);
    const qint64 room = end - position - dmhHeaderSize;
    return room <= 0 ? 0 : qMin<qint64>(entryCount, room / entryStride);
}

bool FlashImage::parseDmh(qint64 position)
{
    if (!rangeInside(position, dmhHeaderSize, imageSize()) || position >= positionLimit)
        return true;
    const uchar* const header = buffer.data() + position;
    DmhRecord record;
    record.position = quint32(position);
    record.dataCapacity = readU32(header + dataCapacityOffset);
    record.sdramSize = readU32(header + sdramSizeOffset);
    record.flashSize = readU32(header + flashSizeOffset);
    record.entryCount = readU16(header + entryCountOffset);
    record.entrySize = readU16(header + entrySizeOffset);

    sdram = record.sdramSize;
    flash = record.flashSize;

    const qint64 kept = entriesThatFit(position, record.entryCount);
    totalBlocks += qint32(kept);
    record.entries.reserve(int(kept));
    for (qint64 index = 0; index < kept; ++index) {
        const qint64 entryPosition = position + dmhHeaderSize + entryStride * index;
        const BlockEntry entry = BlockEntry::fromBytes(buffer.data() + entryPosition);
        if (entry.isSoftwareVersionBlock())
            readSoftwareVersion(position, entry);
        record.entries.append(entry);
        entryPositions.insert(entry.id, quint32(entryPosition));
    }
    records.append(record);
    return true;
}

void FlashImage::readSoftwareVersion(qint64 dmhPosition, const BlockEntry& entry)
{
    // Only the version bytes that lie inside the image are read; the text ends at the first zero.
    const qint64 start = dmhPosition + entry.offset;
    const qint64 available = qBound<qint64>(0, imageSize() - start, versionTextLength);
    if (available == 0) {
        softwareVersionText.clear();
        return;
    }
    const char* text = reinterpret_cast<const char*>(buffer.data() + start);
    softwareVersionText = QByteArray(text, int(qstrnlen(text, uint(available))));
}

quint32 FlashImage::entryOffset(int id) const
{
    return entryPositions.value(id, 1);
}
