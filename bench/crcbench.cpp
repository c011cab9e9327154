// The program's CRC against zlib's, libdeflate's and the byte-table walk, on the same bytes.
#include "benchimages.h"
#include "benchmarks.h"

#include "ops/record/crc32.h"

#include <libdeflate.h>
#include <zlib.h>

#include <functional>

namespace {

using BenchImages::Kind;
using CrcFunction = std::function<quint32(const uchar*, qint64)>;

// Every candidate gives CRC-32/JAMCRC here, the complement of the common CRC-32 that zlib and
// libdeflate compute.
quint32 tesselCrc(const uchar* data, qint64 length)
{
    return Crc32::compute64(data, length);
}

quint32 zlibCrc(const uchar* data, qint64 length)
{
    return ~quint32(crc32_z(0, data, size_t(length)));
}

quint32 libdeflateCrc(const uchar* data, qint64 length)
{
    return ~libdeflate_crc32(0, data, size_t(length));
}

quint32 tableCrc(const uchar* data, qint64 length)
{
    static const Crc32 crc;
    return crc.computeWithTable(data, length);
}

void crc(benchmark::State& state, qint64 size, const CrcFunction& function)
{
    const ImageBuffer& image = BenchImages::inMemory(Kind::Random, BenchImages::gibibyte);
    if (function(image.data(), size) != tesselCrc(image.data(), size)) {
        state.SkipWithError("CRC differs from Crc32::compute64");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(function(image.data(), size));
    state.SetBytesProcessed(state.iterations() * size);
    state.SetLabel(
        "buffer: " + BenchImages::inMemoryPages(Kind::Random, BenchImages::gibibyte).toStdString());
}

void registerCrc(const std::string& name, qint64 size, CrcFunction function)
{
    benchmark::RegisterBenchmark(
        name.c_str(), [size, function](benchmark::State& state) { crc(state, size, function); })
        ->MinTime(0.5)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

void registerCrcBenchmarks(std::vector<RatioBar>& bars)
{
    const qint64 large = BenchImages::gibibyte;
    // The table walk runs at well under 1 GB/s: it gets a smaller buffer and its own Crc32 pair.
    const qint64 small = 64 * BenchImages::mebibyte;
    registerCrc("crc/1GiB/tessel", large, tesselCrc);
    registerCrc("crc/1GiB/zlib", large, zlibCrc);
    registerCrc("crc/1GiB/libdeflate", large, libdeflateCrc);
    registerCrc("crc/64MiB/tessel", small, tesselCrc);
    registerCrc("crc/64MiB/byte-table", small, tableCrc);
    bars.push_back({ "3 Crc32 1GiB vs zlib", "crc/1GiB/tessel", "crc/1GiB/zlib",
        RatioBar::Kind::SpeedupAtLeast, 2.0, 5.0 });
    bars.push_back({ "3 Crc32 1GiB vs libdeflate", "crc/1GiB/tessel", "crc/1GiB/libdeflate",
        RatioBar::Kind::SpeedupAtLeast, 1.0 });
    bars.push_back({ "3 Crc32 64MiB vs byte table", "crc/64MiB/tessel", "crc/64MiB/byte-table",
        RatioBar::Kind::SpeedupAtLeast, 1.0 });
}
