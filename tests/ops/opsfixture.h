#pragma once

#include "imagebuilder.h"
#include "model/flashimage.h"
#include "ops/stamptime.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Test images written to a fresh folder and loaded the way the front ends load them.
class OpsFixture {
public:
    OpsFixture()
        : folder(new QTemporaryDir)
    {
    }

    QString path(const QString& name) const { return folder->filePath(name); }

    QString write(const QString& name, const QByteArray& bytes) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return file.fileName();
    }

    // Writes `bytes` as image.bin and loads it; null when the load fails.
    std::unique_ptr<FlashImage> load(
        const QByteArray& bytes, const QString& name = QStringLiteral("image.bin"))
    {
        imagePath = write(name, bytes);
        auto image = std::make_unique<FlashImage>();
        if (imagePath.isEmpty() || !image->load(imagePath.toStdWString()))
            return nullptr;
        return image;
    }

    QString imagePath;

private:
    std::unique_ptr<QTemporaryDir> folder;
};

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QByteArray imageBytes(const FlashImage& image)
{
    return QByteArray(reinterpret_cast<const char*>(image.imageData()), int(image.imageSize()));
}

// The moment the tests stamp records with: 2026-03-05 07:08:09.
inline StampTime fixedStamp()
{
    return StampTime::of(2026, 3, 5, 7, 8, 9);
}

// Lays `data` over `target` at `position`.
inline void overlay(QByteArray& target, qint64 position, const QByteArray& data)
{
    target.replace(int(position), data.size(), data);
}

inline QByteArray u32Bytes(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int index = 0; index < 4; ++index)
        bytes[index] = char((value >> (8 * index)) & 0xFF);
    return bytes;
}
