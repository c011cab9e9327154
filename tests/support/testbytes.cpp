#include "testbytes.h"

#include "model/flashimage.h"

void overlay(QByteArray& target, qint64 position, const QByteArray& data)
{
    target.replace(int(position), data.size(), data);
}

QByteArray u32Bytes(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int index = 0; index < 4; ++index)
        bytes[index] = char((value >> (8 * index)) & 0xFF);
    return bytes;
}

QByteArray imageBytes(const FlashImage& image)
{
    return QByteArray(reinterpret_cast<const char*>(image.imageData()), int(image.imageSize()));
}
