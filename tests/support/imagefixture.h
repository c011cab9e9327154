#pragma once

#include "testfolder.h"
#include "model/flashimage.h"
#include "ops/replace/replaceaction.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// A fresh folder with an image written into it as image.bin and loaded the way the front ends load it,
// with a front end's own copy of the catalogue (a growth changes it); and the files the block actions
// read and write beside it, named relative to the folder.
class ImageFixture {
public:
    bool isValid() const { return folder.isValid(); }
    QString path(const QString& name) const { return folder.filePath(name); }
    bool write(const QString& name, const QByteArray& bytes) const { return folder.write(name, bytes); }
    // Writes the file `name` and returns its path; one that cannot be written ends the program.
    QString create(const QString& name, const QByteArray& bytes) const { return folder.create(name, bytes); }
    // A file of `length` bytes; beyond a few MiB a sparse one, so that several GiB cost no disk.
    bool writeReplacement(const QString& name, qint64 length) const;
    QByteArray read(const QString& name) const { return folder.read(name); }
    // Every name in the folder, hidden ones (a save file's temporary) included.
    QStringList entries() const { return folder.entries(); }

    // Writes `bytes` as image.bin and loads it; false when either fails.
    bool load(const QByteArray& bytes);
    // Loads image.bin again as it now stands on disk, with a fresh catalogue.
    bool reload();

    // A request as a front end makes it, stamped with the fixed clock.
    ReplaceRequest request(const QString& id, const QString& replacement, const QString& output,
        ExistingOutput existing = ExistingOutput::Replace) const;
    Outcome replace(const ReplaceRequest& request, ReplacePlan* plan = nullptr);
    Outcome replaceBlock(const QString& id, const QString& replacement, const QString& output,
        ExistingOutput existing = ExistingOutput::Replace)
    {
        return replace(request(id, replacement, output, existing));
    }
    Outcome exportBlock(
        const QString& id, const QString& output, ExistingOutput existing = ExistingOutput::Replace) const;

    std::unique_ptr<FlashImage> image;
    QVector<DmhRecord> catalogue;
    QString imagePath;

private:
    TestFolder folder;
};
