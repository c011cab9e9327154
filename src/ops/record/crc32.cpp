#include "ops/record/crc32.h"

#include <isa-l/crc.h>

Crc32::Crc32()
{
    for (quint32 index = 0; index < 256; ++index) {
        quint32 value = index;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        lookup[index] = value;
    }
}

quint32 Crc32::compute(const uchar* data, qint32 length) const
{
    return length <= 0 ? 0xFFFFFFFFu : compute64(data, length);
}

quint32 Crc32::compute64(const uchar* data, qint64 length)
{
    if (length <= 0)
        return 0xFFFFFFFFu;
    // isa-l gives the common CRC-32 (inverted on entry and exit); JAMCRC is its complement.
    return ~crc32_gzip_refl(0, data, quint64(length));
}

quint32 Crc32::computeWithTable(const uchar* data, qint64 length) const
{
    quint32 crc = 0xFFFFFFFFu;
    for (qint64 index = 0; index < length; ++index)
        crc = (crc >> 8) ^ lookup[(crc ^ data[index]) & 0xFF];
    return crc;
}
