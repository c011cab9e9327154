#include "flashimage.h"

#include "dmhscan.h"
#include "imagelayout.h"
#include "softwareversion.h"

#include <QString>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ImageLayout;

namespace {

// How much of the image a scan covers between two progress reports.
constexpr qint64 progressStep = qint64(64) << 20;

// Closes the stream on every way out of load().
struct StreamCloser {
    FILE* stream;
    ~StreamCloser()
    {
        if (stream)
            std::fclose(stream);
    }
};

// Why the file at `path` opened but cannot be read as an image: it is a FIFO or a socket, which would
// keep the read waiting for a writer and never give a length. Checked without blocking, before any read.
enum class Unreadable { No, Stream };

FILE* openForRawReading(const std::wstring& path, Unreadable& unreadable)
{
    unreadable = Unreadable::No;
#ifdef Q_OS_WIN
    return _wfopen(path.c_str(), L"rb");
#else
    const QByteArray localPath = QString::fromStdWString(path).toLocal8Bit();
    // Without O_NONBLOCK, opening a FIFO waits until something opens it for writing.
    const int descriptor = ::open(localPath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    struct stat status { };
    const bool described = fstat(descriptor, &status) == 0;
    // A folder opens here but is no image; treat it like a file that is not there.
    if (!described || S_ISDIR(status.st_mode)) {
        const int reason = described ? EISDIR : errno;
        ::close(descriptor);
        errno = reason;
        return nullptr;
    }
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
        ::close(descriptor);
        unreadable = Unreadable::Stream;
        return nullptr;
    }
    // A file or a device (a card or eMMC read directly) is then read as usual, blocking.
    FILE* stream = nullptr;
    if (fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0)
        stream = fdopen(descriptor, "rb");
    if (!stream) {
        const int reason = errno;
        ::close(descriptor);
        errno = reason;
    }
    return stream;
#endif
}

// "PATH: the system's reason." for the call that just failed.
QString systemReason(const QString& path)
{
    return QStringLiteral("%1: %2.").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

FlashImage::~FlashImage()
{
    clear();
}

bool FlashImage::load(const std::wstring& path, ReadMode mode)
{
    clear();
    const QString name = QString::fromStdWString(path);
    sourceName = name;
    Unreadable unreadable = Unreadable::No;
    StreamCloser file { openForRawReading(path, unreadable) };
    if (unreadable == Unreadable::Stream) {
        lastErrorText = "read file failed!";
        lastErrorDetailText = QStringLiteral("%1 is a FIFO or a socket; an image is read from a file or a "
                                             "block device.")
                                  .arg(name);
        return false;
    }
    if (!file.stream) {
        // UTF-8 keeps every character of the path; the window decodes the message as UTF-8.
        lastErrorText = name.toUtf8() + "is not exist!";
        lastErrorDetailText = systemReason(name);
        return false;
    }
    qint64 length = -1;
    if (std::fseek(file.stream, 0, SEEK_END) == 0)
        length = qint64(ftello(file.stream));
    if (length < 0 || std::fseek(file.stream, 0, SEEK_SET) != 0) {
        lastErrorText = "read file failed!";
        lastErrorDetailText = systemReason(name);
        return false;
    }
    // Taken before a byte is read: a write to the file meanwhile leaves it a different identity.
    std::optional<FileIdentity> opened;
#ifndef Q_OS_WIN
    struct stat status { };
    if (fstat(fileno(file.stream), &status) == 0 && S_ISREG(status.st_mode))
        opened = FileIdentity::of(status);
#endif
    if (mode == ReadMode::Map && buffer.mapFile(fileno(file.stream), length))
        return loaded(name, opened);
    if (!buffer.allocate(length)) {
        lastErrorText = "Alloc memory failed!";
        lastErrorDetailText = QStringLiteral("%1 is %2 bytes; that much memory could not be had to read it.")
                                  .arg(name, QString::number(length));
        return false;
    }
    // The buffer is zero already, so a short read leaves zeros behind what it read.
    const size_t wanted = size_t(length);
    const size_t got = wanted == 0 ? 0 : std::fread(buffer.data(), 1, wanted, file.stream);
    if (got != wanted) {
        lastErrorText = "read file failed!";
        lastErrorDetailText = std::ferror(file.stream)
            ? systemReason(name)
            : QStringLiteral("%1 ended after %2 of its %3 bytes: it changed while it was read.")
                  .arg(name, QString::number(got), QString::number(length));
        return false;
    }
    std::fclose(file.stream);
    file.stream = nullptr;
    return loaded(name, opened);
}

bool FlashImage::loaded(const QString& path, const std::optional<FileIdentity>& identity)
{
    if (bytesReady)
        bytesReady(buffer.data(), imageSize());
    if (!findDmh(imageSize()))
        return false;
    loadedFilePath = path;
    loadedIdentity = identity;
    return true;
}

uchar* FlashImage::bytesToChange()
{
    loadedIdentity.reset();
    return buffer.data();
}

bool FlashImage::loadBytes(ImageBuffer&& bytes)
{
    clear();
    sourceName = QStringLiteral("The image");
    buffer = std::move(bytes);
    return findDmh(imageSize());
}

ImageBuffer FlashImage::takeBytes()
{
    ImageBuffer bytes = std::move(buffer);
    clear();
    return bytes;
}

bool FlashImage::clear()
{
    buffer.release();
    loadedFilePath.clear();
    loadedIdentity.reset();
    totalBlocks = 0;
    sdram = 0;
    flash = 0;
    records.clear();
    lastErrorText.clear();
    lastErrorDetailText.clear();
    ++generationCounter;
    return true;
}

bool FlashImage::findDmh(qint64 length)
{
    length = qBound<qint64>(0, length, imageSize());
    const uchar* const data = buffer.data();

    // Count while scanning: a flood of headers is refused at the cost of the scan up to the ceiling.
    Positions positions;
    qint64 entriesInAll = 0;
    const qint64 lastPosition = lastDmhPosition(length);
    // In steps when someone watches: a mapped image is read from the disk as it is scanned.
    const qint64 step = loadProgress ? progressStep : qMax<qint64>(lastPosition + 1, 1);
    for (qint64 from = 0; from <= lastPosition; from += step) {
        const qint64 last = qMin(lastPosition, from + step - 1);
        for (qint64 position = DmhScan::findNext(data, from, last); position >= 0;
             position = DmhScan::findNext(data, position + 1, last)) {
            positions.append(position);
            entriesInAll += entriesThatFit(position, readU16(data + position + entryCountOffset));
            if (positions.size() > maxDmhCount || entriesInAll > maxTotalEntries)
                return catalogue(positions, length);
        }
        if (loadProgress)
            loadProgress(last + 1, lastPosition + 1);
    }
    return catalogue(positions, length);
}

bool FlashImage::reloadChanged(qint64 length, const QVector<QPair<qint64, qint64>>& changedRanges)
{
    length = qBound<qint64>(0, length, imageSize());
    const qint64 lastPosition = lastDmhPosition(length);
    const auto headerChanged = [&changedRanges](qint64 position) {
        return std::any_of(
            changedRanges.cbegin(), changedRanges.cend(), [position](const QPair<qint64, qint64>& range) {
                return rangesOverlap(position, dmhHeaderSize, range.first, range.second);
            });
    };
    // Whether bytes form a DMH depends on its 28 header bytes alone: only headers that take in a changed
    // byte, or that the new end cuts, can come or go.
    Positions positions;
    for (const DmhRecord& record : records) {
        if (record.position <= lastPosition && !headerChanged(record.position))
            positions.append(record.position);
    }
    const uchar* const data = buffer.data();
    for (const auto& [start, changedLength] : changedRanges) {
        const qint64 last = qMin(start + changedLength - 1, lastPosition);
        for (qint64 position = DmhScan::findNext(data, qMax<qint64>(0, start - dmhHeaderSize + 1), last);
             position >= 0 && positions.size() <= maxDmhCount;
             position = DmhScan::findNext(data, position + 1, last))
            positions.append(position);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());

    // As a load of these bytes starts: no catalogue, and only the first `length` bytes.
    buffer = takeBytes();
    buffer.truncate(length);
    return catalogue(positions, length);
}

qint64 FlashImage::lastDmhPosition(qint64 length)
{
    // A magic is a DMH only when its whole header fits and its position fits in 32 bits.
    return qMin(length - dmhHeaderSize, positionLimit - 1);
}

bool FlashImage::catalogue(const Positions& positions, qint64 length)
{
    // Count before parsing anything: a refused load leaves no half catalogue behind.
    const uchar* const data = buffer.data();
    qint64 entriesInAll = 0;
    for (int index = 0; index < positions.size(); ++index) {
        const qint64 position = positions[index];
        entriesInAll += entriesThatFit(position, readU16(data + position + entryCountOffset));
        if (index + 1 > maxDmhCount || entriesInAll > maxTotalEntries) {
            lastErrorText = "Too many DMH entries!";
            lastErrorDetailText
                = QStringLiteral("%1 lists more than %2 DMHs or %3 entries in all (by %4 the count was %5 "
                                 "DMHs and %6 entries); no real image comes near that.")
                      .arg(sourceName, QString::number(maxDmhCount), QString::number(maxTotalEntries),
                          QStringLiteral("0x") + QString::number(position, 16), QString::number(index + 1),
                          QString::number(entriesInAll));
            return false;
        }
    }
    if (positions.isEmpty()) {
        lastErrorText = "Can not find DMH.";
        lastErrorDetailText = QStringLiteral("%1 holds no DMH: none of its %2 bytes starts the 12 bytes "
                                             "\"*^_^*DM(^o^)\" with 0x30 26 bytes after their start.")
                                  .arg(sourceName, QString::number(length));
        return false;
    }
    records.reserve(positions.size());
    IdPositions ids;
    for (const qint64 position : positions)
        parseDmhInto(position, ids);
    mergeEntryOffsets(ids);
    return true;
}

qint64 FlashImage::entriesThatFit(qint64 position, quint16 entryCount) const
{
    // Entries must lie whole inside the image, and their positions must fit the u32 of entryOffsets.
    const qint64 end = qMin(imageSize(), positionLimit);
    const qint64 room = end - position - dmhHeaderSize;
    return room <= 0 ? 0 : qMin<qint64>(entryCount, room / entryStride);
}

void FlashImage::parseDmhInto(qint64 position, IdPositions& ids)
{
    if (!rangeInside(position, dmhHeaderSize, imageSize()) || position >= positionLimit)
        return;
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
    record.entries = BlockEntry::fromTable(header + dmhHeaderSize, int(kept));
    const int versionEntry = noteEntryPositions(record.entries, position + dmhHeaderSize, ids);
    if (versionEntry >= 0)
        readSoftwareVersion(position, record.entries.at(versionEntry));
    records.append(record);
}

Q_NEVER_INLINE int FlashImage::noteEntryPositions(
    const QVector<BlockEntry>& entries, qint64 firstPosition, IdPositions& ids)
{
    // Runs once per entry of every DMH, so it does no more than it must: it notes each entry's position
    // under its ID and returns the index of the last software-version entry (-1: none), the only one
    // whose text survives the DMH. Out of line so that instrumented builds can leave this loop without
    // per-comparison callbacks (fuzz/coverage-ignore.txt).
    int versionEntry = -1;
    const BlockEntry* const table = entries.constData();
    for (int index = 0; index < entries.size(); ++index) {
        const BlockEntry& entry = table[index];
        ids.lastPosition[entry.id] = firstPosition + qint64(entryStride) * index;
        if (entry.isSoftwareVersionBlock())
            versionEntry = index;
    }
    return versionEntry;
}

void FlashImage::mergeEntryOffsets(const IdPositions& ids)
{
    // IDs are 8-bit, so this is at most 256 insertions however many entries were parsed; the last
    // entry with an ID wins, as when entries were inserted one by one.
    for (int id = 0; id < int(ids.lastPosition.size()); ++id) {
        if (ids.lastPosition[id] >= 0)
            entryPositions.insert(id, quint32(ids.lastPosition[id]));
    }
}

void FlashImage::readSoftwareVersion(qint64 dmhPosition, const BlockEntry& entry)
{
    // Only version bytes of the block itself that lie inside the image are read.
    const qint64 start = dmhPosition + entry.offset;
    const qint64 available
        = qBound<qint64>(0, qMin<qint64>(imageSize() - start, entry.size), versionTextLength);
    if (available == 0) {
        softwareVersionText.clear();
        return;
    }
    const char* text = reinterpret_cast<const char*>(buffer.data() + start);
    softwareVersionText = QByteArray(text, SoftwareVersion::textLength(text, int(available)));
}

quint32 FlashImage::entryOffset(int id) const
{
    // 1 for an ID never seen, deliberately: no entry can lie there (the first lies 28 bytes after its
    // magic), so a caller can tell "not recorded" from a position without a second lookup.
    return entryPositions.value(id, 1);
}
