#include "ops/pack/folderlayout.h"

#include "ops/record/blockinfo.h"
#include "ops/record/sha256.h"

#include "model/imagelayout.h"

#include <QJsonArray>

#include <algorithm>
#include <cstring>

namespace {

// Runs of 0xFF shorter than this between two kept runs stay in the range: a few bytes more on disk cost
// less than a range more in the index.
constexpr qint64 joinedGap = 64;
// What one rest file holds at most, so that its bytes fit a QByteArray whatever the image.
constexpr qint64 restFileLimit = qint64(256) << 20;

// The ranges sorted, with overlapping and touching ones (or ones `gap` bytes apart) made one.
QVector<ImageRange> merged(QVector<ImageRange> ranges, qint64 gap = 0)
{
    std::sort(ranges.begin(), ranges.end(),
        [](const ImageRange& left, const ImageRange& right) { return left.start < right.start; });
    QVector<ImageRange> result;
    for (const ImageRange& range : qAsConst(ranges)) {
        if (range.length <= 0)
            continue;
        if (!result.isEmpty() && range.start <= result.last().end() + gap)
            result.last().length = std::max(result.last().end(), range.end()) - result.last().start;
        else
            result.append(range);
    }
    return result;
}

bool allFF(const uchar* data, qint64 length)
{
    static const uchar ones[64] = { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff };
    return std::memcmp(data, ones, size_t(length)) == 0;
}

// The runs of bytes other than 0xFF in [start, end) of the image.
void addRunsNotFF(const ImageView& image, qint64 start, qint64 end, QVector<ImageRange>& runs)
{
    qint64 at = start;
    while (at < end) {
        // Whole stretches of 0xFF are passed 64 bytes at a time.
        while (at + 64 <= end && allFF(image.data + at, 64))
            at += 64;
        while (at < end && image.data[at] == 0xff)
            ++at;
        if (at >= end)
            break;
        const qint64 runStart = at;
        while (at < end && image.data[at] != 0xff)
            ++at;
        if (!runs.isEmpty() && runStart - runs.last().end() < joinedGap)
            runs.last().length = at - runs.last().start;
        else
            runs.append({ runStart, at - runStart });
    }
}

QByteArray restFileName(int index)
{
    return "rest-" + QByteArray::number(index) + ".bin";
}

} // namespace

qint64 RestFile::length() const
{
    qint64 total = 0;
    for (const ImageRange& range : ranges)
        total += range.length;
    return total;
}

FolderLayout FolderLayout::describe(
    const ImageView& image, const QVector<DmhRecord>& catalogue, QVector<ImageRange> blockFileRanges)
{
    FolderLayout layout;
    layout.imageLength = image.size;

    QVector<ImageRange> kept;
    qint64 covered = 0;
    for (const ImageRange& blockFile : merged(blockFileRanges)) {
        addRunsNotFF(image, covered, std::min(blockFile.start, image.size), kept);
        covered = std::max(covered, blockFile.end());
    }
    addRunsNotFF(image, covered, image.size, kept);
    for (const DmhRecord& dmh : catalogue) {
        const qint64 tableEnd = qint64(dmh.position) + ImageLayout::dmhHeaderSize
            + qint64(dmh.entryCount) * std::max<qint64>(dmh.entrySize, ImageLayout::entryStride);
        kept.append({ qint64(dmh.position), std::min(tableEnd, image.size) - qint64(dmh.position) });
        // A record, or the signature at a block's end that reads as one once a growth moves the block,
        // decides how the block is exported and whether the growth may move it; it is kept even where a
        // block file (this block's or one around it) holds it, since that file may be edited.
        for (const BlockEntry& entry : dmh.entries) {
            const qint64 end = qint64(dmh.position) + entry.offset + entry.size;
            if (entry.size < quint32(BlockInfo::recordSize) || end > image.size
                || std::memcmp(image.data + end - BlockInfo::recordSize, BlockInfo::signature,
                       BlockInfo::signatureLength)
                    != 0)
                continue;
            QVector<ImageRange> recordRuns;
            addRunsNotFF(image, end - BlockInfo::recordSize, end, recordRuns);
            kept += recordRuns;
        }
    }

    // The kept ranges fill rest files in image order, a range cut where a file is full.
    RestFile current;
    for (ImageRange range : merged(kept)) {
        while (range.length > 0) {
            const qint64 room = restFileLimit - current.length();
            const qint64 taken = std::min(room, range.length);
            current.ranges.append({ range.start, taken });
            range.start += taken;
            range.length -= taken;
            if (current.length() == restFileLimit) {
                current.fileName = restFileName(layout.restFiles.size());
                layout.restFiles.append(current);
                current = RestFile();
            }
        }
    }
    if (!current.ranges.isEmpty()) {
        current.fileName = restFileName(layout.restFiles.size());
        layout.restFiles.append(current);
    }
    for (int index = 0; index < layout.restFiles.size(); ++index) {
        const QByteArray bytes = layout.restBytes(image, index);
        layout.restFiles[index].sha256
            = Sha256::hex(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size());
    }
    return layout;
}

QByteArray FolderLayout::restBytes(const ImageView& image, int index) const
{
    QByteArray bytes;
    const RestFile& file = restFiles.at(index);
    bytes.reserve(int(file.length()));
    for (const ImageRange& range : file.ranges)
        bytes.append(reinterpret_cast<const char*>(image.data + range.start), int(range.length));
    return bytes;
}

QJsonObject FolderLayout::json() const
{
    QJsonArray files;
    for (const RestFile& file : restFiles) {
        QJsonArray ranges;
        for (const ImageRange& range : file.ranges)
            ranges.append(QJsonArray { double(range.start), double(range.length) });
        files.append(QJsonObject {
            { QStringLiteral("file"), QString::fromLatin1(file.fileName) },
            { QStringLiteral("sha256"), QString::fromLatin1(file.sha256) },
            { QStringLiteral("ranges"), ranges },
        });
    }
    return QJsonObject {
        { QStringLiteral("imageLength"), double(imageLength) },
        { QStringLiteral("imageSha256"), QString::fromLatin1(imageSha256) },
        { QStringLiteral("restFiles"), files },
    };
}

namespace {

Refusable<FolderLayout> notALayout(const QString& why)
{
    return Refusable<FolderLayout>::refused(
        Outcome::refused(QStringLiteral("index.json does not describe the image's layout."), why));
}

} // namespace

std::optional<qint64> FolderLayout::countIn(const QJsonValue& value)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9007199254740992.0 || number != double(qint64(number)))
        return std::nullopt;
    return qint64(number);
}

bool FolderLayout::isSha256(const QString& text)
{
    return text.size() == 64 && std::all_of(text.cbegin(), text.cend(), [](QChar digit) {
        return (digit >= QLatin1Char('0') && digit <= QLatin1Char('9'))
            || (digit >= QLatin1Char('a') && digit <= QLatin1Char('f'));
    });
}

Refusable<FolderLayout> FolderLayout::fromJson(const QJsonValue& value)
{
    if (!value.isObject())
        return notALayout(QStringLiteral("It has no \"layout\" object; an export --all of this version "
                                         "writes one beside the blocks."));
    const QJsonObject object = value.toObject();
    FolderLayout layout;
    const std::optional<qint64> length = countIn(object.value(QStringLiteral("imageLength")));
    if (!length)
        return notALayout(QStringLiteral("\"imageLength\" is not a whole number of bytes."));
    layout.imageLength = *length;
    // Without it nothing would prove that the rest of the index is as export --all wrote it.
    const QString imageSha256 = object.value(QStringLiteral("imageSha256")).toString();
    if (!isSha256(imageSha256))
        return notALayout(QStringLiteral("\"imageSha256\" is not 64 lowercase hex digits."));
    layout.imageSha256 = imageSha256.toLatin1();
    const QJsonValue files = object.value(QStringLiteral("restFiles"));
    if (!files.isArray())
        return notALayout(QStringLiteral("\"restFiles\" is not a list."));
    for (const QJsonValue& fileValue : files.toArray()) {
        const QJsonObject fileObject = fileValue.toObject();
        RestFile file;
        const QString name = fileObject.value(QStringLiteral("file")).toString();
        const QString sha256 = fileObject.value(QStringLiteral("sha256")).toString();
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
            return notALayout(QStringLiteral("A rest file has no plain file name."));
        if (!isSha256(sha256))
            return notALayout(QStringLiteral("The sha256 of %1 is not 64 lowercase hex digits.").arg(name));
        file.fileName = name.toUtf8();
        file.sha256 = sha256.toLatin1();
        for (const QJsonValue& rangeValue : fileObject.value(QStringLiteral("ranges")).toArray()) {
            const QJsonArray pair = rangeValue.toArray();
            const std::optional<qint64> start = countIn(pair.at(0));
            const std::optional<qint64> rangeLength = countIn(pair.at(1));
            if (pair.size() != 2 || !start || !rangeLength
                || !ImageLayout::rangeInside(*start, *rangeLength, layout.imageLength))
                return notALayout(
                    QStringLiteral("A range of %1 is not a [start, length] pair inside the image's %2 bytes.")
                        .arg(name, QString::number(layout.imageLength)));
            file.ranges.append({ *start, *rangeLength });
        }
        layout.restFiles.append(file);
    }
    return Refusable<FolderLayout>::of(layout);
}
