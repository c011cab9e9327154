// The scan kernel that load() runs, over an image already in memory, against a reference
// memchr-then-memcmp scan of the same bytes.
#include "benchimages.h"
#include "benchmarks.h"

#include "model/dmhscan.h"
#include "model/imagelayout.h"

#include <cstring>

namespace {

using BenchImages::Kind;

qint64 countWithKernel(const uchar* data, qint64 size)
{
    const qint64 last = size - ImageLayout::dmhHeaderSize;
    qint64 found = 0;
    for (qint64 position = DmhScan::findNext(data, 0, last); position >= 0;
         position = DmhScan::findNext(data, position + 1, last))
        ++found;
    return found;
}

qint64 countWithReference(const uchar* data, qint64 size)
{
    const qint64 last = size - ImageLayout::dmhHeaderSize;
    qint64 found = 0;
    for (qint64 position = 0; position <= last; ++position) {
        const void* hit = std::memchr(data + position, '*', size_t(last - position + 1));
        if (!hit)
            break;
        position = static_cast<const uchar*>(hit) - data;
        if (std::memcmp(data + position, ImageLayout::dmhMagic, ImageLayout::dmhMagicLength) == 0
            && data[position + ImageLayout::recognitionByteOffset] == ImageLayout::recognitionByte)
            ++found;
    }
    return found;
}

void scan(benchmark::State& state, Kind kind, qint64 size, bool kernel)
{
    const ImageBuffer& image = BenchImages::inMemory(kind, size);
    const qint64 expected = countWithReference(image.data(), image.size());
    if (countWithKernel(image.data(), image.size()) != expected) {
        state.SkipWithError("the kernel and the reference disagree");
        return;
    }
    for (auto _ : state) {
        const qint64 found = kernel ? countWithKernel(image.data(), image.size())
                                    : countWithReference(image.data(), image.size());
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.SetLabel("image in memory: " + BenchImages::inMemoryPages(kind, size).toStdString());
}

} // namespace

void registerScanBenchmarks(std::vector<RatioBar>& bars)
{
    for (const qint64 size : { 64 * BenchImages::mebibyte, BenchImages::gibibyte }) {
        for (const Kind kind : { Kind::Realistic, Kind::Random }) {
            const std::string prefix = QStringLiteral("scan/%1/%2/")
                                           .arg(BenchImages::sizeName(size), BenchImages::kindName(kind))
                                           .toStdString();
            benchmark::RegisterBenchmark((prefix + "tessel").c_str(),
                [kind, size](benchmark::State& state) { scan(state, kind, size, true); })
                ->MinTime(0.3)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((prefix + "memchr+memcmp").c_str(),
                [kind, size](benchmark::State& state) { scan(state, kind, size, false); })
                ->MinTime(0.3)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            bars.push_back({ QStringLiteral("2 scan kernel %1 %2")
                                 .arg(BenchImages::sizeName(size), BenchImages::kindName(kind))
                                 .toStdString(),
                prefix + "tessel", prefix + "memchr+memcmp", RatioBar::Kind::SpeedupAtLeast, 0.8 });
        }
    }
}
