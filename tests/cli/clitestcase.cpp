#include "clitestcase.h"

#include "fixedclock.h"
#include "model/imagelayout.h"

#include <QtTest>

#include <ctime>

qint64 entryField(int index, int fieldOffset)
{
    return dmhPosition + ImageLayout::dmhHeaderSize + BlockEntry::byteSize * index + fieldOffset;
}

Outcome CliTestCase::replaceInProcess(
    const QString& idText, const QString& replacement, const QString& output, ReplacePlan* plan)
{
    if (!fixture->reload())
        return Outcome::refused(QStringLiteral("load failed"));
    ReplaceRequest request = fixture->request(idText, replacement, output);
    request.dryRun = output.isEmpty();
    return fixture->replace(request, plan);
}

void CliTestCase::initTestCase()
{
    qputenv("SOURCE_DATE_EPOCH", QByteArray::number(fixedEpoch));
    qputenv("TZ", "UTC");
    tzset();
}

void CliTestCase::init()
{
    fixture = std::make_unique<ImageFixture>();
    QVERIFY2(fixture->isValid(), "cannot make a temporary directory");
    imagePath = path(QStringLiteral("image.bin"));
    QVERIFY2(fixture->write("image.bin", StandardImages::fiveBlocks()), "cannot write the standard image");
}
