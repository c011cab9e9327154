#include "ops/record/backgroundsha256.h"

#include "ops/record/sha256.h"

#include <algorithm>

namespace {

// Between two looks at whether the digest is still wanted: long enough to cost nothing, short enough to
// stop at once.
constexpr qint64 step = qint64(8) << 20;

} // namespace

BackgroundSha256::BackgroundSha256(const uchar* data, qint64 length)
    : start(data)
    , size(length)
{
    worker = std::thread([this] {
        Sha256 digest;
        for (qint64 done = 0; done < size; done += step) {
            if (stopping.load(std::memory_order_relaxed))
                return;
            digest.add(start + done, std::min(step, size - done));
        }
        hex = digest.finishHex();
    });
}

BackgroundSha256::~BackgroundSha256()
{
    stopping = true;
    if (worker.joinable())
        worker.join();
}

QByteArray BackgroundSha256::result()
{
    if (worker.joinable())
        worker.join();
    return hex;
}
