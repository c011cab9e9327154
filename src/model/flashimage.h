#pragma once

#include "dmhrecord.h"
#include "fileidentity.h"
#include "imagebuffer.h"
#include "progress.h"
#include "softwareversion.h"

#include <QByteArray>
#include <QMap>
#include <QPair>
#include <QVarLengthArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <array>
#include <optional>
#include <string>

// One flash image in memory with the catalogue parsed from it: every DMH, its entries, the target's
// sizes, the block count and the software version. Failures are a false result plus lastError().
class FlashImage {
public:
    // Ceilings far above any real image (IDs are 8-bit), so that a file of densely overlapping headers
    // cannot make the catalogue outgrow the machine. Counted over all DMHs of one load.
    static constexpr qint64 maxTotalEntries = 65535;
    static constexpr qint64 maxDmhCount = 1024;

    FlashImage() = default;
    ~FlashImage();
    FlashImage(const FlashImage&) = delete;
    FlashImage& operator=(const FlashImage&) = delete;

    // How load() holds the file's bytes.
    enum class ReadMode {
        // Read whole into memory of its own: the image stays as read, whatever happens to the file.
        Copy,
        // Mapped privately where the system can (a copy otherwise): no second copy of a large image and
        // no fresh memory to fault in, for a short-lived reader that treats a file shrinking under it
        // (SIGBUS) as an input that could not be read.
        Map,
    };

    [[nodiscard]] bool load(const std::wstring& path, ReadMode mode = ReadMode::Copy);
    // Told how far the scan of each later load() has come (a mapped image is read as it is scanned).
    void setProgress(ProgressCallback progress) { loadProgress = std::move(progress); }
    // Told where each later load()'s bytes lie once they are in memory, before they are scanned: other
    // work on the whole file (its digest) can then run beside the scan instead of after it.
    using BytesReady = std::function<void(const uchar* data, qint64 size)>;
    void setBytesReady(BytesReady ready) { bytesReady = std::move(ready); }
    // The same as load() for bytes already in memory (fuzzers, benchmarks, tools that read elsewhere).
    [[nodiscard]] bool loadBytes(ImageBuffer&& bytes);
    // Hands the image's bytes over (to be changed and loaded again) and clears the image.
    ImageBuffer takeBytes();
    // The same as loadBytes() of the image's own bytes after they were changed in `changedRanges`
    // (positions and lengths) and cut to `length`, but only the headers those changes can touch are looked
    // at again: the rest of the catalogue's DMHs stand where they stood.
    [[nodiscard]] bool reloadChanged(qint64 length, const QVector<QPair<qint64, qint64>>& changedRanges);
    bool clear();
    bool findDmh(qint64 length);
    quint32 entryOffset(int id) const;

    // The version text's bytes, up to its first zero (SoftwareVersion::displayText shows them).
    const QByteArray& softwareVersion() const { return softwareVersionText; }
    const QByteArray& lastError() const { return lastErrorText; }
    // What lies behind lastError(), in plain English with the file and the numbers: the system's reason,
    // a size, a count. Empty when there was no failure.
    const QString& lastErrorDetail() const { return lastErrorDetailText; }

    const uchar* imageData() const { return buffer.data(); }
    // Writable, for the operations that change the image in memory (a growth, the pairs of a chain). From
    // then on the image no longer claims to hold its file's bytes: loadedFile() is none.
    uchar* bytesToChange();
    qint64 imageSize() const { return buffer.size(); }
    // Whether the bytes are the file's own pages, mapped (ReadMode::Map), rather than a copy.
    bool mapsItsFile() const { return buffer.mapsAFile(); }
    // The regular file load() read the image from, as it was opened (before a byte was read), while the
    // image in memory holds that file's bytes as read; none for bytes given in memory, after a failed load,
    // and once the bytes were handed out to be changed. A writer may share that file's unchanged ranges.
    const std::optional<FileIdentity>& loadedFile() const { return loadedIdentity; }
    const QString& loadedPath() const { return loadedFilePath; }
    qint32 blockCount() const { return totalBlocks; }
    quint32 sdramSize() const { return sdram; }
    quint32 flashSize() const { return flash; }
    const QVector<DmhRecord>& dmhRecords() const { return records; }
    const QMap<int, quint32>& entryOffsets() const { return entryPositions; }

    // Changes with every clear(), so a catalogue copied earlier can tell whether it still describes
    // the bytes in memory.
    quint64 generation() const { return generationCounter; }

private:
    // DMH positions in increasing order; rarely more than a few.
    using Positions = QVarLengthArray<qint64, 64>;

    static qint64 lastDmhPosition(qint64 length);
    bool loaded(const QString& path, const std::optional<FileIdentity>& identity);
    bool catalogue(const Positions& positions, qint64 length);

    // The last entry position of every 8-bit ID seen while parsing (-1: not seen), merged into
    // entryOffsets once.
    struct IdPositions {
        std::array<qint64, 256> lastPosition;
        IdPositions() { lastPosition.fill(-1); }
    };

    void parseDmhInto(qint64 position, IdPositions& ids);
    static int noteEntryPositions(const QVector<BlockEntry>& entries, qint64 firstPosition, IdPositions& ids);
    void mergeEntryOffsets(const IdPositions& ids);
    qint64 entriesThatFit(qint64 position, quint16 entryCount) const;
    void readSoftwareVersion(qint64 dmhPosition, const BlockEntry& entry);

    ImageBuffer buffer;
    ProgressCallback loadProgress;
    BytesReady bytesReady;
    qint32 totalBlocks = 0;
    quint32 sdram = 0;
    quint32 flash = 0;
    QByteArray softwareVersionText;
    QVector<DmhRecord> records;
    QMap<int, quint32> entryPositions;
    QByteArray lastErrorText;
    QString lastErrorDetailText;
    // The image as the explanations name it: its path, or "The image" for bytes given in memory.
    QString sourceName;
    QString loadedFilePath;
    std::optional<FileIdentity> loadedIdentity;
    quint64 generationCounter = 0;
};
