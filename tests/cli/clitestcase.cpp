#include "clitestcase.h"

#include "fixedclock.h"
#include "testfiles.h"
#include "model/flashimage.h"
#include "model/imagelayout.h"

#include <QtTest>

#include <ctime>

qint64 entryField(int index, int fieldOffset)
{
    return dmhPosition + ImageLayout::dmhHeaderSize + BlockEntry::byteSize * index + fieldOffset;
}

Outcome replaceInProcess(const QString& imagePath, const QString& idText, const QString& replacementPath,
    const QString& outputPath, ReplacePlan* plan)
{
    FlashImage image;
    if (!image.load(imagePath.toStdWString()))
        return Outcome::refused(QStringLiteral("load failed"));
    QVector<DmhRecord> catalogue = image.dmhRecords();
    ReplaceRequest request;
    request.idText = idText;
    request.replacementPath = replacementPath;
    request.outputPath = outputPath;
    request.loadedImagePath = imagePath;
    request.stampTime = StampTime::fromDateTime(QDateTime::fromSecsSinceEpoch(fixedEpoch, Qt::UTC));
    request.dryRun = outputPath.isEmpty();
    return replaceBlock(image, catalogue, request, plan);
}

void CliTestCase::initTestCase()
{
    qputenv("SOURCE_DATE_EPOCH", QByteArray::number(fixedEpoch));
    qputenv("TZ", "UTC");
    tzset();
}

void CliTestCase::init()
{
    directory = std::make_unique<TestFolder>();
    QVERIFY2(directory->isValid(), "cannot make a temporary directory");
    imagePath = path(QStringLiteral("image.bin"));
    QVERIFY2(writeFile(imagePath, StandardImages::fiveBlocks()), "cannot write the standard image");
}
