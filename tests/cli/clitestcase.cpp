#include "clitestcase.h"

#include "fixedclock.h"
#include "model/imagelayout.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
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

// One pass over `text`: a path filled in is never searched again, since a temporary folder's random name
// may hold "OUT" or "REPL" itself.
QString CliTestCase::fill(QString text, const Names& names) const
{
    const Names all = names
        + Names { { "IMAGE", imagePath }, { "OUT", path("out.bin") }, { "REPL", path("replacement.bin") },
              { "MISSING", path("missing.bin") }, { "FOLDER", path() } };
    QStringList alternatives;
    for (const auto& name : all)
        alternatives << QRegularExpression::escape(name.first);
    QString filled;
    int copied = 0;
    auto match = QRegularExpression(alternatives.join('|')).globalMatch(text);
    while (match.hasNext()) {
        const QRegularExpressionMatch found = match.next();
        const auto named = std::find_if(
            all.begin(), all.end(), [&](const auto& name) { return name.first == found.captured(); });
        filled += text.mid(copied, found.capturedStart() - copied) + named->second;
        copied = found.capturedEnd();
    }
    return filled + text.mid(copied);
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
