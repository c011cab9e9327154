#include "imagedigests.h"
#include "manifestcheck.h"

#include "manifest.h"
#include "texttable.h"

#include "model/blockentry.h"
#include "model/flashimage.h"

#include <QFile>
#include <QJsonArray>
#include <QMap>

#include <tuple>

namespace {

// A block's key: DMH index, ID and rank among that DMH's entries with that ID.
using BlockKey = std::tuple<int, int, int>;

QMap<BlockKey, const ManifestBlock*> keyed(const Manifest& manifest, QVector<BlockKey>& order)
{
    QMap<BlockKey, const ManifestBlock*> blocks;
    QMap<QPair<int, int>, int> seen;
    for (const ManifestBlock& block : manifest.blocks) {
        const BlockKey key { block.dmhIndex, block.id, seen[{ block.dmhIndex, block.id }]++ };
        blocks.insert(key, &block);
        order.append(key);
    }
    return blocks;
}

struct FieldDifference {
    QString field;
    QJsonValue expected;
    QJsonValue found;
};

QJsonValue hashValue(const QByteArray& sha256)
{
    return sha256.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromLatin1(sha256));
}

QVector<FieldDifference> differences(const ManifestBlock& expected, const ManifestBlock& found)
{
    QVector<FieldDifference> fields;
    if (expected.name != found.name)
        fields.append({ QStringLiteral("name"), expected.name, found.name });
    if (expected.version != found.version)
        fields.append({ QStringLiteral("version"), expected.version, found.version });
    if (expected.size != found.size)
        fields.append({ QStringLiteral("size"), double(expected.size), double(found.size) });
    if (expected.exportedLength != found.exportedLength)
        fields.append({ QStringLiteral("exportedLength"), double(expected.exportedLength),
            double(found.exportedLength) });
    if (expected.sha256 != found.sha256)
        fields.append({ QStringLiteral("sha256"), hashValue(expected.sha256), hashValue(found.sha256) });
    return fields;
}

QString valueText(const QJsonValue& value)
{
    if (value.isNull())
        return QStringLiteral("none");
    if (value.isDouble())
        return QString::number(qint64(value.toDouble()));
    return QLatin1Char('"') + printableText(value.toString()) + QLatin1Char('"');
}

// One block that does not match, in the report's two forms.
struct Mismatch {
    QString status;
    BlockKey key;
    QString name;
    QVector<FieldDifference> fields;

    QString fieldsText() const
    {
        QStringList texts;
        for (const FieldDifference& field : fields)
            texts << QStringLiteral("%1: expected %2, found %3")
                         .arg(field.field, valueText(field.expected), valueText(field.found));
        return texts.join(QStringLiteral("; "));
    }

    QJsonObject json() const
    {
        QJsonArray fieldsJson;
        for (const FieldDifference& field : fields)
            fieldsJson.append(QJsonObject { { QStringLiteral("field"), field.field },
                { QStringLiteral("expected"), field.expected }, { QStringLiteral("found"), field.found } });
        return QJsonObject {
            { QStringLiteral("status"), status },
            { QStringLiteral("dmhIndex"), std::get<0>(key) },
            { QStringLiteral("id"), std::get<1>(key) },
            { QStringLiteral("idText"), BlockEntry::idText(quint8(std::get<1>(key))) },
            { QStringLiteral("rank"), std::get<2>(key) },
            { QStringLiteral("name"), name },
            { QStringLiteral("fields"), fieldsJson },
        };
    }
};

// Every block of `found` against the block of `expected` with its key, in the image's order, then the
// expected blocks the image lacks. `matching` counts the blocks that match.
QVector<Mismatch> compareBlocks(const Manifest& expected, const Manifest& found, int& matching)
{
    QVector<BlockKey> expectedOrder;
    QVector<BlockKey> foundOrder;
    const QMap<BlockKey, const ManifestBlock*> expectedBlocks = keyed(expected, expectedOrder);
    const QMap<BlockKey, const ManifestBlock*> foundBlocks = keyed(found, foundOrder);
    QVector<Mismatch> mismatches;
    for (const BlockKey& key : foundOrder) {
        const ManifestBlock* block = foundBlocks.value(key);
        const ManifestBlock* wanted = expectedBlocks.value(key);
        if (!wanted) {
            mismatches.append({ QStringLiteral("extra"), key, block->name, {} });
            continue;
        }
        const QVector<FieldDifference> fields = differences(*wanted, *block);
        if (fields.isEmpty())
            ++matching;
        else
            mismatches.append({ QStringLiteral("differs"), key, block->name, fields });
    }
    for (const BlockKey& key : expectedOrder) {
        if (!foundBlocks.contains(key))
            mismatches.append({ QStringLiteral("missing"), key, expectedBlocks.value(key)->name, {} });
    }
    return mismatches;
}

// "1 differing, 2 missing", and the image's hash when it differs.
QString mismatchCounts(const QVector<Mismatch>& mismatches, bool imageMatches)
{
    QStringList counts;
    for (const QString& status :
        { QStringLiteral("differs"), QStringLiteral("missing"), QStringLiteral("extra") }) {
        const auto count = std::count_if(mismatches.cbegin(), mismatches.cend(),
            [&status](const Mismatch& mismatch) { return mismatch.status == status; });
        if (count > 0)
            counts << QStringLiteral("%1 %2").arg(count).arg(
                status == QLatin1String("differs") ? QStringLiteral("differing") : status);
    }
    if (!imageMatches)
        counts << QStringLiteral("the image's SHA-256 differs");
    return counts.join(QStringLiteral(", "));
}

QString mismatchTable(const QVector<Mismatch>& mismatches)
{
    TextTable table({ QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Name"),
        QStringLiteral("Result"), QStringLiteral("Differences") });
    for (const Mismatch& mismatch : mismatches)
        table.addRow({ QString::number(std::get<0>(mismatch.key)),
            BlockEntry::idText(quint8(std::get<1>(mismatch.key))), printableText(mismatch.name),
            mismatch.status,
            mismatch.status == QLatin1String("differs") ? mismatch.fieldsText() : QStringLiteral("-") });
    return table.render();
}

} // namespace

CommandResult verifyAgainstManifest(const FlashImage& image, const QString& manifestPath)
{
    QFile file(manifestPath);
    if (!file.open(QIODevice::ReadOnly))
        return CommandResult::failure(exitBadInput,
            QStringLiteral("Can not read the manifest %1: %2.").arg(manifestPath, file.errorString()));
    const ManifestRead read = ManifestRead::parse(file.readAll());
    if (!read.manifest)
        return CommandResult::failure(
            exitBadInput, QStringLiteral("%1 is not a manifest: %2.").arg(manifestPath, read.error));
    const Manifest& expected = *read.manifest;
    const ImageView view = ImageView::of(image);
    const Manifest found = Manifest::of(view, image.dmhRecords(), ImageDigests::blockHashes(image));

    int matching = 0;
    const QVector<Mismatch> mismatches = compareBlocks(expected, found, matching);
    const bool imageCompared = !expected.imageSha256.isNull();
    const bool imageMatches = !imageCompared || expected.imageSha256 == found.imageSha256;

    CommandResult result;
    QJsonArray mismatchJson;
    for (const Mismatch& mismatch : mismatches)
        mismatchJson.append(mismatch.json());
    const bool matches = mismatches.isEmpty() && imageMatches;
    result.details = QJsonObject {
        { QStringLiteral("manifest"), manifestPath },
        { QStringLiteral("manifestKind"), expected.kind },
        { QStringLiteral("matches"), matches },
        { QStringLiteral("blocksExpected"), expected.blocks.size() },
        { QStringLiteral("blocksFound"), found.blocks.size() },
        { QStringLiteral("blocksMatching"), matching },
        { QStringLiteral("mismatches"), mismatchJson },
        { QStringLiteral("sha256"), QString::fromLatin1(found.imageSha256) },
        { QStringLiteral("expectedSha256"), hashValue(expected.imageSha256) },
    };
    QStringList lines;
    if (!mismatches.isEmpty())
        lines << mismatchTable(mismatches);
    if (!imageMatches)
        lines << QStringLiteral("Image SHA-256: expected %1, found %2")
                     .arg(QString::fromLatin1(expected.imageSha256), QString::fromLatin1(found.imageSha256));
    result.text = lines.join(QStringLiteral("\n\n"));
    if (matches) {
        result.message
            = QStringLiteral("All %1 blocks match %2%3.")
                  .arg(found.blocks.size())
                  .arg(manifestPath,
                      imageCompared ? QStringLiteral(", and so does the image's SHA-256") : QString());
        return result;
    }
    result.exitStatus = exitRefused;
    result.message = QStringLiteral("The image does not match %1: %2.")
                         .arg(manifestPath, mismatchCounts(mismatches, imageMatches));
    return result;
}
