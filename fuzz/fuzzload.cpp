// Arbitrary bytes through loading: the catalogue must describe only bytes that lie inside the image,
// stay within its ceilings, and add up to the block count.

#include "fuzzcheck.h"
#include "fuzzscratch.h"

#include "model/flashimage.h"
#include "model/imagelayout.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

using namespace ImageLayout;

namespace {

struct ExpectedScan {
    qint64 dmhCount = 0;
    qint64 entriesThatFit = 0;
};

// Every position where a DMH stands whose whole header lies inside the image, and how many of its
// entries lie whole inside it too, found the slow way.
ExpectedScan scanSlowly(const uchar* data, qint64 size)
{
    ExpectedScan expected;
    for (qint64 position = 0; position + dmhHeaderSize <= size && position < positionLimit; ++position) {
        const void* magic = memmem(data + position, size_t(size - position), dmhMagic, dmhMagicLength);
        if (!magic)
            break;
        position = static_cast<const uchar*>(magic) - data;
        if (position + dmhHeaderSize > size || data[position + recognitionByteOffset] != recognitionByte)
            continue;
        ++expected.dmhCount;
        const qint64 room = (size - position - dmhHeaderSize) / entryStride;
        expected.entriesThatFit += qMin<qint64>(readU16(data + position + entryCountOffset), room);
    }
    return expected;
}

void checkCatalogue(const FlashImage& image, const uchar* data, qint64 size)
{
    qint64 entriesKept = 0;
    qint64 previousPosition = -1;
    for (const DmhRecord& record : image.dmhRecords()) {
        FUZZ_CHECK(qint64(record.position) > previousPosition);
        previousPosition = record.position;
        FUZZ_CHECK(rangeInside(record.position, dmhHeaderSize, size));
        const uchar* header = data + record.position;
        FUZZ_CHECK(isDmhAt(header));
        FUZZ_CHECK(record.entryCount == readU16(header + entryCountOffset));
        FUZZ_CHECK(record.entrySize == readU16(header + entrySizeOffset));
        FUZZ_CHECK(record.flashSize == readU32(header + flashSizeOffset));

        // Entries that fit whole are kept, the rest are dropped: never more than the header claims.
        const qint64 room = (size - record.position - dmhHeaderSize) / entryStride;
        FUZZ_CHECK(record.entries.size() == qMin<qint64>(record.entryCount, room));
        // The entries hold the table's bytes, all of them, and nothing else (BlockEntry has no padding).
        const qint64 tablePosition = qint64(record.position) + dmhHeaderSize;
        FUZZ_CHECK(rangeInside(tablePosition, qint64(entryStride) * record.entries.size(), size));
        FUZZ_CHECK(record.entries.isEmpty()
            || std::memcmp(record.entries.constData(), data + tablePosition,
                   size_t(entryStride) * size_t(record.entries.size()))
                == 0);
        // Field by field, the first and last entries decode as the reference reader decodes them.
        if (!record.entries.isEmpty()) {
            for (const int index : { 0, int(record.entries.size()) - 1 })
                FUZZ_CHECK(record.entries[index]
                    == BlockEntry::fromBytes(data + tablePosition + qint64(entryStride) * index));
        }
        entriesKept += record.entries.size();
    }
    FUZZ_CHECK(image.blockCount() == entriesKept);
    FUZZ_CHECK(entriesKept <= FlashImage::maxTotalEntries);
    FUZZ_CHECK(image.dmhRecords().size() <= FlashImage::maxDmhCount);
    if (!image.dmhRecords().isEmpty())
        FUZZ_CHECK(image.flashSize() == image.dmhRecords().constLast().flashSize);

    // Every entry position recorded for an ID holds an entry with that ID.
    const QMap<int, quint32>& offsets = image.entryOffsets();
    for (auto it = offsets.constBegin(); it != offsets.constEnd(); ++it) {
        FUZZ_CHECK(rangeInside(it.value(), entryStride, size));
        FUZZ_CHECK(data[it.value()] == it.key());
    }
    FUZZ_CHECK(image.softwareVersion().size() <= versionTextLength);
}

// Loading the same bytes from a file gives the same result and catalogue as loading them from memory.
void checkFileLoad(const FlashImage& fromMemory, bool loaded, const std::uint8_t* data, std::size_t size)
{
    const FuzzScratch& scratch = FuzzScratch::instance();
    FUZZ_CHECK(scratch.write(QStringLiteral("image.bin"), reinterpret_cast<const char*>(data), qint64(size)));
    FlashImage fromFile;
    FUZZ_CHECK(fromFile.load(scratch.path(QStringLiteral("image.bin")).toStdWString()) == loaded);
    FUZZ_CHECK(fromFile.lastError() == fromMemory.lastError());
    FUZZ_CHECK(fromFile.imageSize() == qint64(size));
    FUZZ_CHECK(fromFile.blockCount() == fromMemory.blockCount());
    FUZZ_CHECK(fromFile.softwareVersion() == fromMemory.softwareVersion());
    FUZZ_CHECK(fromFile.entryOffsets() == fromMemory.entryOffsets());
    FUZZ_CHECK(fromFile.dmhRecords().size() == fromMemory.dmhRecords().size());
    for (int index = 0; index < fromFile.dmhRecords().size(); ++index) {
        const DmhRecord& left = fromFile.dmhRecords().at(index);
        const DmhRecord& right = fromMemory.dmhRecords().at(index);
        FUZZ_CHECK(left.position == right.position && left.entries.size() == right.entries.size());
        FUZZ_CHECK(left.entries.isEmpty()
            || std::memcmp(left.entries.constData(), right.entries.constData(),
                   size_t(left.entries.size()) * sizeof(BlockEntry))
                == 0);
    }

    // A path that names nothing, or a folder, fails with the path and "is not exist!", whatever came before.
    static bool missingPathsChecked = false;
    if (!missingPathsChecked) {
        missingPathsChecked = true;
        for (const QString& path : { scratch.path(QStringLiteral("missing.bin")), scratch.path(QString()) }) {
            FUZZ_CHECK(!fromFile.load(path.toStdWString()));
            FUZZ_CHECK(fromFile.lastError() == path.toUtf8() + "is not exist!");
            FUZZ_CHECK(fromFile.dmhRecords().isEmpty() && fromFile.imageSize() == 0);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ImageBuffer bytes;
    FUZZ_CHECK(bytes.allocate(qint64(size)));
    if (size > 0)
        std::memcpy(bytes.data(), data, size);

    FlashImage image;
    const bool loaded = image.loadBytes(std::move(bytes));
    FUZZ_CHECK(image.imageSize() == qint64(size));
    FUZZ_CHECK(std::memcmp(image.imageData(), data, size) == 0);

    // About one input in 61 also goes through a file, which costs a write and a read. The prime keeps
    // the inputs of the largest size, 64 KiB, out of it.
    if (size % 61 == 0)
        checkFileLoad(image, loaded, data, size);

    const ExpectedScan expected = scanSlowly(data, qint64(size));
    const bool overCeiling = expected.dmhCount > FlashImage::maxDmhCount
        || expected.entriesThatFit > FlashImage::maxTotalEntries;
    if (expected.dmhCount > 0 && !overCeiling) {
        FUZZ_CHECK(loaded);
        FUZZ_CHECK(image.lastError().isEmpty());
        FUZZ_CHECK(image.dmhRecords().size() == expected.dmhCount);
        FUZZ_CHECK(image.blockCount() == expected.entriesThatFit);
        checkCatalogue(image, data, qint64(size));
    } else {
        // A refused load keeps no catalogue.
        FUZZ_CHECK(!loaded);
        FUZZ_CHECK(image.dmhRecords().isEmpty());
        FUZZ_CHECK(image.blockCount() == 0);
        FUZZ_CHECK(image.entryOffsets().isEmpty());
        FUZZ_CHECK(image.softwareVersion().isEmpty());
        FUZZ_CHECK(
            image.lastError() == (expected.dmhCount == 0 ? "Can not find DMH." : "Too many DMH entries!"));
    }
    return 0;
}
