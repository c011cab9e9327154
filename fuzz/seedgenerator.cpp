// Writes the fuzzers' seed corpus: small images, each made by the test-image builder to reach one path
// of loading, export or replacement. Usage: tessel-fuzz-seeds <folder>.

#include "imagebuilder.h"
#include "model/imagelayout.h"
#include "ops/record/blockinfo.h"

#include <QDir>
#include <QFile>
#include <QVector>
#include <QtGlobal>

#include <cstdio>

namespace {

struct Seed {
    const char* name;
    QByteArray bytes;
};

constexpr qint64 blockAlignment = BlockInfo::alignment;

// The selector the fuzz targets read from the last four bytes (entry, length mode, amount).
QByteArray selector(quint8 entryIndex, quint8 lengthMode, quint16 amount)
{
    const char bytes[4] = { char(entryIndex), char(lengthMode), char(amount & 0xFF), char(amount >> 8) };
    return QByteArray(bytes, 4);
}

ImageBuilder& withSelector(ImageBuilder& builder, quint8 entryIndex, quint8 lengthMode, quint16 amount)
{
    return builder.bytes(builder.image().size() - 4, selector(entryIndex, lengthMode, amount));
}

// The second pair's selector, in the four bytes before the first's (entry, length mode, amount).
QByteArray withSecondPair(QByteArray image, quint8 entryIndex, quint8 lengthMode, quint16 amount)
{
    return image.replace(image.size() - 8, 4, selector(entryIndex, lengthMode, amount));
}

// Three blocks back to back behind the table, one of them the software-version block.
QByteArray plainImage(quint8 entryIndex, quint8 lengthMode, quint16 amount)
{
    TestDmh dmh;
    dmh.flashSize = 0x1000;
    dmh.dataCapacity = 0x800;
    dmh.entries = { testEntry(1, 0x100, 0x80, "boot"), testEntry(2, 0x180, 0x100, "ssdata"),
        testEntry(0x1a, 0x280, 0x200, "kernel") };
    ImageBuilder builder(0x1000);
    builder.dmh(0, dmh)
        .block(0, dmh.entries[0], "bootcode", false)
        .block(0, dmh.entries[1], QByteArray("V2.1.0.1\0", 9), false)
        .block(0, dmh.entries[2], ImageBuilder::randomBytes(0x150, 7), false);
    return withSelector(builder, entryIndex, lengthMode, amount).image();
}

// One 64 KiB block that ends in a block-info record; the DMH sits inside the block it describes, the only
// place an aligned block fits in a 64 KiB input. The second entry lists the block behind it, which exists
// when the target extends the image by a copy of the input (bit 3 of the length mode).
QByteArray recordImage(quint8 flags, quint32 dataLength, bool damagedSignature, quint32 crc,
    quint8 lengthMode, quint16 amount, quint8 entryIndex = 0)
{
    TestEntry entry = testEntry(5, 0, quint32(blockAlignment), "app", flags);
    entry.crc = crc;
    TestDmh dmh;
    dmh.flashSize = quint32(2 * blockAlignment);
    dmh.entries = { entry, testEntry(6, quint32(blockAlignment), quint32(blockAlignment), "behind", flags) };
    ImageBuilder builder(blockAlignment);
    builder.block(0, entry, ImageBuilder::randomBytes(1000, 3), true)
        .blockInfo(blockAlignment - BlockInfo::recordSize, dataLength, 0x12345678)
        .dmh(0, dmh);
    if (damagedSignature)
        builder.bytes(blockAlignment - BlockInfo::recordSize + 11, "\x01");
    return withSelector(builder, entryIndex, lengthMode, amount).image();
}

// Blocks that a growing replacement may move: back to back, room behind the last one.
QByteArray growImage(quint32 gap, quint16 entrySize, quint32 capacity, quint8 entryIndex)
{
    TestDmh dmh;
    dmh.flashSize = 0x2000;
    dmh.dataCapacity = capacity;
    dmh.entrySize = entrySize;
    dmh.entries = { testEntry(1, 0x100, 0x100, "a"), testEntry(2, 0x200 + gap, 0x100, "b"),
        testEntry(3, 0x300 + gap, 0x80, "c") };
    ImageBuilder builder(0x2000);
    builder.dmh(0x40, dmh);
    for (const TestEntry& entry : dmh.entries)
        builder.block(0x40, entry, ImageBuilder::randomBytes(entry.size / 2, entry.id), false);
    return withSelector(builder, entryIndex, 2, 0x80).image();
}

// For the comparison target, which flips the bit chosen by the selector in a copy: ID 5 twice (the first
// 0x103 bytes long, so that comparing it ends in a stretch shorter than a word) and a block holding both.
QByteArray diffImage(quint8 entryIndex, quint8 lengthMode, quint16 amount)
{
    TestDmh dmh;
    dmh.flashSize = 0x1000;
    dmh.entries = { testEntry(5, 0x100, 0x103, "first"), testEntry(5, 0x300, 0x100, "second"),
        testEntry(6, 0xC0, 0x500, "holder") };
    ImageBuilder builder(0x1000);
    builder.dmh(0, dmh).bytes(0xC0, ImageBuilder::randomBytes(0x500, 11));
    return withSelector(builder, entryIndex, lengthMode, amount).image();
}

// A block longer than 64 KiB once the target extends the image by a copy of itself: comparisons then
// span several memcmp stretches.
QByteArray longBlockImage(quint8 entryIndex, quint8 lengthMode, quint16 amount)
{
    TestDmh dmh;
    dmh.flashSize = 0x18000;
    dmh.entries = { testEntry(7, 0x100, 0x17F00, "long") };
    ImageBuilder builder(0x8000);
    builder.dmh(0, dmh).bytes(0x100, ImageBuilder::randomBytes(0x7E00, 12));
    return withSelector(builder, entryIndex, lengthMode, amount).image();
}

// Layouts a replacement must refuse although each of its blocks would fit: an ID listed twice in one DMH,
// a DMH look-alike whose smaller flash size would cut off the image's end, a block that holds its own DMH,
// a DMH inside the entry table a growth rewrites, one over the entry CRC the record variant writes, and a
// raw block that a growth would move onto 64 KiB.
QVector<Seed> refusedLayouts()
{
    QVector<Seed> all;
    {
        TestDmh dmh;
        dmh.flashSize = 0x2000;
        dmh.dataCapacity = 0x1000;
        dmh.entries = { testEntry(2, 0x100, 0x100, "first"), testEntry(3, 0x200, 0x100, "other"),
            testEntry(2, 0x300, 0x80, "second") };
        ImageBuilder builder(0x2000);
        builder.dmh(0x40, dmh);
        all.append({ "grow-id-listed-twice", withSelector(builder, 0, 2, 0x40).image() });
    }
    {
        TestDmh dmh;
        dmh.flashSize = 0x1000;
        dmh.entries = { testEntry(1, 0x100, 0x100, "boot") };
        TestDmh lookAlike;
        lookAlike.flashSize = 0x600;
        ImageBuilder builder(0x1000);
        builder.dmh(0, dmh).dmh(0x800, lookAlike);
        all.append({ "look-alike-flash-size", withSelector(builder, 0, 1, 0x10).image() });
    }
    {
        TestDmh dmh;
        dmh.flashSize = 0x1000;
        dmh.entries = { testEntry(1, 0, 0x400, "self") };
        ImageBuilder builder(0x1000);
        builder.dmh(0, dmh);
        all.append({ "padded-own-dmh", withSelector(builder, 0, 1, 0x100).image() });
    }
    {
        TestDmh dmh;
        dmh.flashSize = 0x2000;
        dmh.entries = { testEntry(1, 0x1000, 0x400, "a"), testEntry(2, 0x1400, 0x400, "b") };
        TestDmh nested;
        nested.flashSize = 0x2000;
        ImageBuilder builder(0x2000);
        builder.dmh(0, dmh).dmh(ImageLayout::dmhHeaderSize + 48 + BlockEntry::crcOffset, nested);
        all.append({ "grow-nested-table", withSelector(builder, 1, 2, 0x200).image() });
    }
    {
        // The block behind the DMH, in the extension, ends in a record; a second header lies over its
        // entry's CRC.
        const TestEntry behind = testEntry(6, quint32(blockAlignment), quint32(blockAlignment), "behind", 0);
        TestDmh dmh;
        dmh.flashSize = quint32(2 * blockAlignment);
        dmh.entries = { testEntry(5, 0x1000, 0x1000, "front"), behind };
        TestDmh nested;
        nested.flashSize = quint32(2 * blockAlignment);
        ImageBuilder builder(blockAlignment);
        builder.blockInfo(blockAlignment - BlockInfo::recordSize, 100, 0x12345678)
            .dmh(0, dmh)
            .dmh(ImageLayout::dmhHeaderSize + 48 + BlockEntry::crcOffset, nested);
        all.append({ "record-crc-in-dmh", withSelector(builder, 1, 0x08 | 3, 50).image() });
    }
    {
        // A raw block at 0x8000 whose end, in the extension, holds a record's signature (copied from
        // 0x7FC0); growing the block before it by 0x8000 would move it onto 0x10000, where it would read
        // as a record.
        TestDmh dmh;
        dmh.flashSize = quint32(2 * blockAlignment);
        dmh.dataCapacity = quint32(4 * blockAlignment);
        dmh.entries = { testEntry(1, 0x1000, 0x7000, "plain"),
            testEntry(2, 0x8000, quint32(blockAlignment), "raw", 0) };
        ImageBuilder builder(blockAlignment);
        builder.blockInfo(0x8000 - BlockInfo::recordSize, 100, 0x12345678).dmh(0, dmh);
        all.append({ "grow-raw-onto-64k", withSelector(builder, 0, 0x08 | 2, 0x8000).image() });
    }
    return all;
}

QByteArray headerEvery(qint64 stride, qint64 size, int entryCount)
{
    TestDmh dmh;
    dmh.entryCount = entryCount;
    const QByteArray header = ImageBuilder::dmhHeader(dmh);
    ImageBuilder builder(size, '\0');
    for (qint64 position = 0; position < size; position += stride)
        builder.bytes(position, header);
    return builder.image();
}

QVector<Seed> seeds()
{
    QVector<Seed> all;
    for (quint8 mode = 0; mode < 8; ++mode)
        all.append({ "plain", plainImage(mode, mode, quint16(mode * 0x40)) });

    all.append({ "record", recordImage(0, 1000, false, 0, 0, 0) });
    all.append({ "record-longest-fit", recordImage(0, 1000, false, 0, 4, 0) });
    all.append({ "record-one-too-long", recordImage(0, 1000, false, 0, 5, 0) });
    all.append({ "record-empty-data", recordImage(0, 0, false, 0, 6, 0) });
    all.append({ "record-flags-1", recordImage(1, 1000, false, 0, 1, 0x100) });
    all.append({ "record-damaged-signature", recordImage(0, 1000, true, 0, 0, 0) });
    all.append({ "record-length-beyond-block", recordImage(0, 0x20000, false, 0, 3, 500) });
    all.append({ "record-ncrc", recordImage(0, 1000, false, 0x4352434E, 3, 2000) });
    all.append({ "record-behind-dmh", recordImage(0, 1000, false, 0, 0x08 | 3, 3000, 1) });
    all.append({ "record-behind-dmh-export", recordImage(0, 1000, false, 0, 0x08, 0, 1) });
    all.append({ "record-behind-dmh-padded", recordImage(1, 1000, false, 0, 0x08 | 1, 0x100, 1) });

    // Two pairs in one run: the record refreshed twice (the first time empty, since a replacement read
    // from the input's start would hold its DMH), and a growth followed by a block it moved.
    all.append({ "two-pairs-record-twice",
        withSecondPair(recordImage(0, 1000, false, 0, 0x08 | 6, 0, 1), 1, 3, 3000) });
    all.append({ "two-pairs-grow-then-moved", withSecondPair(growImage(0, 48, 0x1000, 0), 1, 1, 0x10) });
    // The growth's bytes start with the input, DMH and all: the second pair sees the DMH they brought.
    all.append({ "two-pairs-dmh-brought-in", withSecondPair(growImage(0, 48, 0x1000, 0), 0, 1, 0x10) });
    all.append({ "grow-first", growImage(0, 48, 0x1000, 0) });
    all.append({ "grow-middle", growImage(0, 48, 0x1000, 1) });
    all.append({ "grow-last", growImage(0, 48, 0x1000, 2) });
    all.append({ "grow-over-capacity", growImage(0, 48, 0x2a0, 0) });
    all.append({ "grow-with-gap", growImage(0x10, 48, 0x1000, 0) });
    all.append({ "grow-entry-size-0130", growImage(0, 0x0130, 0x1000, 0) });
    all += refusedLayouts();

    {
        TestDmh first;
        first.entries = { testEntry(1, 0x100, 0x40), testEntry(2, 0x140, 0x40), testEntry(3, 0x180, 0x40) };
        TestDmh second;
        second.flashSize = 0x800;
        second.entries = { testEntry(2, 0x40 + 5 * 48, 0x20, "dup"), testEntry(4), testEntry(5), testEntry(6),
            testEntry(7) };
        all.append(
            { "two-dmhs-duplicate-id", ImageBuilder(0x800).dmh(0x10, first).dmh(0x400, second).image() });
    }
    {
        TestDmh empty;
        TestDmh full;
        full.flashSize = 0x400;
        full.entries = { testEntry(9, 0x100, 0x20, "later") };
        all.append({ "empty-dmh-first", ImageBuilder(0x400).dmh(0, empty).dmh(0x200, full).image() });
    }
    {
        TestDmh dmh;
        dmh.entryCount = 10;
        dmh.entries = { testEntry(1, 0, 0x10), testEntry(2, 0x10, 0x10), testEntry(3, 0x20, 0x10) };
        QByteArray image = ImageBuilder(0x100).image() + ImageBuilder::dmhHeader(dmh);
        all.append({ "entries-past-end", image });
    }
    {
        TestDmh dmh;
        dmh.entryCount = 1;
        const QByteArray header = ImageBuilder::dmhHeader(dmh);
        all.append({ "magic-near-end", ImageBuilder(0x200).image() + header.left(27) });
        all.append({ "header-exactly-at-end", ImageBuilder(0x200).image() + header });
    }
    {
        TestDmh dmh;
        dmh.flashSize = 0x800;
        dmh.entries = { testEntry(1, 0xFFFFFF00, 0x200, "wrap"), testEntry(2, 0x100, 0xFFFFFFF0, "huge"),
            testEntry(3, 0x10000, 0, "zero", 0), testEntry(4, 0x7F0, 0x20, "edge") };
        all.append({ "wrapping-offsets", ImageBuilder(0x800).dmh(0x20, dmh).image() });
    }
    for (quint32 flashSize : { 0u, 0x100000u, 0x80000000u, 0xFFFFFFFFu }) {
        TestDmh dmh;
        dmh.flashSize = flashSize;
        dmh.entries = { testEntry(1, 0x100, 0x100, "blk") };
        all.append({ "flash-size", ImageBuilder(0x400).dmh(0, dmh).image() });
    }
    {
        TestDmh dmh;
        dmh.entries = { testEntry(1, 0x3F0, 0x40, "ssdata") };
        all.append({ "ssdata-past-end", ImageBuilder(0x400).dmh(0, dmh).image() });
        dmh.entries = { testEntry(1, 0x100, 0x40, "ssdata") };
        all.append(
            { "ssdata-no-zero", ImageBuilder(0x200).dmh(0, dmh).bytes(0x100, QByteArray(24, 'v')).image() });
        dmh.entries = { testEntry(1, 0x100, 0x40, "ABCDEFGH"), testEntry(2, 0x140, 0x40, "ssdataXY") };
        all.append({ "names-without-zero", ImageBuilder(0x200).dmh(0, dmh).image() });
    }
    {
        TestDmh dmh;
        dmh.entries = { testEntry(1) };
        QByteArray header = ImageBuilder::dmhHeader(dmh);
        header[ImageLayout::recognitionByteOffset] = 0x31;
        all.append({ "wrong-recognition-byte", ImageBuilder(0x100).bytes(0x10, header).image() });
    }
    all.append({ "dense-headers-27", headerEvery(27, 0x1000, 65535) });
    all.append({ "dense-headers-28", headerEvery(28, 0x1000, 65535) });
    all.append({ "empty-headers-39", headerEvery(39, 0x1000, 0) });
    all.append({ "empty-file", QByteArray() });
    all.append({ "magic-only", QByteArray(ImageLayout::dmhMagic, ImageLayout::dmhMagicLength) });

    all.append({ "diff-flip-in-word-tail", diffImage(0, 0, 0x202) });
    all.append({ "diff-flip-in-second-of-id", diffImage(0, 1, 0x3FF) });
    all.append({ "diff-flip-in-holder-only", diffImage(0, 2, 0x250) });
    all.append({ "diff-cut-through-blocks", diffImage(0, 0x10, 0x280) });
    all.append({ "diff-lengthened", diffImage(0, 0x20, 0x123) });
    all.append({ "diff-flip-after-64k", longBlockImage(1, 0x08, 0x0800) });
    // The first entry's offset and size: its table lies at 0x1c, each field 4 bytes after the last.
    all.append({ "diff-flip-offset-and-size", diffImage(0, 0x30, 0x20) });
    return all;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot make %s\n", argv[1]);
        return 1;
    }
    const QVector<Seed> all = seeds();
    for (int index = 0; index < all.size(); ++index) {
        const QString name
            = QStringLiteral("%1-%2.bin").arg(index, 2, 10, QLatin1Char('0')).arg(all[index].name);
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(all[index].bytes) != all[index].bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
            return 1;
        }
    }
    std::printf("wrote %d seeds\n", int(all.size()));
    return 0;
}
