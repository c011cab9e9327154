#include "ops/record/backgroundsha256.h"

#include <algorithm>

namespace {

// Between two looks at whether the digest is still wanted: long enough to cost nothing, short enough to
// stop at once.
constexpr qint64 step = qint64(8) << 20;

} // namespace

bool BackgroundSha256::Sink::add(const uchar* data, qint64 length)
{
    for (qint64 done = 0; done < length; done += step) {
        if (stopped())
            return false;
        const qint64 now = std::min(step, length - done);
        digest.add(data + done, now);
        added.fetch_add(now, std::memory_order_relaxed);
    }
    return true;
}

BackgroundSha256::BackgroundSha256(const uchar* data, qint64 length)
    : BackgroundSha256(Feed([data, length](Sink& sink) { return sink.add(data, length); }))
{
    start = data;
    size = length;
}

BackgroundSha256::BackgroundSha256(Feed feed)
    : finished(finishing.get_future().share())
{
    worker = std::thread([this, feed = std::move(feed)] {
        Sha256 digest;
        Sink sink(digest, stopping, added);
        if (feed(sink))
            hex = digest.finishHex();
        finishing.set_value();
    });
}

BackgroundSha256::~BackgroundSha256()
{
    stopping = true;
    result();
}

bool BackgroundSha256::finishedWithin(std::chrono::milliseconds wait) const
{
    return finished.wait_for(wait) == std::future_status::ready;
}

QByteArray BackgroundSha256::result()
{
    const std::lock_guard<std::mutex> lock(joining);
    if (worker.joinable())
        worker.join();
    return hex;
}
