// Replacing a 1 MiB block of a 1 GiB image on a file system that shares extents (XFS with reflink, made
// and mounted by bench/run.sh), against writing the image plainly there (dd) and against tessel-cli info,
// whose scan for DMHs is the one whole-image cost a replacement still has. All three run as a user runs
// them, from a warm page cache.
#include "benchimages.h"
#include "benchmarks.h"
#include "commandrun.h"

#include "imagebuilder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <string>
#include <vector>

namespace {

constexpr quint8 sharedBlockId = 0x50;

// The mounted file system, or empty when bench/run.sh could not make one.
QString mountPoint()
{
    return qEnvironmentVariable("TESSEL_BENCH_XFS");
}

struct SharedFiles {
    std::string image;
    std::string replacement;
    std::string output;
    std::string plainCopy;
    std::string error;
};

// A 1 GiB image on the file system: a version block, the 1 MiB block that is replaced, and 256 MiB of
// random data behind it (the rest 0xFF); and a replacement of the block's exact size.
const SharedFiles& sharedFiles()
{
    static const SharedFiles files = [] {
        SharedFiles made;
        const QString folder = mountPoint();
        if (folder.isEmpty()) {
            made.error = "no XFS file system with reflink: bench/run.sh makes one as root where loop devices "
                         "and mkfs.xfs are available";
            return made;
        }
        const qint64 size = BenchImages::gibibyte;
        const QString image = folder + QStringLiteral("/image.bin");
        const QString replacement = folder + QStringLiteral("/replacement.bin");
        if (QFileInfo(image).size() != size) {
            TestDmh dmh;
            dmh.flashSize = quint32(size);
            const TestEntry version = testEntry(0x01, 0x10000, 0x10000, "ssdata");
            const TestEntry shared
                = testEntry(sharedBlockId, 0x100000, quint32(BenchImages::mebibyte), "shared");
            const TestEntry bulk = testEntry(0x51, 0x200000, quint32(256 * BenchImages::mebibyte), "bulk");
            dmh.entries = { version, shared, bulk };
            const QByteArray bytes
                = ImageBuilder(size)
                      .dmh(0, dmh)
                      .bytes(0x10000, QByteArray("T2.1.0.1\0", 9))
                      .block(0, shared, ImageBuilder::randomBytes(BenchImages::mebibyte, 1), false)
                      .block(0, bulk, ImageBuilder::randomBytes(256 * BenchImages::mebibyte, 2), false)
                      .image();
            QSaveFile file(image);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
                made.error = "cannot write the image on the XFS file system";
                return made;
            }
        }
        QSaveFile file(replacement);
        const QByteArray block = ImageBuilder::randomBytes(BenchImages::mebibyte, 3);
        if (!file.open(QIODevice::WriteOnly) || file.write(block) != block.size() || !file.commit()) {
            made.error = "cannot write the replacement on the XFS file system";
            return made;
        }
        made.image = QFile::encodeName(image).toStdString();
        made.replacement = QFile::encodeName(replacement).toStdString();
        made.output = QFile::encodeName(folder + QStringLiteral("/replaced.bin")).toStdString();
        made.plainCopy = QFile::encodeName(folder + QStringLiteral("/dd.bin")).toStdString();
        BenchImages::warmPageCache(image);
        BenchImages::warmPageCache(replacement);
        return made;
    }();
    return files;
}

void timeCommand(benchmark::State& state, const std::vector<std::string>& (*command)(const SharedFiles&))
{
    const SharedFiles& files = sharedFiles();
    if (!files.error.empty()) {
        state.SkipWithError(files.error.c_str());
        return;
    }
    const std::vector<std::string>& arguments = command(files);
    // One untimed run first, so that every side starts with its output there to be replaced.
    CommandRun::quietly(arguments);
    for (auto _ : state) {
        const int exitStatus = CommandRun::quietly(arguments);
        if (exitStatus != 0) {
            state.SkipWithError(("exit status " + std::to_string(exitStatus)).c_str());
            break;
        }
    }
}

const std::vector<std::string>& replaceCommand(const SharedFiles& files)
{
    static const std::vector<std::string> command { TESSEL_CLI_PATH, "replace", files.image,
        QByteArray::number(sharedBlockId, 16).toStdString(), files.replacement, "-o", files.output,
        "--force" };
    return command;
}

const std::vector<std::string>& ddCommand(const SharedFiles& files)
{
    static const std::vector<std::string> command { "dd", "if=" + files.image, "of=" + files.plainCopy,
        "bs=4M", "conv=fsync", "status=none" };
    return command;
}

const std::vector<std::string>& infoCommand(const SharedFiles& files)
{
    static const std::vector<std::string> command { TESSEL_CLI_PATH, "info", files.image };
    return command;
}

void registerTimed(const char* name, void (*function)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, function)
        ->Iterations(1)
        ->Repetitions(7)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

void registerShareBenchmarks(std::vector<RatioBar>& bars)
{
    registerTimed("share/xfs-1GiB/replace-1MiB-block",
        [](benchmark::State& state) { timeCommand(state, replaceCommand); });
    registerTimed(
        "share/xfs-1GiB/dd-bs4M-fsync", [](benchmark::State& state) { timeCommand(state, ddCommand); });
    registerTimed(
        "share/xfs-1GiB/tessel-cli-info", [](benchmark::State& state) { timeCommand(state, infoCommand); });
    bars.push_back({ "7 replace 1MiB block of 1GiB on XFS vs dd", "share/xfs-1GiB/replace-1MiB-block",
        "share/xfs-1GiB/dd-bs4M-fsync", RatioBar::Kind::TimeAtMost, 0.2 });
    RatioBar info { "7 replace 1MiB block of 1GiB on XFS vs info", "share/xfs-1GiB/replace-1MiB-block",
        "share/xfs-1GiB/tessel-cli-info", RatioBar::Kind::TimeAtMost, 0 };
    info.baselinePlusSeconds = 0.1;
    bars.push_back(info);
}
