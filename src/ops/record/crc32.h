#pragma once

#include <QtGlobal>

#include <array>

// The one CRC of the program: CRC-32/JAMCRC (reflected, polynomial 0xEDB88320, register starting at
// 0xFFFFFFFF, no final inversion), the bitwise complement of the common CRC-32. Entry CRCs and record
// CRCs alike are this value, stored as it comes out.
class Crc32 {
public:
    Crc32();

    // The CRC of the first `length` bytes; a length of 0 or less gives 0xFFFFFFFF.
    quint32 compute(const uchar* data, qint32 length) const;

    // The same CRC for any length, 2 GiB and beyond.
    static quint32 compute64(const uchar* data, qint64 length);

    // The byte-at-a-time table walk: slow, and no operation uses it. It stays as the reference the tests,
    // fuzz-replace and the CRC benchmark hold the fast path to.
    quint32 computeWithTable(const uchar* data, qint64 length) const;

private:
    std::array<quint32, 256> lookup {};
};
