// Comparing two byte-identical 1 GiB images: tessel-cli diff as a user runs it, and the core comparison
// over the two images loaded as the CLI loads them, against cmp of the same two files in the same run.
#include "benchimages.h"
#include "benchmarks.h"
#include "commandrun.h"
#include "pagemode.h"

#include "model/flashimage.h"
#include "ops/base/blocklocation.h"
#include "ops/inspect/imagediff.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using BenchImages::Kind;

constexpr qint64 imageSize = BenchImages::gibibyte;

// A second file with the first one's bytes: cmp and diff must read two files, not one twice.
QString copyOf(const QString& path)
{
    const QFileInfo original(path);
    const QString copy = original.absolutePath() + QLatin1Char('/') + original.completeBaseName()
        + QStringLiteral("-copy.bin");
    if (QFileInfo(copy).size() != original.size()) {
        QFile::remove(copy);
        if (!QFile::copy(path, copy))
            qFatal("cannot copy %s", qPrintable(path));
    }
    return copy;
}

struct ImagePair {
    std::string a;
    std::string b;
};

const ImagePair& identicalPair()
{
    static const ImagePair pair = [] {
        const QString path = BenchImages::ensureImage(Kind::Realistic, imageSize);
        return ImagePair { QFile::encodeName(path).toStdString(),
            QFile::encodeName(copyOf(path)).toStdString() };
    }();
    return pair;
}

void warmBoth(const ImagePair& pair)
{
    BenchImages::warmPageCache(QFile::decodeName(pair.a.c_str()));
    BenchImages::warmPageCache(QFile::decodeName(pair.b.c_str()));
}

std::string mebibytes(qint64 bytes)
{
    return std::to_string(bytes / BenchImages::mebibyte) + " MiB";
}

void timeCommand(benchmark::State& state, const std::vector<std::string>& command)
{
    warmBoth(identicalPair());
    for (auto _ : state) {
        const int exitStatus = CommandRun::quietly(command);
        if (exitStatus != 0) {
            state.SkipWithError(("exit status " + std::to_string(exitStatus)).c_str());
            break;
        }
    }
    // Measured once per command, in a run of its own outside the timed ones.
    static std::map<std::vector<std::string>, qint64> peaks;
    if (peaks.find(command) == peaks.end())
        peaks[command] = CommandRun::peakMemoryOf(command);
    const qint64 peak = peaks[command];
    state.SetLabel(peak < 0 ? std::string("peak memory unknown")
                            : "peak memory " + mebibytes(peak) + ", images " + mebibytes(2 * imageSize));
}

void diffWithCli(benchmark::State& state)
{
    const ImagePair& pair = identicalPair();
    timeCommand(state, { TESSEL_CLI_PATH, "diff", pair.a, pair.b });
}

void diffWithCmp(benchmark::State& state)
{
    const ImagePair& pair = identicalPair();
    timeCommand(state, { "cmp", pair.a, pair.b });
}

bool load(FlashImage& image, const std::string& path)
{
    return image.load(QFile::decodeName(path.c_str()).toStdWString());
}

// The CLI's work without the process: both loads, the comparison, both images released.
void loadAndDiff(benchmark::State& state)
{
    const ImagePair& pair = identicalPair();
    warmBoth(pair);
    std::string pages;
    for (auto _ : state) {
        state.PauseTiming();
        const qint64 before = PageMode::hugePageBytes();
        state.ResumeTiming();
        FlashImage a;
        FlashImage b;
        if (!load(a, pair.a) || !load(b, pair.b)) {
            state.SkipWithError("cannot load the images");
            break;
        }
        const Refusable<ImageDiff> diff = diffImages(a, b);
        if (!diff.accepted() || !diff.value->identical) {
            state.SkipWithError("the images differ");
            break;
        }
        state.PauseTiming();
        pages = PageMode::describe(before, PageMode::hugePageBytes(), 2 * imageSize).toStdString();
        state.ResumeTiming();
    }
    state.SetLabel(pages);
}

// The comparison alone over loaded images: identical, or with every byte of one 64 MiB block changed
// (so that its differing bytes are counted), against one memcmp of the two buffers.
enum class Compared { Identical, BlockDiffers, Memcmp };

void compareLoaded(benchmark::State& state, Compared what)
{
    const ImagePair& pair = identicalPair();
    FlashImage a;
    FlashImage b;
    if (!load(a, pair.a) || !load(b, pair.b)) {
        state.SkipWithError("cannot load the images");
        return;
    }
    if (what == Compared::BlockDiffers) {
        const BlockLocation block
            = findBlock(b.dmhRecords(), QString::number(BenchImages::recordBlockId, 16));
        uchar* bytes = b.bytesToChange() + block.start();
        for (quint32 index = 0; index < block.size; ++index)
            bytes[index] ^= 0x5A;
    }
    for (auto _ : state) {
        if (what == Compared::Memcmp) {
            benchmark::DoNotOptimize(std::memcmp(a.imageData(), b.imageData(), size_t(imageSize)));
            continue;
        }
        const Refusable<ImageDiff> diff = diffImages(a, b);
        if (!diff.accepted()) {
            state.SkipWithError("comparison refused");
            break;
        }
        benchmark::DoNotOptimize(diff.value->blocks.size());
        if (diff.value->identical != (what == Compared::Identical)) {
            state.SkipWithError("unexpected comparison");
            break;
        }
    }
}

// At least five repetitions: a first touch of memory on these machines can cost ten times a later one.
constexpr int repetitions = 7;

void registerTimed(const char* name, void (*function)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, function)
        ->Iterations(1)
        ->Repetitions(repetitions)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

void registerDiffBenchmarks(std::vector<RatioBar>& bars)
{
    registerTimed("diff/1GiB/identical/tessel-cli", diffWithCli);
    registerTimed("diff/1GiB/identical/cmp", diffWithCmp);
    registerTimed("diff/1GiB/identical/load+diffImages", loadAndDiff);
    registerTimed("diff/1GiB/compare/identical",
        [](benchmark::State& state) { compareLoaded(state, Compared::Identical); });
    registerTimed("diff/1GiB/compare/64MiB-block-differs",
        [](benchmark::State& state) { compareLoaded(state, Compared::BlockDiffers); });
    registerTimed(
        "diff/1GiB/compare/memcmp", [](benchmark::State& state) { compareLoaded(state, Compared::Memcmp); });
    bars.push_back({ "6 diff 1GiB identical, tessel-cli vs cmp", "diff/1GiB/identical/tessel-cli",
        "diff/1GiB/identical/cmp", RatioBar::Kind::TimeAtMost, 1.5 });
    // Both only read what the page cache holds, and diff copies nothing: it can beat cmp.
    bars.push_back({ "25 diff 1GiB identical, tessel-cli vs cmp", "diff/1GiB/identical/tessel-cli",
        "diff/1GiB/identical/cmp", RatioBar::Kind::TimeAtMost, 0.8 });
    bars.push_back({ "6 diff 1GiB identical, load+diffImages vs cmp", "diff/1GiB/identical/load+diffImages",
        "diff/1GiB/identical/cmp", RatioBar::Kind::TimeAtMost, 0 });
    bars.push_back({ "6 diffImages of loaded images vs memcmp", "diff/1GiB/compare/identical",
        "diff/1GiB/compare/memcmp", RatioBar::Kind::TimeAtMost, 0 });
    bars.push_back(
        { "6 diffImages, a 64MiB block differs vs identical", "diff/1GiB/compare/64MiB-block-differs",
            "diff/1GiB/compare/identical", RatioBar::Kind::TimeAtMost, 0 });
}
