#include "clitestcase.h"

#include "fixedclock.h"
#include "model/imagelayout.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <ctime>

qint64 entryField(int index, int fieldOffset)
{
    return dmhPosition + ImageLayout::dmhHeaderSize + BlockEntry::byteSize * index + fieldOffset;
}

void checkFields(const QJsonObject& object, const QJsonObject& expected)
{
    for (auto field = expected.begin(); field != expected.end(); ++field) {
        const QJsonObject got { { field.key(), object.value(field.key()) } };
        QVERIFY2(got.value(field.key()) == field.value(),
            QJsonDocument(got).toJson(QJsonDocument::Compact).constData());
    }
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

QString CliTestCase::fill(QString text, const Names& names) const
{
    for (const auto& [name, value] : names
            + Names { { "IMAGE", imagePath }, { "OUT", path("out.bin") }, { "REPL", path("replacement.bin") },
                { "MISSING", path("missing.bin") }, { "FOLDER", path() } })
        text.replace(name, value);
    return text;
}

QStringList CliTestCase::fill(QStringList texts, const Names& names) const
{
    for (QString& text : texts)
        text = fill(text, names);
    return texts;
}

QStringList CliTestCase::words(const QString& line, const Names& names) const
{
    return fill(
        line.split(' ', Qt::SkipEmptyParts).replaceInStrings(QRegularExpression("^\"\"$"), QString()), names);
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
