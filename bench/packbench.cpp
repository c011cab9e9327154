// tessel-cli pack of an untouched folder of a 1 GiB image against writing an image of that size plainly
// (dd with 4 MiB blocks and a final fsync): pack reads the block files and rest files, checks every
// sha256 and the image's, and writes the image once through the writer every command uses.
#include "benchimages.h"
#include "benchmarks.h"
#include "commandrun.h"

#include <QDir>
#include <QFile>

#include <string>
#include <vector>

namespace {

using BenchImages::Kind;

constexpr qint64 imageSize = BenchImages::gibibyte;

std::string local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

QString benchPath(const QString& name)
{
    return BenchImages::directory() + QLatin1Char('/') + name;
}

// The image unpacked once by tessel-cli export --all, kept for later runs, its files in the page cache as
// the image is for dd.
QString unpackedFolder()
{
    const QString image = BenchImages::ensureImage(Kind::Realistic, imageSize);
    const QString folder = benchPath(QStringLiteral("pack-unpacked"));
    if (!QFile::exists(folder + QStringLiteral("/index.json"))) {
        QDir(folder).removeRecursively();
        if (CommandRun::quietly({ TESSEL_CLI_PATH, "export", local(image), "--all", "-o", local(folder) })
            != 0)
            qFatal("export --all of %s failed", qPrintable(image));
    }
    for (const QString& name : QDir(folder).entryList(QDir::Files))
        BenchImages::warmPageCache(folder + QLatin1Char('/') + name);
    return folder;
}

// Runs `command`, which writes `output` anew: the output of the run before is removed first, outside the
// timing, so that each side writes a new file as the yardstick's NEW is, rather than one side paying for
// the old file's blocks (pack's rename frees them) and the other reusing its pages at once (dd truncates
// before it writes).
void run(benchmark::State& state, const std::vector<std::string>& command, const QString& output)
{
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(output);
        state.ResumeTiming();
        const int exitStatus = CommandRun::quietly(command);
        if (exitStatus != 0) {
            state.SkipWithError(("exit status " + std::to_string(exitStatus)).c_str());
            break;
        }
    }
}

void packUntouched(benchmark::State& state)
{
    const QString folder = unpackedFolder();
    const QString output = benchPath(QStringLiteral("pack-output.bin"));
    run(state, { TESSEL_CLI_PATH, "pack", local(folder), "-o", local(output) }, output);
}

void writeWithDd(benchmark::State& state)
{
    const QString image = BenchImages::ensureImage(Kind::Realistic, imageSize);
    BenchImages::warmPageCache(image);
    const QString output = benchPath(QStringLiteral("pack-dd.bin"));
    run(state, { "dd", "if=" + local(image), "of=" + local(output), "bs=4M", "conv=fsync", "status=none" },
        output);
}

} // namespace

void registerPackBenchmarks(std::vector<RatioBar>& bars)
{
    for (const auto& [name, function] : { std::pair { "pack/1GiB/untouched-folder", packUntouched },
             std::pair { "pack/1GiB/dd", writeWithDd } })
        benchmark::RegisterBenchmark(name, function)
            ->Iterations(1)
            ->Repetitions(7)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    bars.push_back({ "8 pack of an untouched folder vs dd conv=fsync, 1GiB", "pack/1GiB/untouched-folder",
        "pack/1GiB/dd", RatioBar::Kind::TimeAtMost, 1.2 });
}
