#include "benchimages.h"

#include "imagebuilder.h"
#include "pagemode.h"

#include "model/flashimage.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include <fcntl.h>

namespace BenchImages {

namespace {

// A fast generator (splitmix64): gigabytes of test data in well under a second, always the same bytes.
class RandomFill {
public:
    explicit RandomFill(quint64 seed)
        : state(seed)
    {
    }

    void fill(char* bytes, qint64 length)
    {
        qint64 done = 0;
        for (; done + 8 <= length; done += 8) {
            const quint64 value = next();
            std::memcpy(bytes + done, &value, 8);
        }
        const quint64 tail = next();
        std::memcpy(bytes + done, &tail, size_t(length - done));
    }

    QByteArray bytes(qint64 length)
    {
        QByteArray data(int(length), Qt::Uninitialized);
        fill(data.data(), length);
        return data;
    }

private:
    quint64 next()
    {
        quint64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    quint64 state;
};

// Bump when the layout changes, so that stale images from an older run are not reused.
const char layoutVersion[] = "v1";

TestDmh dmhOf(qint64 imageSize, const QVector<TestEntry>& entries)
{
    TestDmh dmh;
    dmh.flashSize = quint32(imageSize);
    dmh.entries = entries;
    return dmh;
}

QByteArray realisticImage(qint64 size)
{
    const qint64 unit = size / 16;
    RandomFill random(size);
    ImageBuilder image(size);

    const TestEntry version = testEntry(0x01, 0x10000, 0x10000, "ssdata");
    const TestEntry recordBlock = testEntry(recordBlockId, 0x20000, quint32(unit), "kernel", 0);
    const TestEntry wholeBlock
        = testEntry(wholeBlockId, quint32(0x20000 + unit), quint32(4 * unit), "rootfs");
    image.dmh(0, dmhOf(size, { version, recordBlock, wholeBlock }))
        .bytes(0x10000, QByteArray("T2.1.0.1\0", 9))
        .block(0, recordBlock, random.bytes(unit * 3 / 4), true)
        .block(0, wholeBlock, random.bytes(2 * unit), false);

    const qint64 second = 8 * unit;
    const TestEntry app = testEntry(0x30, 0x10000, quint32(unit), "app", 0);
    const TestEntry data = testEntry(0x31, quint32(0x10000 + unit), quint32(2 * unit), "data");
    image.dmh(second, dmhOf(size, { app, data }))
        .block(second, app, random.bytes(unit / 2), true)
        .block(second, data, random.bytes(unit), false);

    const qint64 third = 12 * unit;
    const TestEntry backup = testEntry(0x40, 0x10000, quint32(unit), "backup", 0);
    const TestEntry config = testEntry(0x41, quint32(0x10000 + unit), 0x10000, "config");
    image.dmh(third, dmhOf(size, { backup, config }))
        .block(third, backup, random.bytes(unit / 4), true)
        .block(third, config, random.bytes(4096), false);
    return image.image();
}

QByteArray manyBlockImage()
{
    // Sizes and flags of six blocks, repeated four times in each DMH; flags 0 and 64 KiB multiples end
    // in a record.
    const QVector<QPair<quint32, quint8>> pattern { { 0x1000, 1 }, { 0x10000, 0 }, { 0x40000, 1 },
        { 0x100000, 0 }, { 0x800000, 1 }, { 0x10000, 1 } };
    const qint64 region = manyBlockImageSize / manyBlockDmhs;
    RandomFill random(manyBlockImageSize);
    ImageBuilder image(manyBlockImageSize);
    for (int dmhIndex = 0; dmhIndex < manyBlockDmhs; ++dmhIndex) {
        const qint64 position = dmhIndex * region;
        QVector<TestEntry> entries;
        quint32 offset = 0x10000;
        for (int entryIndex = 0; entryIndex < manyBlockEntries; ++entryIndex) {
            const auto& [size, flags] = pattern[entryIndex % pattern.size()];
            entries.append(testEntry(quint8(entryIndex + 1), offset, size,
                QStringLiteral("blk%1").arg(entryIndex).toLatin1(), flags));
            // Every block starts on a 64 KiB boundary, as a record needs.
            offset += (size + 0xFFFF) & ~quint32(0xFFFF);
        }
        image.dmh(position, dmhOf(manyBlockImageSize, entries));
        for (const TestEntry& entry : entries) {
            const bool record = entry.flags == 0;
            image.block(position, entry, random.bytes(record ? entry.size / 4 * 3 : entry.size), record);
        }
    }
    return image.image();
}

bool writeRandomImage(const QString& path, qint64 size, bool withDmh)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    RandomFill random(size + 1);
    QByteArray chunk(int(qMin(size, 64 * mebibyte)), Qt::Uninitialized);
    for (qint64 written = 0; written < size;) {
        const qint64 length = qMin<qint64>(chunk.size(), size - written);
        random.fill(chunk.data(), length);
        if (written == 0 && withDmh) {
            const QByteArray header = ImageBuilder::dmhHeader(
                dmhOf(size, { testEntry(recordBlockId, 0x10000, 0x10000, "blob") }));
            std::memcpy(chunk.data(), header.constData(), size_t(header.size()));
        }
        if (file.write(chunk.constData(), length) != length)
            return false;
        written += length;
    }
    return file.commit();
}

// When the benchmark process started: files modified since were written in this run.
const QDateTime runStart = QDateTime::currentDateTime();

bool writeWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

bool present(const QString& path, qint64 size)
{
    const QFileInfo info(path);
    return info.isFile() && info.size() == size;
}

} // namespace

QString directory()
{
    const QString chosen = qEnvironmentVariable("TESSEL_BENCH_DIR");
    return chosen.isEmpty() ? QStringLiteral("/var/tmp/tessel-bench") : chosen;
}

QString kindName(Kind kind)
{
    return kind == Kind::Realistic ? QStringLiteral("realistic") : QStringLiteral("random");
}

QString sizeName(qint64 size)
{
    return size >= gibibyte && size % gibibyte == 0 ? QStringLiteral("%1GiB").arg(size / gibibyte)
                                                    : QStringLiteral("%1MiB").arg(size / mebibyte);
}

QString ensureImage(Kind kind, qint64 size)
{
    QDir().mkpath(directory());
    const QString path
        = QStringLiteral("%1/%2-%3-%4.bin").arg(directory(), kindName(kind), sizeName(size), layoutVersion);
    if (present(path, size))
        return path;
    std::fprintf(stderr, "writing %s\n", qPrintable(path));
    const bool written = kind == Kind::Realistic ? writeWhole(path, realisticImage(size))
                                                 : writeRandomImage(path, size, true);
    if (!written)
        qFatal("cannot write benchmark image %s", qPrintable(path));
    return path;
}

QString ensureManyBlockImage()
{
    QDir().mkpath(directory());
    const QString path = QStringLiteral("%1/many-blocks-%2-%3.bin")
                             .arg(directory(), sizeName(manyBlockImageSize), layoutVersion);
    if (!present(path, manyBlockImageSize)) {
        std::fprintf(stderr, "writing %s\n", qPrintable(path));
        if (!writeWhole(path, manyBlockImage()))
            qFatal("cannot write benchmark image %s", qPrintable(path));
    }
    return path;
}

QString ensureRandomFile(qint64 size)
{
    QDir().mkpath(directory());
    const QString path
        = QStringLiteral("%1/replacement-%2-%3.bin").arg(directory(), sizeName(size), layoutVersion);
    if (!present(path, size) && !writeRandomImage(path, size, false))
        qFatal("cannot write benchmark file %s", qPrintable(path));
    return path;
}

namespace {

struct InMemory {
    ImageBuffer buffer;
    QString pages;
};

InMemory& inMemoryEntry(Kind kind, qint64 size)
{
    static std::map<std::pair<Kind, qint64>, InMemory> loaded;
    InMemory& entry = loaded[{ kind, size }];
    if (entry.buffer.isNull()) {
        const QString path = ensureImage(kind, size);
        std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "rb");
        const qint64 before = PageMode::hugePageBytes();
        if (!file || !entry.buffer.allocate(size)
            || std::fread(entry.buffer.data(), 1, size_t(size), file) != size_t(size))
            qFatal("cannot read benchmark image %s", qPrintable(path));
        std::fclose(file);
        entry.pages = PageMode::describe(before, PageMode::hugePageBytes(), size);
    }
    return entry;
}

} // namespace

const ImageBuffer& inMemory(Kind kind, qint64 size)
{
    return inMemoryEntry(kind, size).buffer;
}

QString inMemoryPages(Kind kind, qint64 size)
{
    return inMemoryEntry(kind, size).pages;
}

void warmPageCache(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read benchmark image %s", qPrintable(path));
    // How fast a mapping of the file is first touched depends on how the kernel holds its cached pages:
    // a file written in this run sits in large pages, while one written a day ago may have come back in
    // small ones (listing 1 GiB took 0.07 s or 0.6-1.2 s), which a second read does not change. A file
    // written before this run is dropped from the cache and read back the first time, so that it is held
    // as a file just read from the disk; one written in this run is left as it is.
    static QSet<QString> readBack;
    if (!readBack.contains(path) && QFileInfo(path).lastModified() < runStart) {
        readBack.insert(path);
        posix_fadvise(file.handle(), 0, 0, POSIX_FADV_DONTNEED);
    }
    QByteArray chunk(int(16 * mebibyte), Qt::Uninitialized);
    while (file.read(chunk.data(), chunk.size()) > 0) { }
}

qint64 replacementSize(qint64 imageSize)
{
    return imageSize / 16 * 3 / 4;
}

const FlashImage& loadedImage(const QString& path)
{
    static std::map<QString, std::unique_ptr<FlashImage>> loaded;
    std::unique_ptr<FlashImage>& image = loaded[path];
    if (!image) {
        image = std::make_unique<FlashImage>();
        if (!image->load(path.toStdWString()))
            qFatal("cannot load %s: %s", qPrintable(path), image->lastError().constData());
    }
    return *image;
}

} // namespace BenchImages
