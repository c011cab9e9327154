#pragma once

#include "fixedclock.h"
#include "imagebuilder.h"
#include "testfolder.h"
#include "model/flashimage.h"
#include "ops/blockexport.h"
#include "ops/blocklocation.h"
#include "ops/blockgrow.h"
#include "ops/blockreplace.h"
#include "ops/stamptime.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <memory>

// One image written to a fresh folder, loaded the way the window loads it, with the window's own copy
// of the catalogue; and the files a block action reads and writes beside it.
class HostileFixture {
public:
    HostileFixture() = default;

    QString path(const QString& name) const { return folder.filePath(name); }

    bool write(const QString& name, const QByteArray& bytes) const { return folder.write(name, bytes); }

    // A file of `length` bytes; beyond a few MiB a sparse one, so that several GiB cost no disk.
    bool writeReplacement(const QString& name, qint64 length) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        if (length > (qint64(4) << 20))
            return file.resize(length);
        return file.write(ImageBuilder::randomBytes(length, quint32(length))) == length;
    }

    QByteArray read(const QString& name) const { return folder.read(name); }

    // Writes the image as image.bin and loads it; the catalogue is what the window would copy.
    bool load(const QByteArray& image)
    {
        imagePath = path(QStringLiteral("image.bin"));
        if (!write(QStringLiteral("image.bin"), image))
            return false;
        loaded = std::make_unique<FlashImage>();
        const bool ok = loaded->load(imagePath.toStdWString());
        catalogue = loaded->dmhRecords();
        return ok;
    }

    // Loads image.bin again as it now stands on disk: a growth changes the image in memory.
    bool reload()
    {
        loaded = std::make_unique<FlashImage>();
        const bool ok = loaded->load(imagePath.toStdWString());
        catalogue = loaded->dmhRecords();
        return ok;
    }

    Outcome exportBlock(
        const QString& id, const QString& output, ExistingOutput existing = ExistingOutput::Replace) const
    {
        return ::exportBlock(ImageView::of(*loaded), findBlock(catalogue, id), path(output), existing);
    }

    Outcome replaceBlock(const QString& id, const QString& replacement, const QString& output,
        ExistingOutput existing = ExistingOutput::Replace)
    {
        ReplaceRequest request;
        request.idText = id;
        request.replacementPath = path(replacement);
        request.outputPath = path(output);
        request.existingOutput = existing;
        request.loadedImagePath = imagePath;
        request.stampTime = fixedStamp();
        return ::replaceBlock(*loaded, catalogue, request);
    }

    // Every name in the folder, hidden ones (a save file's temporary) included.
    QStringList entries() const { return folder.entries(); }

    std::unique_ptr<FlashImage> loaded;
    QVector<DmhRecord> catalogue;
    QString imagePath;

private:
    TestFolder folder;
};
