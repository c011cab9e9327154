#pragma once

#include "ops/record/sha256.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

// A SHA-256 taken on a thread of its own from construction on, so that other work (the scan for DMHs,
// the blocks' own hashes, the writing of an output) runs beside it rather than before or after it.
// Destroyed unasked, the digest stops within a few megabytes.
class BackgroundSha256 {
public:
    // Adds the bytes to `digest`, looking at `stopping` now and then; false when they could not all be
    // had (the digest then has no result).
    using Feed = std::function<bool(Sha256& digest, const std::atomic<bool>& stopping)>;

    // Of bytes in memory, which must stay where they are until result() or the destructor returns.
    BackgroundSha256(const uchar* data, qint64 length);
    // Of what `feed` adds.
    explicit BackgroundSha256(Feed feed);
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    // Whether this digest is of exactly these bytes in memory.
    bool covers(const uchar* data, qint64 length) const { return start && data == start && length == size; }
    // Waits for the digest: 64 lowercase hex digits, or null when the feed failed. Any thread may ask,
    // and more than one at once.
    QByteArray result();

    // Adds `length` bytes at `data` in steps, stopping early when asked to; what the memory constructor
    // feeds, for feeds of their own.
    static bool addInSteps(
        Sha256& digest, const uchar* data, qint64 length, const std::atomic<bool>& stopping);

private:
    const uchar* start = nullptr;
    qint64 size = 0;
    std::atomic<bool> stopping { false };
    QByteArray hex;
    std::mutex joining;
    std::thread worker;
};
