#include "imagefixture.h"

#include "fixedclock.h"
#include "imagebuilder.h"
#include "ops/export/blockexport.h"

#include <QFile>

bool ImageFixture::writeReplacement(const QString& name, qint64 length) const
{
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (length > (qint64(4) << 20))
        return file.resize(length);
    return file.write(ImageBuilder::randomBytes(length, quint32(length))) == length;
}

bool ImageFixture::load(const QByteArray& bytes)
{
    imagePath = path(QStringLiteral("image.bin"));
    return write(QStringLiteral("image.bin"), bytes) && reload();
}

bool ImageFixture::reload()
{
    imagePath = path(QStringLiteral("image.bin"));
    image = std::make_unique<FlashImage>();
    const bool loaded = image->load(imagePath.toStdWString());
    catalogue = image->dmhRecords();
    return loaded;
}

ReplaceRequest ImageFixture::request(
    const QString& id, const QString& replacement, const QString& output, ExistingOutput existing) const
{
    ReplaceRequest request;
    request.idText = id;
    request.replacementPath = path(replacement);
    request.outputPath = path(output);
    request.existingOutput = existing;
    request.loadedImagePath = imagePath;
    request.stampTime = fixedStamp();
    return request;
}

Outcome ImageFixture::replace(const ReplaceRequest& request, ReplacePlan* plan)
{
    return replaceBlockAt(*image, catalogue, findBlock(catalogue, request.idText), request, plan);
}

Outcome ImageFixture::exportBlock(const QString& id, const QString& output, ExistingOutput existing) const
{
    return ::exportBlock(ImageView::of(*image), findBlock(catalogue, id), path(output), existing);
}
