// Measures one load of each hostile layout at 64 KiB, 1 MiB and 16 MiB: wall time, peak memory and the
// outcome. Each load runs in a fresh process of its own, so its peak resident size is its own.
// Usage: tessel-load-probe [folder for the files]. Figures only; nothing here is asserted.

#include "hostilelayouts.h"
#include "model/flashimage.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace HostileLayouts;

struct Layout {
    const char* name;
    std::function<QByteArray(int size)> make;
};

// The largest catalogue a load accepts: 1,024 DMHs holding 65,535 entries between them.
QByteArray fullestCatalogue(int size)
{
    QByteArray bytes(size, '\0');
    const int perDmh = 65535 / 1024;
    int position = 0;
    for (int index = 0; index < 1024; ++index) {
        const int count = index == 1023 ? 65535 - perDmh * 1023 : perDmh;
        const QByteArray one = headerClaiming(count);
        if (position + 28 + 48 * count > size)
            break;
        bytes.replace(position, one.size(), one);
        position += 28 + 48 * count;
    }
    return bytes;
}

const QVector<Layout>& layouts()
{
    static const QVector<Layout> all = {
        { "headers every 27 bytes, 65,535 entries each",
            [](int size) { return repeated(size, 27, headerClaiming(65535).left(27)); } },
        { "headers every 28 bytes, 65,535 entries each",
            [](int size) { return repeated(size, 28, headerClaiming(65535)); } },
        { "two empty headers every 39 bytes", emptyHeaderPairs },
        { "up to 1,024 DMHs, 65,535 entries in all", fullestCatalogue },
        { "every byte '*', the magic's first byte", [](int size) { return QByteArray(size, '*'); } },
        { "magic short by its last byte, repeated",
            [](int size) { return repeated(size, 11, QByteArray("*^_^*DM(^o^")); } },
    };
    return all;
}

// The high-water mark of this process's own memory since its exec (getrusage would also count the
// memory of the process it was spawned from).
long long peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() >> 10;
    }
    return -1;
}

// Runs in a fresh process: one load, then the outcome on stdout.
int loadAndReport(const QString& path)
{
    FlashImage image;
    QElapsedTimer timer;
    timer.start();
    const bool loaded = image.load(path.toStdWString());
    const double milliseconds = double(timer.nsecsElapsed()) / 1e6;
    std::printf("%8.2f ms  %-6s  %5d blocks  %4d DMHs  %-22s  peak %3lld MiB\n", milliseconds,
        loaded ? "loaded" : "failed", image.blockCount(), int(image.dmhRecords().size()),
        image.lastError().constData(), peakResidentMiB());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--load") == 0)
        return loadAndReport(QString::fromLocal8Bit(argv[2]));
    QTemporaryDir scratch;
    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : scratch.path());
    folder.mkpath(QStringLiteral("."));
    for (const Layout& layout : layouts()) {
        for (const int size : { 64 << 10, 1 << 20, 16 << 20 }) {
            const QString path = folder.filePath(QStringLiteral("%1-%2.bin").arg(layout.name).arg(size));
            QFile file(path);
            const QByteArray bytes = layout.make(size);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                return 1;
            }
            file.close();
            std::printf("%-44s %6d KiB  ", layout.name, size >> 10);
            std::fflush(stdout);
            // A spawned process (no copy of this one's memory, which would count towards its peak).
            QByteArray localPath = QFile::encodeName(path);
            QByteArray loadFlag("--load");
            char* childArguments[] = { argv[0], loadFlag.data(), localPath.data(), nullptr };
            pid_t child = -1;
            if (posix_spawn(&child, argv[0], nullptr, nullptr, childArguments, environ) != 0)
                child = -1;
            int status = 0;
            if (child <= 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
                std::printf("the load did not finish normally\n");
                return 1;
            }
        }
    }
    return 0;
}
