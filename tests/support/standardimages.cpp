#include "standardimages.h"

#include "model/blockentry.h"

namespace {

// Sets every entry's CRC to the CRC of its block as it lies in `builder`'s image.
void setBlockCrcs(const ImageBuilder& builder, qint64 dmhPosition, QVector<TestEntry>& entries)
{
    for (TestEntry& entry : entries)
        entry.crc
            = ImageBuilder::crcOf(builder.image().mid(int(dmhPosition + entry.offset), int(entry.size)));
}

struct ImageWithDmh {
    QByteArray image;
    TestDmh dmh;
};

// The CRCs of fiveBlocks' entries come from its block bytes, so the DMH is made with the image.
ImageWithDmh fiveBlocksWithDmh()
{
    TestDmh dmh;
    dmh.flashSize = quint32(StandardImages::fiveBlocksLength);
    dmh.entries = { testEntry(0x10, 0x1000, 0x800, "boot"), testEntry(0xab, 0x2000, 0x100, "ssdata"),
        testEntry(0x20, 0x10000, 0x10000, "kernel", 0), testEntry(0x21, 0x20000, 0x10000, "fs"),
        testEntry(0x22, 0x30000, 0x1000, "boot") };
    ImageBuilder builder(StandardImages::fiveBlocksLength);
    const qint64 position = StandardImages::fiveBlocksDmhPosition;
    builder.block(position, dmh.entries[0], ImageBuilder::randomBytes(0x600, 1), false);
    builder.block(position, dmh.entries[1], QByteArray("V1.2.3\0", 7), false);
    builder.block(position, dmh.entries[2], ImageBuilder::randomBytes(1000, 2), true);
    builder.block(position, dmh.entries[3], ImageBuilder::randomBytes(0x8000, 3), false);
    builder.block(position, dmh.entries[4], ImageBuilder::randomBytes(0x1000, 4), false);
    setBlockCrcs(builder, position, dmh.entries);
    dmh.entries[3].crc = BlockEntry::noCrcMarker;
    return { builder.dmh(position, dmh).image(), dmh };
}

} // namespace

namespace StandardImages {

TestDmh fiveBlocksDmh()
{
    return fiveBlocksWithDmh().dmh;
}

QByteArray fiveBlocks()
{
    return fiveBlocksWithDmh().image;
}

QByteArray recordAndTwoPlain()
{
    TestDmh dmh;
    dmh.flashSize = quint32(recordAndTwoPlainLength);
    dmh.dataCapacity = 0x100000;
    dmh.entries = { testEntry(6, 0x10000, 0x10000, "kernel", 0), testEntry(5, 0x20000, 0x8000, "boot"),
        testEntry(7, 0x28000, 0x8000, "tail") };
    ImageBuilder builder(recordAndTwoPlainLength);
    builder.block(0, dmh.entries[0], ImageBuilder::randomBytes(1000, 1), true);
    builder.block(0, dmh.entries[1], ImageBuilder::randomBytes(0x8000, 2), false);
    builder.block(0, dmh.entries[2], ImageBuilder::randomBytes(0x8000, 3), false);
    setBlockCrcs(builder, 0, dmh.entries);
    return builder.dmh(0, dmh).image();
}

TestDmh fourBlocksDmh()
{
    TestEntry boot = testEntry(1, 0x10000, 0x20000, "boot", 0);
    TestEntry kernel = testEntry(2, 0x30000, 0x20000, "kernel", 1);
    kernel.crc = 0x12345678;
    TestEntry noCrc = testEntry(0x1a, 0x50000, 0x20000, "nocrc", 0);
    noCrc.crc = BlockEntry::noCrcMarker;
    TestEntry rootfs = testEntry(4, 0x70000, 0x8000, "rootfs", 1);
    rootfs.crc = BlockEntry::noCrcMarker;
    TestDmh dmh;
    dmh.flashSize = quint32(fourBlocksLength);
    dmh.dataCapacity = 0x400000;
    dmh.entries = { boot, kernel, noCrc, rootfs };
    return dmh;
}

QByteArray fourBlocks()
{
    return blocksImage(fourBlocksDmh(), fourBlocksLength);
}

QByteArray blocksImage(const TestDmh& dmh, qint64 length)
{
    ImageBuilder builder(length);
    builder.dmh(0, dmh);
    for (const TestEntry& entry : dmh.entries) {
        const bool withRecord = entry.flags == 0 && entry.size >= 0x10000;
        const QByteArray data = ImageBuilder::randomBytes(withRecord ? 1000 : entry.size, entry.id);
        builder.block(0, entry, data, withRecord);
    }
    return builder.image();
}

QByteArray twoDmhs()
{
    TestEntry boot = testEntry(0xab, 0x100, 0x1000, "boot");
    boot.crc = 0xabcd;
    boot.version = "v1.2.3";
    TestEntry kernel = testEntry(0x1f, 0x200, 0xFFFFFFFF, "kernel12");
    kernel.version = "20240101";
    TestEntry software = testEntry(0x00, 0x800, 0x40, "ssdata");
    software.year = 2053;
    TestDmh first;
    first.dataCapacity = 0x800000;
    first.sdramSize = 0x02000000;
    first.flashSize = 0x10000;
    first.entries = { boot, kernel, software };
    TestDmh second;
    second.dataCapacity = 0x01000000;
    second.sdramSize = 0x04000000;
    second.flashSize = 0xFFFFFFFF;
    second.entries = { testEntry(1), testEntry(2), testEntry(3), testEntry(4), testEntry(5) };
    return ImageBuilder(0x2000)
        .dmh(0x100, first)
        .bytes(0x100 + 0x800, QByteArray("V2.1.0\0junk", 11))
        .dmh(0x1000, second)
        .image();
}

QByteArray twoEntries()
{
    TestDmh dmh;
    dmh.sdramSize = 0x02000000;
    dmh.flashSize = 0x10000;
    dmh.entries = { testEntry(5, 0x100, 0x10, "five"), testEntry(6, 0x200, 0x10, "six") };
    return ImageBuilder(0x1000).dmh(0, dmh).image();
}

QByteArray emptyDmhBeforeTwoEntries()
{
    TestDmh empty;
    empty.sdramSize = 0x01000000;
    TestDmh full;
    full.sdramSize = 0x01000000;
    full.entries = { testEntry(7), testEntry(8) };
    return ImageBuilder(0x1000).dmh(0, empty).dmh(0x800, full).image();
}

QByteArray emptyDmh()
{
    return ImageBuilder(0x400).dmh(0x40, TestDmh {}).image();
}

QByteArray noDmh()
{
    return ImageBuilder(0x400).image();
}

} // namespace StandardImages
