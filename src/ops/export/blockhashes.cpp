#include "ops/export/blockhashes.h"

#include "ops/export/blockexport.h"
#include "ops/record/sha256.h"

#include <QMap>
#include <QPair>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Below this many bytes to hash in all, starting threads costs more than it saves.
constexpr qint64 parallelFrom = qint64(32) << 20;

using Range = QPair<qint64, qint64>;

// Hashes `ranges` of the image into `hashes` (same order), taking the next unclaimed range each time, so
// that threads that finish early take over the rest.
// `hashed` counts the bytes done; `report`, given only on the calling thread, hears of each range.
void hashRanges(const ImageView& image, const std::vector<Range>& ranges, std::vector<QByteArray>& hashes,
    std::atomic<size_t>& next, std::atomic<qint64>& hashed, const std::function<void()>& report = {})
{
    for (size_t at = next++; at < ranges.size(); at = next++) {
        hashes[at] = Sha256::hex(image.data + ranges[at].first, ranges[at].second);
        hashed += ranges[at].second;
        if (report)
            report();
    }
}

// The range each entry's export would write, each range listed once however many entries list it.
struct ExportRanges {
    std::vector<Range> ranges;
    // Per block, its place in `ranges`; -1 for one whose export is refused.
    QVector<int> rangeOfBlock;
    // The length of all ranges.
    qint64 bytes = 0;

    static ExportRanges of(const ImageView& image, const QVector<BlockFacts>& blocks)
    {
        ExportRanges exports;
        exports.rangeOfBlock.fill(-1, blocks.size());
        QMap<Range, int> rangeIndex;
        for (int at = 0; at < blocks.size(); ++at) {
            const Refusable<ExportPlan> planned = planExport(image, blocks[at].location(), QString());
            if (!planned.accepted())
                continue;
            const Range range { planned.value->output.sourceStart, planned.value->output.length };
            auto found = rangeIndex.find(range);
            if (found == rangeIndex.end()) {
                found = rangeIndex.insert(range, int(exports.ranges.size()));
                exports.ranges.push_back(range);
                exports.bytes += range.second;
            }
            exports.rangeOfBlock[at] = found.value();
        }
        return exports;
    }
};

// The ranges' places, longest first, so that no thread is left with a long range at the end while the
// others idle.
std::vector<size_t> longestFirst(const std::vector<Range>& ranges)
{
    std::vector<size_t> order(ranges.size());
    for (size_t at = 0; at < order.size(); ++at)
        order[at] = at;
    std::stable_sort(order.begin(), order.end(),
        [&ranges](size_t left, size_t right) { return ranges[left].second > ranges[right].second; });
    return order;
}

// Hashes the ranges on the cores the image's digest leaves free, and on the digest's core once it is done.
// The calling thread reports (when `report` is given) until the digest ends.
void hashBesideTheImage(const ImageView& image, const std::vector<Range>& sorted,
    std::vector<QByteArray>& sortedHashes, BackgroundSha256* digest, std::atomic<qint64>& hashed,
    const std::function<void()>& report)
{
    std::atomic<size_t> next { 0 };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t helpers = std::min<size_t>(sorted.size(), cores > 1 ? cores - 1 : 1);
    std::vector<std::thread> threads;
    for (size_t at = 1; at < helpers; ++at)
        threads.emplace_back([&] { hashRanges(image, sorted, sortedHashes, next, hashed); });
    if (digest && sorted.size() > helpers) {
        threads.emplace_back([&] {
            digest->result();
            hashRanges(image, sorted, sortedHashes, next, hashed);
        });
    }
    hashRanges(image, sorted, sortedHashes, next, hashed, report);
    while (report && digest && !digest->finishedWithin(std::chrono::milliseconds(100)))
        report();
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace

BlockHashes BlockHashes::compute(const ImageView& image, const QVector<DmhRecord>& catalogue,
    BackgroundSha256* imageUnderWay, const ProgressCallback& progress)
{
    const QVector<BlockFacts> blocks = BlockFacts::collect(image, catalogue);
    const ExportRanges exports = ExportRanges::of(image, blocks);
    const std::vector<Range>& ranges = exports.ranges;
    const qint64 bytes = image.size + exports.bytes;
    const std::vector<size_t> order = longestFirst(ranges);
    std::vector<Range> sorted;
    sorted.reserve(ranges.size());
    for (const size_t at : order)
        sorted.push_back(ranges[at]);

    BlockHashes hashes;
    std::vector<QByteArray> sortedHashes(sorted.size());
    std::atomic<size_t> next { 0 };
    std::unique_ptr<BackgroundSha256> ownDigest;
    if (!imageUnderWay || !imageUnderWay->covers(image.data, image.size)) {
        imageUnderWay = nullptr;
        // The whole image is one sequential hash, usually the longest job: on a large image it starts
        // first, on its own thread.
        if (bytes >= parallelFrom)
            ownDigest = std::make_unique<BackgroundSha256>(image.data, image.size);
        else
            hashes.imageHash = Sha256::hex(image.data, image.size);
    }
    BackgroundSha256* const digest = imageUnderWay ? imageUnderWay : ownDigest.get();
    std::atomic<qint64> hashed { digest ? 0 : image.size };
    const std::function<void()> report = !progress ? std::function<void()>() : [&] {
        progress(hashed + (digest ? digest->bytesDone() : 0), bytes);
    };
    if (bytes < parallelFrom)
        hashRanges(image, sorted, sortedHashes, next, hashed, report);
    else
        hashBesideTheImage(image, sorted, sortedHashes, digest, hashed, report);
    if (digest)
        hashes.imageHash = digest->result();
    if (progress)
        progress(bytes, bytes);

    std::vector<QByteArray> rangeHashes(ranges.size());
    for (size_t at = 0; at < order.size(); ++at)
        rangeHashes[order[at]] = sortedHashes[at];
    hashes.perDmh.resize(catalogue.size());
    for (int at = 0; at < blocks.size(); ++at) {
        QVector<QByteArray>& dmh = hashes.perDmh[blocks[at].dmhIndex];
        dmh.resize(blocks[at].entryIndex + 1);
        if (exports.rangeOfBlock[at] >= 0)
            dmh[blocks[at].entryIndex] = rangeHashes[size_t(exports.rangeOfBlock[at])];
    }
    return hashes;
}

QByteArray BlockHashes::of(int dmhIndex, int entryIndex) const
{
    if (dmhIndex < 0 || dmhIndex >= perDmh.size() || entryIndex < 0 || entryIndex >= perDmh[dmhIndex].size())
        return QByteArray();
    return perDmh[dmhIndex][entryIndex];
}
