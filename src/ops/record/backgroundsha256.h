#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <thread>

// The SHA-256 of bytes in memory, taken on a thread of its own from construction on, so that other work
// on the same bytes (the scan for DMHs, the blocks' own hashes) runs beside it rather than after it. The
// bytes must stay where they are until result() or the destructor returns; destroyed unasked, the digest
// stops within a few megabytes.
class BackgroundSha256 {
public:
    BackgroundSha256(const uchar* data, qint64 length);
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    // Whether this digest is of exactly these bytes.
    bool covers(const uchar* data, qint64 length) const { return data == start && length == size; }
    // Waits for the digest: 64 lowercase hex digits.
    QByteArray result();

private:
    const uchar* start;
    qint64 size;
    std::atomic<bool> stopping { false };
    QByteArray hex;
    std::thread worker;
};
