#pragma once

#include "testfolder.h"

#include "model/flashimage.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A test folder with an image written into it and loaded the way the front ends load it.
class OpsFixture {
public:
    QString path(const QString& name) const { return folder.filePath(name); }

    // Writes `bytes` as the file `name`; its path, or an empty string when the write failed.
    QString write(const QString& name, const QByteArray& bytes) const
    {
        return folder.write(name, bytes) ? path(name) : QString();
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

    // Every name in the folder, hidden ones included.
    QStringList entries() const { return folder.entries(); }

    QString imagePath;

private:
    TestFolder folder;
};
