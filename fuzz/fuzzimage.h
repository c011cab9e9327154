#pragma once

#include "fuzzcheck.h"
#include "fuzzselector.h"

#include "model/flashimage.h"
#include "model/imagelayout.h"
#include "ops/base/blocklocation.h"
#include "ops/write/outputplan.h"
#include "ops/write/planwriter.h"

#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

// What the block-operation targets share: an input loaded as an image, and the entry it selects.
struct FuzzImage {
    FlashImage image;
    // False when the bytes hold more DMHs or entries than the block operations look at: such an input
    // is not loaded at all.
    bool worthTesting = false;
    bool loaded = false;

    // With `extended`, the input is followed by 64 KiB made of its own bytes over again: a block aligned
    // to 64 KiB then fits behind its DMH, which no 64 KiB input could hold on its own. Every magic that
    // reaches into the extension is broken, so such a block holds no copy of the DMH (a replacement
    // would refuse to overwrite it).
    FuzzImage(const std::uint8_t* data, std::size_t size, bool extended)
    {
        const qint64 total = qint64(size) + (extended ? extension : 0);
        ImageBuffer bytes;
        FUZZ_CHECK(bytes.allocate(total));
        if (size == 0)
            std::memset(bytes.data(), 0xFF, size_t(total));
        for (qint64 position = 0; size > 0 && position < total; position += qint64(size))
            std::memcpy(bytes.data() + position, data, size_t(qMin<qint64>(qint64(size), total - position)));
        // Counted with the copies, so that the inputs tested (and so each run's cost) stay as they were.
        worthTesting = fewDmhsAndEntries(bytes.data(), total);
        if (!worthTesting)
            return;
        breakMagicsFrom(bytes.data(), qint64(size), total);
        loaded = image.loadBytes(std::move(bytes));
    }

    static constexpr qint64 extension = 0x10000;

    // The selected entry, counted over all DMHs, found again the way a table row finds it: by its ID text.
    std::optional<BlockLocation> select(const FuzzSelector& selector) const
    {
        const int total = image.blockCount();
        if (!loaded || total == 0)
            return std::nullopt;
        int remaining = selector.entryIndex % total;
        for (const DmhRecord& dmh : image.dmhRecords()) {
            if (remaining < dmh.entries.size())
                return findBlock(image.dmhRecords(), dmh.entries.at(remaining).idText());
            remaining -= dmh.entries.size();
        }
        return std::nullopt;
    }

private:
    // Floods of headers and entries are the load target's business; here they would only slow every run.
    static constexpr int mostDmhs = 16;
    static constexpr qint64 mostEntries = 256;

    // Sets the top bit of the last byte of every magic that ends at or after `from`: no magic byte has it,
    // so no new magic appears. (The C library's search, not the loader's: it costs no coverage callbacks.)
    static void breakMagicsFrom(uchar* bytes, qint64 from, qint64 total)
    {
        const qint64 lastByte = ImageLayout::dmhMagicLength - 1;
        for (qint64 position = qMax<qint64>(0, from - lastByte); position + lastByte < total; ++position) {
            const void* magic = memmem(bytes + position, size_t(total - position), ImageLayout::dmhMagic,
                ImageLayout::dmhMagicLength);
            if (!magic)
                break;
            position = static_cast<const uchar*>(magic) - bytes;
            bytes[position + lastByte] |= 0x80;
        }
    }

    static bool fewDmhsAndEntries(const uchar* bytes, qint64 total)
    {
        int dmhs = 0;
        qint64 entries = 0;
        for (qint64 position = 0; position + ImageLayout::dmhHeaderSize <= total; ++position) {
            const void* magic = memmem(bytes + position, size_t(total - position), ImageLayout::dmhMagic,
                ImageLayout::dmhMagicLength);
            if (!magic)
                break;
            position = static_cast<const uchar*>(magic) - bytes;
            if (position + ImageLayout::dmhHeaderSize > total)
                break;
            ++dmhs;
            entries += qMin<qint64>(ImageLayout::readU16(bytes + position + ImageLayout::entryCountOffset),
                (total - position - ImageLayout::dmhHeaderSize) / ImageLayout::entryStride);
            if (dmhs > mostDmhs || entries > mostEntries)
                return false;
        }
        return true;
    }
};

// Copies of a whole image made anew on every run would each be a chunk too large for ASan's pools (a
// 128 KiB image), mapped, faulted in and unmapped again each time: that took a fifth of the replace
// target's time. The targets keep such buffers from run to run instead; reserve() never shrinks them.
inline void copyInto(QByteArray& buffer, const uchar* data, qint64 length)
{
    buffer.reserve(int(length));
    buffer.resize(int(length));
    if (length > 0)
        std::memcpy(buffer.data(), data, size_t(length));
}

// The bytes a plan makes, written to memory the way the writer streams them to a file.
inline void writeInto(QByteArray& output, const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    // Reserved first: emptied without it, the buffer would give its memory back.
    output.reserve(int(plan.length));
    output.resize(0);
    QBuffer device(&output);
    FUZZ_CHECK(device.open(QIODevice::WriteOnly));
    FUZZ_CHECK(writePlan(device, imageData, imageSize, plan));
    FUZZ_CHECK(output.size() == plan.length);
}

inline QByteArray writtenBytes(const uchar* imageData, qint64 imageSize, const OutputPlan& plan)
{
    QByteArray output;
    writeInto(output, imageData, imageSize, plan);
    return output;
}
