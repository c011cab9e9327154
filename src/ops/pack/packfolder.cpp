#include "ops/pack/packfolder.h"

#include "ops/record/sha256.h"

#include "model/imagelayout.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What one read takes: large enough for few calls, small enough to hash while it is still in the cache.
constexpr qint64 readChunk = qint64(4) << 20;

Refusable<PackIndex> notAnIndex(const QString& message, const QString& detail)
{
    return Refusable<PackIndex>::refused(Outcome::refused(message, detail));
}

bool plainFileName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".")
        && name != QLatin1String("..");
}

// A file of the folder, open for reading, closed with it.
struct OpenFile {
    QString name;
    int descriptor = -1;
    qint64 size = 0;

    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
};

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opens `name` in the folder without waiting on a FIFO; only a regular file is read.
Outcome open(const QDir& folder, const QString& name, OpenFile& file)
{
    file.name = name;
    const QByteArray path = QFile::encodeName(folder.filePath(name));
    file.descriptor = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file.descriptor < 0)
        return Outcome::unreadableInput(QStringLiteral("Can not open %1!!!").arg(folder.filePath(name)),
            QStringLiteral("%1 cannot be opened: %2.").arg(name, errorText(errno)));
    struct stat status { };
    if (::fstat(file.descriptor, &status) != 0)
        return Outcome::unreadableInput(QStringLiteral("Can not open %1!!!").arg(folder.filePath(name)),
            QStringLiteral("%1 cannot be looked at: %2.").arg(name, errorText(errno)));
    if (!S_ISREG(status.st_mode))
        return Outcome::refused(QStringLiteral("%1 is not a regular file.").arg(folder.filePath(name)),
            QStringLiteral("pack reads only the regular files export --all wrote."));
    file.size = status.st_size;
    return Outcome::succeeded({});
}

// Reads the whole file from `offset` on into `place` (or, when null, through a scratch buffer), feeding
// `digest` when given.
Outcome readWhole(const QDir& folder, const OpenFile& file, uchar* place, Sha256* digest)
{
    std::vector<uchar> scratch(place ? 0 : size_t(std::min(file.size, readChunk)));
    qint64 done = 0;
    while (done < file.size) {
        uchar* into = place ? place + done : scratch.data();
        const ssize_t got
            = ::pread(file.descriptor, into, size_t(std::min(file.size - done, readChunk)), done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Outcome::unreadableInput(
                QStringLiteral("Can not open %1!!!").arg(folder.filePath(file.name)),
                QStringLiteral("%1 could not be read: %2.").arg(file.name, errorText(errno)));
        if (got == 0)
            return Outcome::unreadableInput(
                QStringLiteral("%1: an input file was cut short while it was being read.")
                    .arg(folder.filePath(file.name)),
                QStringLiteral("It had %1 bytes when it was opened and ended after %2. Nothing was written.")
                    .arg(QString::number(file.size), QString::number(done)));
        if (digest)
            digest->add(into, got);
        done += got;
    }
    return Outcome::succeeded({});
}

Outcome noLongerMatches(const QDir& folder, const QString& name)
{
    return Outcome::refused(
        QStringLiteral("%1 no longer matches its sha256 in index.json.").arg(folder.filePath(name)),
        QStringLiteral("Only block files may be edited; %1 holds the bytes between them (DMH headers and "
                       "tables, gaps, records) and must stay as export --all wrote it.")
            .arg(name));
}

void fillFF(ImageBuffer& image, const ImageRange& range)
{
    std::memset(image.data() + range.start, 0xff, size_t(range.length));
}

bool overlaps(const PackedBlock& block, const ImageRange& range)
{
    return ImageLayout::rangesOverlap(block.start, block.length, range.start, range.length);
}

} // namespace

Refusable<PackIndex> PackIndex::parse(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return notAnIndex(QStringLiteral("index.json does not parse."),
            QStringLiteral("At byte %1: %2.").arg(QString::number(error.offset), error.errorString()));
    const QJsonObject object = document.object();
    const QJsonValue rows = object.value(QStringLiteral("blocks"));
    if (object.value(QStringLiteral("command")).toString() != QLatin1String("list") || !rows.isArray())
        return notAnIndex(QStringLiteral("index.json is not an index that export --all wrote."),
            QStringLiteral("It is not a list document with a \"blocks\" list."));
    Refusable<FolderLayout> layout = FolderLayout::fromJson(object.value(QStringLiteral("layout")));
    if (!layout.accepted())
        return Refusable<PackIndex>::refused(layout.refusal);

    PackIndex index;
    index.layout = *layout.value;
    for (const QJsonValue& rowValue : rows.toArray()) {
        const QJsonObject row = rowValue.toObject();
        const QJsonValue file = row.value(QStringLiteral("file"));
        if (file.isNull())
            continue;
        PackedBlock block;
        block.fileName = file.toString();
        block.dmhIndex = row.value(QStringLiteral("dmhIndex")).toInt(-1);
        block.entryIndex = row.value(QStringLiteral("entryIndex")).toInt(-1);
        block.id = row.value(QStringLiteral("id")).toInt(-1);
        const std::optional<qint64> start = FolderLayout::countIn(row.value(QStringLiteral("start")));
        const bool dataPartOnly = row.value(QStringLiteral("hasBlockInfo")).toBool();
        const std::optional<qint64> length = FolderLayout::countIn(
            row.value(dataPartOnly ? QStringLiteral("dataLength") : QStringLiteral("size")));
        const QString sha256 = row.value(QStringLiteral("sha256")).toString();
        const QString name = block.fileName.isEmpty() ? QStringLiteral("A block") : block.fileName;
        if (!plainFileName(block.fileName) || block.dmhIndex < 0 || block.entryIndex < 0 || block.id < 0
            || block.id > 0xff)
            return notAnIndex(QStringLiteral("index.json is not an index that export --all wrote."),
                QStringLiteral("%1 has no plain file name, DMH index, entry index or ID.").arg(name));
        if (!start || !length || !ImageLayout::rangeInside(*start, *length, index.layout.imageLength))
            return notAnIndex(QStringLiteral("index.json is not an index that export --all wrote."),
                QStringLiteral("%1 does not lie inside the image's %2 bytes.")
                    .arg(name, QString::number(index.layout.imageLength)));
        if (!FolderLayout::isSha256(sha256))
            return notAnIndex(QStringLiteral("index.json is not an index that export --all wrote."),
                QStringLiteral("%1 has no sha256 of 64 lowercase hex digits.").arg(name));
        block.start = *start;
        block.length = *length;
        block.sha256 = sha256.toLatin1();
        index.blocks.append(block);
    }
    QSet<QString> seen;
    for (const QString& name : index.fileNames()) {
        if (seen.contains(name))
            return notAnIndex(QStringLiteral("index.json is not an index that export --all wrote."),
                QStringLiteral("It lists %1 twice.").arg(name));
        seen.insert(name);
    }
    return Refusable<PackIndex>::of(index);
}

QStringList PackIndex::fileNames() const
{
    QStringList names { QString::fromLatin1(fileName) };
    for (const PackedBlock& block : blocks)
        names << block.fileName;
    for (const RestFile& file : layout.restFiles)
        names << QString::fromUtf8(file.fileName);
    return names;
}

Refusable<PackedImage> readPackedImage(const QString& folderPath, const PackIndex& index)
{
    using Result = Refusable<PackedImage>;
    const QDir folder(folderPath);
    const QStringList listed = index.fileNames();
    const QSet<QString> listedSet(listed.cbegin(), listed.cend());
    const QStringList present
        = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : present) {
        if (!listedSet.contains(name))
            return Result::refused(
                Outcome::refused(QStringLiteral("%1 is not listed in index.json.").arg(folder.filePath(name)),
                    QStringLiteral("pack takes only the files export --all wrote; move %1 out of %2.")
                        .arg(name, folderPath)));
    }
    const QSet<QString> presentSet(present.cbegin(), present.cend());
    for (const QString& name : listed) {
        if (!presentSet.contains(name))
            return Result::refused(
                Outcome::refused(QStringLiteral("%1 is missing.").arg(folder.filePath(name)),
                    QStringLiteral("index.json lists %1, which %2 no longer holds.").arg(name, folderPath)));
    }

    std::vector<OpenFile> blockFiles(size_t(index.blocks.size()));
    for (int at = 0; at < index.blocks.size(); ++at) {
        const Outcome opened = open(folder, index.blocks[at].fileName, blockFiles[size_t(at)]);
        if (!opened.success)
            return Result::refused(opened);
    }
    std::vector<OpenFile> restFiles(size_t(index.layout.restFiles.size()));
    for (int at = 0; at < index.layout.restFiles.size(); ++at) {
        const RestFile& rest = index.layout.restFiles[at];
        OpenFile& file = restFiles[size_t(at)];
        const Outcome opened = open(folder, QString::fromUtf8(rest.fileName), file);
        if (!opened.success)
            return Result::refused(opened);
        if (file.size != rest.length())
            return Result::refused(noLongerMatches(folder, file.name));
    }

    PackedImage packed;
    packed.image = std::make_unique<ImageBuffer>();
    ImageBuffer& image = *packed.image;
    if (!image.allocate(index.layout.imageLength))
        return Result::refused(Outcome::refused(QStringLiteral("Memory allocation failed!!!"),
            QStringLiteral("%1 bytes of memory for the image could not be had.")
                .arg(QString::number(index.layout.imageLength))));

    // A block file of its exported length is read straight into its place; 0xFF goes only where none is.
    const auto inPlace = [&](int at) { return blockFiles[size_t(at)].size == index.blocks[at].length; };
    QVector<ImageRange> placed;
    for (int at = 0; at < index.blocks.size(); ++at) {
        if (inPlace(at))
            placed.append({ index.blocks[at].start, index.blocks[at].length });
    }
    std::sort(placed.begin(), placed.end(),
        [](const ImageRange& left, const ImageRange& right) { return left.start < right.start; });
    qint64 filled = 0;
    for (const ImageRange& range : qAsConst(placed)) {
        if (range.start > filled)
            fillFF(image, { filled, range.start - filled });
        filled = std::max(filled, range.end());
    }
    if (filled < image.size())
        fillFF(image, { filled, image.size() - filled });

    for (int at = 0; at < index.blocks.size(); ++at) {
        const PackedBlock& block = index.blocks[at];
        Sha256 digest;
        const Outcome read = readWhole(
            folder, blockFiles[size_t(at)], inPlace(at) ? image.data() + block.start : nullptr, &digest);
        if (!read.success)
            return Result::refused(read);
        if (digest.finishHex() != block.sha256)
            packed.edited.append(at);
    }

    // An edited file read into place took the place of bytes the image held: they are unknown now, and
    // every unedited file that shares them gives its part back.
    QVector<ImageRange> unknown;
    for (int at : qAsConst(packed.edited)) {
        if (inPlace(at)) {
            unknown.append({ index.blocks[at].start, index.blocks[at].length });
            fillFF(image, unknown.last());
        }
    }
    for (int at = 0; !unknown.isEmpty() && at < index.blocks.size(); ++at) {
        const PackedBlock& block = index.blocks[at];
        const bool shares = std::any_of(unknown.cbegin(), unknown.cend(),
            [&block](const ImageRange& range) { return overlaps(block, range); });
        if (shares && !packed.edited.contains(at)) {
            const Outcome read
                = readWhole(folder, blockFiles[size_t(at)], image.data() + block.start, nullptr);
            if (!read.success)
                return Result::refused(read);
        }
    }

    for (int at = 0; at < index.layout.restFiles.size(); ++at) {
        const RestFile& rest = index.layout.restFiles[at];
        const OpenFile& file = restFiles[size_t(at)];
        std::vector<uchar> bytes(size_t(file.size));
        Sha256 digest;
        const Outcome read = readWhole(folder, file, bytes.data(), &digest);
        if (!read.success)
            return Result::refused(read);
        if (digest.finishHex() != rest.sha256)
            return Result::refused(noLongerMatches(folder, file.name));
        qint64 from = 0;
        for (const ImageRange& range : rest.ranges) {
            std::memcpy(image.data() + range.start, bytes.data() + from, size_t(range.length));
            from += range.length;
        }
    }

    if (packed.edited.isEmpty() && !index.layout.imageSha256.isEmpty()
        && Sha256::hex(image.data(), image.size()) != index.layout.imageSha256)
        return Result::refused(Outcome::refused(
            QStringLiteral("The image rebuilt from %1 does not match index.json's imageSha256.")
                .arg(folderPath),
            QStringLiteral("Every file matches its own sha256, so index.json itself was changed (a block's "
                           "start, a rest range or the image's length).")));
    return Result::of(std::move(packed));
}
