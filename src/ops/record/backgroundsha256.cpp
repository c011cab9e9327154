#include "ops/record/backgroundsha256.h"

#include <algorithm>

namespace {

// Between two looks at whether the digest is still wanted: long enough to cost nothing, short enough to
// stop at once.
constexpr qint64 step = qint64(8) << 20;

} // namespace

BackgroundSha256::BackgroundSha256(const uchar* data, qint64 length)
    : BackgroundSha256(Feed([data, length](Sha256& digest, const std::atomic<bool>& stopping) {
        return addInSteps(digest, data, length, stopping);
    }))
{
    start = data;
    size = length;
}

BackgroundSha256::BackgroundSha256(Feed feed)
{
    worker = std::thread([this, feed = std::move(feed)] {
        Sha256 digest;
        if (feed(digest, stopping))
            hex = digest.finishHex();
    });
}

BackgroundSha256::~BackgroundSha256()
{
    stopping = true;
    result();
}

QByteArray BackgroundSha256::result()
{
    const std::lock_guard<std::mutex> lock(joining);
    if (worker.joinable())
        worker.join();
    return hex;
}

bool BackgroundSha256::addInSteps(
    Sha256& digest, const uchar* data, qint64 length, const std::atomic<bool>& stopping)
{
    for (qint64 done = 0; done < length; done += step) {
        if (stopping.load(std::memory_order_relaxed))
            return false;
        digest.add(data + done, std::min(step, length - done));
    }
    return true;
}
