#include "testimages.h"

#include "imagebuilder.h"

#include <QDir>

namespace {

QString written(const ImageBuilder& builder, const QString& folder, const QString& fileName)
{
    const QString path = QDir(folder).filePath(fileName);
    if (!builder.writeTo(path))
        qFatal("cannot write the test image %s", qPrintable(path));
    return path;
}

} // namespace

namespace TestImages {

QString writeTwoDmhImage(const QString& folder)
{
    TestEntry boot = testEntry(0xab, 0x100, 0x1000, "boot");
    boot.crc = 0xabcd;
    boot.version = "v1.2.3";
    TestEntry kernel = testEntry(0x1f, 0x200, 0xFFFFFFFF, "kernel12");
    kernel.version = "20240101";
    TestEntry software = testEntry(0x00, 0x800, 0x40, "ssdata");
    software.year = 2053;
    TestDmh first;
    first.flashSize = 0x10000;
    first.entries = { boot, kernel, software };
    TestDmh second;
    second.sdramSize = 0x04000000;
    second.flashSize = 0xFFFFFFFF;
    second.entries = { testEntry(1), testEntry(2), testEntry(3), testEntry(4), testEntry(5) };
    ImageBuilder builder(0x2000);
    builder.dmh(0x100, first).bytes(0x100 + 0x800, QByteArray("V2.1.0\0junk", 11)).dmh(0x1000, second);
    return written(builder, folder, QStringLiteral("twodmh.bin"));
}

QString writeSmallImage(const QString& folder, const QString& fileName)
{
    TestDmh dmh;
    dmh.sdramSize = 0x02000000;
    dmh.flashSize = 0x10000;
    dmh.entries = { testEntry(5, 0x100, 0x10, "five"), testEntry(6, 0x200, 0x10, "six") };
    return written(ImageBuilder(0x1000).dmh(0, dmh), folder, fileName);
}

QString writeEmptyFirstDmhImage(const QString& folder)
{
    TestDmh empty;
    empty.sdramSize = 0x01000000;
    TestDmh full;
    full.sdramSize = 0x01000000;
    full.entries = { testEntry(7), testEntry(8) };
    return written(
        ImageBuilder(0x1000).dmh(0, empty).dmh(0x800, full), folder, QStringLiteral("emptyfirst.bin"));
}

QString writeEmptyDmhImage(const QString& folder)
{
    return written(ImageBuilder(0x400).dmh(0x40, TestDmh {}), folder, QStringLiteral("empty.bin"));
}

QString writeNoDmhFile(const QString& folder)
{
    return written(ImageBuilder(0x400), folder, QStringLiteral("nodmh.bin"));
}

} // namespace TestImages
