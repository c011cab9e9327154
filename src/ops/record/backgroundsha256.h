#pragma once

#include "ops/record/sha256.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

// A SHA-256 taken on a thread of its own from construction on, so that other work (the scan for DMHs,
// the blocks' own hashes, the writing of an output) runs beside it rather than before or after it.
// Destroyed unasked, the digest stops within a few megabytes.
class BackgroundSha256 {
public:
    // What a feed adds its bytes through: in steps, counted, stopping early when the digest is no longer
    // wanted.
    class Sink {
    public:
        Sink(Sha256& digest, const std::atomic<bool>& stopping, std::atomic<qint64>& added)
            : digest(digest)
            , stopping(stopping)
            , added(added)
        {
        }
        // False when the digest stopped before all `length` bytes were added.
        bool add(const uchar* data, qint64 length);
        bool stopped() const { return stopping.load(std::memory_order_relaxed); }

    private:
        Sha256& digest;
        const std::atomic<bool>& stopping;
        std::atomic<qint64>& added;
    };
    // Adds the bytes; false when they could not all be had (the digest then has no result).
    using Feed = std::function<bool(Sink& sink)>;

    // Of bytes in memory, which must stay where they are until result() or the destructor returns.
    BackgroundSha256(const uchar* data, qint64 length);
    // Of what `feed` adds.
    explicit BackgroundSha256(Feed feed);
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    // Whether this digest is of exactly these bytes in memory.
    bool covers(const uchar* data, qint64 length) const { return start && data == start && length == size; }
    // How many bytes the digest has taken so far, for a progress line.
    qint64 bytesDone() const { return added.load(std::memory_order_relaxed); }
    // Whether the digest is done, waiting at most `wait` for it.
    bool finishedWithin(std::chrono::milliseconds wait) const;
    // Waits for the digest: 64 lowercase hex digits, or null when the feed failed. Any thread may ask,
    // and more than one at once.
    QByteArray result();

private:
    const uchar* start = nullptr;
    qint64 size = 0;
    std::atomic<bool> stopping { false };
    std::atomic<qint64> added { 0 };
    QByteArray hex;
    std::promise<void> finishing;
    std::shared_future<void> finished;
    std::mutex joining;
    std::thread worker;
};
