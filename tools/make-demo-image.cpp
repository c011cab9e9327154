// Writes samples/demo.bin: a 2 MiB flash image with two DMHs and ten blocks, for trying the program
// out. The output is the same on every run (fixed contents, seeds and times), so the committed file
// can be checked against its generator.
//
//     make-demo-image <output.bin>

#include "imagebuilder.h"

#include "model/flashimage.h"
#include "ops/record/blockinfo.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>
#include <QVector>

#include <cstdio>

namespace {

constexpr qint64 flashSize = 0x200000;

struct DemoBlock {
    quint8 id;
    const char* name;
    const char* version;
    quint32 offset;
    quint32 size;
    // Blocks with flags 0 on 64 KiB boundaries end in a block-info record; the others are raw.
    quint8 flags;
    bool keepsNoCrc;
    QByteArray data;
    StampTime built;
};

struct DemoDmh {
    qint64 position;
    TestDmh header;
    QVector<DemoBlock> blocks;
};

// Printable banner followed by pseudo-random bytes that stand in for compressed code.
QByteArray bannerThenNoise(const QByteArray& banner, int length, quint32 seed)
{
    QByteArray data = banner;
    data += ImageBuilder::randomBytes(length - banner.size(), seed);
    return data;
}

QByteArray environmentText()
{
    return QByteArray("bootdelay=1\0baudrate=115200\0bootcmd=run flashboot\0ipaddr=192.168.1.10\0"
                      "serverip=192.168.1.1\0ethaddr=00:1a:2b:3c:4d:5e\0\0",
        103);
}

QByteArray softwareVersionData()
{
    // The version text the summary shows, ended by a zero byte, then the rest of the block's data.
    QByteArray data("TSL-2.1.0.1-20251103");
    data += '\0';
    data += "model=TS-200\nregion=EU\nhw=rev.C\n";
    return data;
}

QVector<DemoDmh> demoLayout()
{
    DemoDmh boot;
    boot.position = 0;
    boot.header.dataCapacity = 0x100000;
    boot.header.sdramSize = 0x08000000;
    boot.header.flashSize = flashSize;
    boot.blocks = {
        { 1, "uboot", "2020.04", 0x010000, 0x040000, 0, false,
            bannerThenNoise("U-Boot 2020.04 (Nov 03 2025 - 09:12:44 +0000)", 0x2E7C0, 101),
            { 2025, 11, 3, 9, 12, 44 } },
        { 2, "nvram", "1", 0x050000, 0x010000, 1, false, environmentText(), { 2025, 11, 3, 9, 13, 2 } },
        { 3, "ssdata", "2.1.0.1", 0x060000, 0x010000, 0, false, softwareVersionData(),
            { 2025, 11, 3, 9, 20, 31 } },
        { 4, "logo", "1.2", 0x070000, 0x020000, 0, false, bannerThenNoise("LOGO", 0x11A4C, 104),
            { 2025, 10, 14, 16, 45, 0 } },
        { 5, "kernel", "5.10.110", 0x090000, 0x060000, 0, false,
            bannerThenNoise("Linux-5.10.110", 0x4C3E8, 105), { 2025, 11, 2, 22, 5, 17 } },
        { 6, "dtb", "1.0.3", 0x0F0000, 0x008000, 1, false, bannerThenNoise("\xD0\x0D\xFE\xED", 0x5F10, 106),
            { 2025, 11, 2, 22, 6, 3 } },
    };

    DemoDmh system;
    system.position = 0x100000;
    system.header.dataCapacity = 0x100000;
    system.header.sdramSize = 0x08000000;
    system.header.flashSize = flashSize;
    system.blocks = {
        { 7, "rootfs", "1.4.2", 0x010000, 0x0A0000, 0, false, bannerThenNoise("hsqs", 0x8D000, 107),
            { 2025, 11, 3, 8, 58, 10 } },
        { 8, "appfs", "3.0.1", 0x0B0000, 0x030000, 0, false, bannerThenNoise("hsqs", 0x21F00, 108),
            { 2025, 11, 3, 9, 1, 55 } },
        { 9, "config", "1", 0x0E0000, 0x010000, 1, true, QByteArray("[network]\ndhcp=on\n[display]\n"),
            { 2025, 9, 30, 12, 0, 0 } },
        { 10, "factory", "0.9", 0x0F0000, 0x00C000, 1, false, bannerThenNoise("CAL0", 0x3000, 110),
            { 2024, 6, 18, 7, 30, 0 } },
    };
    return { boot, system };
}

TestEntry entryFor(const DemoBlock& block)
{
    TestEntry entry = testEntry(block.id, block.offset, block.size, block.name, block.flags);
    entry.version = block.version;
    entry.year = block.built.year;
    entry.month = block.built.month;
    entry.day = block.built.day;
    entry.hour = block.built.hour;
    entry.minute = block.built.minute;
    entry.second = block.built.second;
    return entry;
}

ImageBuilder buildImage(const QVector<DemoDmh>& layout)
{
    ImageBuilder builder(flashSize);
    for (const DemoDmh& dmh : layout) {
        TestDmh header = dmh.header;
        for (const DemoBlock& block : dmh.blocks) {
            TestEntry entry = entryFor(block);
            const qint64 start = dmh.position + block.offset;
            builder.block(dmh.position, entry, block.data, false);
            if (block.flags == 0)
                builder.blockInfo(start + block.size - BlockInfo::recordSize, quint32(block.data.size()),
                    ImageBuilder::crcOf(block.data), block.built);
            entry.crc = block.keepsNoCrc
                ? BlockEntry::noCrcMarker
                : ImageBuilder::crcOf(builder.image().mid(int(start), int(block.size)));
            header.entries.append(entry);
        }
        builder.dmh(dmh.position, header);
    }
    return builder;
}

// Reads the image back the way the program does, so a layout mistake fails here and not in front of
// a new user.
bool readsBack(const QByteArray& image, const QVector<DemoDmh>& layout)
{
    ImageBuffer buffer;
    if (!buffer.allocate(image.size()))
        return false;
    std::copy(image.cbegin(), image.cend(), buffer.data());
    FlashImage flash;
    if (!flash.loadBytes(std::move(buffer))) {
        std::fprintf(stderr, "make-demo-image: %s\n", flash.lastError().constData());
        return false;
    }
    if (flash.dmhRecords().size() != layout.size() || flash.flashSize() != quint32(image.size())
        || flash.softwareVersion() != "TSL-2.1.0.1-20251103")
        return false;
    for (int d = 0; d < layout.size(); ++d) {
        const DmhRecord& record = flash.dmhRecords().at(d);
        if (record.entries.size() != layout.at(d).blocks.size())
            return false;
        for (int e = 0; e < record.entries.size(); ++e) {
            const bool expectRecord = layout.at(d).blocks.at(e).flags == 0;
            if (BlockInfo::hasBlockInfo(
                    flash.imageData(), flash.imageSize(), record.position, record.entries.at(e))
                != expectRecord)
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-demo-image <output.bin>\n");
        return 2;
    }
    const QVector<DemoDmh> layout = demoLayout();
    const ImageBuilder builder = buildImage(layout);
    if (!readsBack(builder.image(), layout)) {
        std::fprintf(stderr, "make-demo-image: the image does not read back as laid out\n");
        return 1;
    }

    QSaveFile output(QString::fromLocal8Bit(argv[1]));
    if (!output.open(QIODevice::WriteOnly) || output.write(builder.image()) != builder.image().size()
        || !output.commit()) {
        std::fprintf(stderr, "make-demo-image: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
