// Opening an image (read whole, scan every position, build the catalogue) against reading the
// same file into plain memory, and against the literal recipe of allocate, zero, read, compare everywhere.
#include "benchimages.h"
#include "benchmarks.h"
#include "pagemode.h"

#include "model/flashimage.h"
#include "model/imagelayout.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using BenchImages::Kind;

// The file opened and measured the way a plain program would: fopen, seek to the end, tell, seek back.
struct OpenedFile {
    std::FILE* stream = nullptr;
    qint64 length = -1;

    explicit OpenedFile(const QString& path)
        : stream(std::fopen(QFile::encodeName(path).constData(), "rb"))
    {
        if (stream && std::fseek(stream, 0, SEEK_END) == 0) {
            length = ftello(stream);
            std::fseek(stream, 0, SEEK_SET);
        }
    }
    ~OpenedFile()
    {
        if (stream)
            std::fclose(stream);
    }
};

void loadWithFlashImage(benchmark::State& state, const QString& path)
{
    BenchImages::warmPageCache(path);
    const std::wstring widePath = path.toStdWString();
    std::string pages;
    for (auto _ : state) {
        state.PauseTiming();
        const qint64 before = PageMode::hugePageBytes();
        state.ResumeTiming();
        // Constructed and destroyed inside the loop: releasing the image is part of the cost, as the
        // baselines' free() is part of theirs.
        FlashImage image;
        if (!image.load(widePath)) {
            state.SkipWithError(image.lastError().constData());
            break;
        }
        state.PauseTiming();
        pages = PageMode::describe(before, PageMode::hugePageBytes(), image.imageSize()).toStdString();
        state.ResumeTiming();
    }
    state.SetLabel(pages);
}

void loadWithMallocAndFread(benchmark::State& state, const QString& path, bool literalRecipe)
{
    BenchImages::warmPageCache(path);
    std::string pages;
    for (auto _ : state) {
        state.PauseTiming();
        const qint64 before = PageMode::hugePageBytes();
        state.ResumeTiming();
        OpenedFile file(path);
        char* bytes = file.length > 0 ? static_cast<char*>(std::malloc(size_t(file.length))) : nullptr;
        if (!bytes) {
            state.SkipWithError("cannot open or allocate");
            break;
        }
        if (literalRecipe)
            std::memset(bytes, 0, size_t(file.length));
        const size_t got = std::fread(bytes, 1, size_t(file.length), file.stream);
        if (got != size_t(file.length)) {
            std::free(bytes);
            state.SkipWithError("short read");
            break;
        }
        if (literalRecipe) {
            qint64 found = 0;
            for (qint64 position = 0; position + ImageLayout::dmhHeaderSize <= file.length; ++position) {
                if (std::memcmp(bytes + position, ImageLayout::dmhMagic, ImageLayout::dmhMagicLength) == 0
                    && uchar(bytes[position + ImageLayout::recognitionByteOffset])
                        == ImageLayout::recognitionByte)
                    ++found;
            }
            benchmark::DoNotOptimize(found);
        }
        benchmark::DoNotOptimize(bytes);
        state.PauseTiming();
        pages = PageMode::describe(before, PageMode::hugePageBytes(), file.length).toStdString();
        state.ResumeTiming();
        std::free(bytes);
    }
    state.SetLabel(pages);
}

} // namespace

void registerLoadBenchmarks(std::vector<RatioBar>& bars)
{
    for (const qint64 size : { 64 * BenchImages::mebibyte, BenchImages::gibibyte }) {
        for (const Kind kind : { Kind::Realistic, Kind::Random }) {
            const QString path = BenchImages::ensureImage(kind, size);
            const std::string prefix = QStringLiteral("load/%1/%2/")
                                           .arg(BenchImages::sizeName(size), BenchImages::kindName(kind))
                                           .toStdString();
            const int iterations = size >= BenchImages::gibibyte ? 1 : 5;
            benchmark::RegisterBenchmark((prefix + "tessel").c_str(),
                [path](benchmark::State& state) { loadWithFlashImage(state, path); })
                ->Iterations(iterations)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((prefix + "malloc+fread").c_str(),
                [path](benchmark::State& state) { loadWithMallocAndFread(state, path, false); })
                ->Iterations(iterations)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((prefix + "literal-recipe").c_str(),
                [path](benchmark::State& state) { loadWithMallocAndFread(state, path, true); })
                ->Iterations(iterations)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);

            const std::string figure = QStringLiteral("1 load+scan %1 %2")
                                           .arg(BenchImages::sizeName(size), BenchImages::kindName(kind))
                                           .toStdString();
            bars.push_back({ figure + " vs malloc+fread", prefix + "tessel", prefix + "malloc+fread",
                RatioBar::Kind::TimeAtMost, 1.1, 1.0 });
            bars.push_back({ figure + " vs literal recipe", prefix + "tessel", prefix + "literal-recipe",
                RatioBar::Kind::SpeedupAtLeast, 1.5 });
        }
    }
}
