#pragma once

#include <QByteArray>
#include <QtGlobal>

class FlashImage;

// Byte helpers for building and patching test images by hand.

// Lays `data` over `target` at `position`; the target keeps its length.
void overlay(QByteArray& target, qint64 position, const QByteArray& data);
// The four little-endian bytes of `value`, as the image stores a u32.
QByteArray u32Bytes(quint32 value);
// A copy of the image the FlashImage holds in memory.
QByteArray imageBytes(const FlashImage& image);
