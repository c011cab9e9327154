// Three replacements in one run of tessel-cli replace against a single-pair run on the same 1 GiB image:
// the pairs share the one load and the one write, so three cost little more than one, where three
// chained runs read and write the image three times.
#include "benchimages.h"
#include "benchmarks.h"
#include "commandrun.h"
#include "imagebuilder.h"

#include <QFile>

#include <string>
#include <vector>

namespace {

using BenchImages::Kind;

constexpr qint64 imageSize = BenchImages::gibibyte;

std::string path(const QString& name)
{
    return QFile::encodeName(BenchImages::directory() + QLatin1Char('/') + name).toStdString();
}

// A replacement of `length` random bytes, written once and reused.
std::string replacement(const char* name, qint64 length)
{
    const QString file = BenchImages::directory() + QLatin1Char('/') + QLatin1String(name);
    QFile existing(file);
    if (existing.size() != length) {
        if (!existing.open(QIODevice::WriteOnly)
            || existing.write(ImageBuilder::randomBytes(length, quint32(length))) != length)
            qFatal("cannot write %s", qPrintable(file));
    }
    return QFile::encodeName(file).toStdString();
}

// The image's three blocks that end in a record (64 MiB each): the record variant rewrites each whole.
std::vector<std::string> pairs(int count)
{
    const std::vector<std::string> all { "10", replacement("pairs-kernel.bin", 32 * BenchImages::mebibyte),
        "30", replacement("pairs-app.bin", 16 * BenchImages::mebibyte), "40",
        replacement("pairs-backup.bin", 8 * BenchImages::mebibyte) };
    return std::vector<std::string>(all.begin(), all.begin() + 2 * count);
}

void replaceWithPairs(benchmark::State& state, int count)
{
    const QString image = BenchImages::ensureImage(Kind::Realistic, imageSize);
    std::vector<std::string> command { TESSEL_CLI_PATH, "replace", QFile::encodeName(image).toStdString() };
    const std::vector<std::string> given = pairs(count);
    command.insert(command.end(), given.begin(), given.end());
    command.insert(command.end(), { "-o", path(QStringLiteral("pairs-output.bin")), "--force" });
    BenchImages::warmPageCache(image);
    for (auto _ : state) {
        const int exitStatus = CommandRun::quietly(command);
        if (exitStatus != 0) {
            state.SkipWithError(("exit status " + std::to_string(exitStatus)).c_str());
            break;
        }
    }
}

} // namespace

void registerPairsBenchmarks(std::vector<RatioBar>& bars)
{
    for (const int count : { 1, 3 }) {
        const std::string name = "replace/1GiB/" + std::to_string(count) + "-pairs";
        benchmark::RegisterBenchmark(
            name.c_str(), [count](benchmark::State& state) { replaceWithPairs(state, count); })
            ->Iterations(1)
            ->Repetitions(7)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    bars.push_back({ "7 replace 3 pairs in one run vs 1 pair, 1GiB", "replace/1GiB/3-pairs",
        "replace/1GiB/1-pairs", RatioBar::Kind::TimeAtMost, 1.3 });
}
