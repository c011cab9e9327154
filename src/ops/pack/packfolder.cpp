#include "ops/pack/packfolder.h"

#include "ops/base/detailtexts.h"
#include "ops/export/blockexport.h"
#include "ops/inspect/blockfacts.h"
#include "ops/record/sha256.h"

#include "model/imagelayout.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    FileIdentity identity;

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
    file.identity = FileIdentity::of(status);
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

// A file of the folder mapped whole; nothing is mapped for an empty one.
struct MappedFile {
    QString path;
    qint64 size = 0;
    FileIdentity identity;
    std::shared_ptr<ImageBuffer> bytes;

    const uchar* data() const { return bytes ? bytes->data() : nullptr; }
};

Outcome map(const QDir& folder, const QString& name, MappedFile& mapped)
{
    OpenFile file;
    const Outcome opened = open(folder, name, file);
    if (!opened.success)
        return opened;
    mapped.path = folder.filePath(name);
    mapped.size = file.size;
    mapped.identity = file.identity;
    if (file.size == 0)
        return opened;
    mapped.bytes = std::make_shared<ImageBuffer>();
    if (!mapped.bytes->mapFile(file.descriptor, file.size))
        return Outcome::unreadableInput(QStringLiteral("Can not open %1!!!").arg(mapped.path),
            QStringLiteral("%1 cannot be mapped: %2.").arg(name, errorText(errno)));
    return opened;
}

// A run of image positions and the file its bytes come from: a block file (its index), a rest file, or
// neither (0xFF); `from` is where the run starts in that file.
struct Piece {
    qint64 start = 0;
    qint64 length = 0;
    int blockFile = -1;
    int restFile = -1;
    qint64 from = 0;

    bool continues(const Piece& earlier) const
    {
        return blockFile == earlier.blockFile && restFile == earlier.restFile
            && (blockFile < 0 && restFile < 0 ? true : from == earlier.from + earlier.length);
    }
};

struct RestRange {
    qint64 start;
    qint64 end;
    int file;
    // Where the range's bytes begin in its file.
    qint64 from;
};

std::vector<RestRange> restRangesByStart(const PackIndex& index)
{
    std::vector<RestRange> rests;
    for (int file = 0; file < index.layout.restFiles.size(); ++file) {
        qint64 from = 0;
        for (const ImageRange& range : index.layout.restFiles[file].ranges) {
            rests.push_back({ range.start, range.end(), file, from });
            from += range.length;
        }
    }
    std::sort(rests.begin(), rests.end(),
        [](const RestRange& left, const RestRange& right) { return left.start < right.start; });
    return rests;
}

// The image as pieces, in order and apart: a rest file's range where one lies, else a block file that
// holds the position (of those `usable`), else 0xFF.
QVector<Piece> piecesOf(const PackIndex& index, const QVector<bool>& usable)
{
    const std::vector<RestRange> rests = restRangesByStart(index);
    std::vector<qint64> bounds { 0, index.layout.imageLength };
    for (const RestRange& rest : rests) {
        bounds.push_back(rest.start);
        bounds.push_back(rest.end);
    }
    std::vector<int> byStart;
    for (int block = 0; block < index.blocks.size(); ++block) {
        if (!usable[block])
            continue;
        byStart.push_back(block);
        bounds.push_back(index.blocks[block].start);
        bounds.push_back(index.blocks[block].start + index.blocks[block].length);
    }
    std::sort(byStart.begin(), byStart.end(),
        [&index](int left, int right) { return index.blocks[left].start < index.blocks[right].start; });
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

    QVector<Piece> pieces;
    // The block files that hold the current position, by where they end: the one that reaches furthest is
    // taken, so that a file stays one piece as long as it can.
    std::set<std::pair<qint64, int>> holding;
    size_t nextBlock = 0;
    size_t nextRest = 0;
    for (size_t bound = 0; bound + 1 < bounds.size(); ++bound) {
        const qint64 at = bounds[bound];
        Piece piece { at, bounds[bound + 1] - at, -1, -1, 0 };
        while (nextRest < rests.size() && rests[nextRest].end <= at)
            ++nextRest;
        while (nextBlock < byStart.size() && index.blocks[byStart[nextBlock]].start <= at) {
            const PackedBlock& block = index.blocks[byStart[nextBlock]];
            holding.insert({ block.start + block.length, byStart[nextBlock] });
            ++nextBlock;
        }
        while (!holding.empty() && holding.begin()->first <= at)
            holding.erase(holding.begin());
        if (nextRest < rests.size() && rests[nextRest].start <= at) {
            piece.restFile = rests[nextRest].file;
            piece.from = rests[nextRest].from + (at - rests[nextRest].start);
        } else if (!holding.empty()) {
            piece.blockFile = holding.rbegin()->second;
            piece.from = at - index.blocks[piece.blockFile].start;
        }
        if (!pieces.isEmpty() && piece.continues(pieces.last()))
            pieces.last().length += piece.length;
        else
            pieces.append(piece);
    }
    return pieces;
}

// What a 0xFF piece is made of: this much 0xFF, shared by every patch that needs it.
constexpr qint64 blankChunk = qint64(4) << 20;
// Copied pieces go into QByteArrays of at most this much.
constexpr qint64 copyChunk = qint64(1) << 30;

std::shared_ptr<const ImageBuffer> erasedChunk()
{
    static const std::shared_ptr<const ImageBuffer> chunk = [] {
        auto buffer = std::make_shared<ImageBuffer>();
        if (buffer->allocate(blankChunk))
            std::memset(buffer->data(), 0xff, size_t(blankChunk));
        return std::shared_ptr<const ImageBuffer>(buffer);
    }();
    return chunk;
}

void appendCopy(OutputPlan& plan, qint64 position, const uchar* data, qint64 length)
{
    for (qint64 done = 0; done < length; done += copyChunk) {
        OutputPatch patch;
        patch.position = position + done;
        patch.bytes
            = QByteArray(reinterpret_cast<const char*>(data + done), int(std::min(copyChunk, length - done)));
        plan.patches.append(patch);
    }
}

// The plan that lays every piece: a whole block file as its mapping and its file, the rest copied (0xFF from
// one shared chunk). `mappedFiles` gets, for each patch, the path of the file it maps (empty for a copy).
OutputPlan planOf(const QVector<Piece>& pieces, const std::vector<MappedFile>& blockFiles,
    const std::vector<MappedFile>& restFiles, qint64 imageLength, QVector<QString>& mappedFiles,
    const std::function<void(const QString& path)>& reading)
{
    OutputPlan plan;
    plan.length = imageLength;
    mappedFiles.clear();
    const auto copyFrom = [&](const MappedFile& file, const Piece& piece) {
        if (reading)
            reading(file.path);
        appendCopy(plan, piece.start, file.data() + piece.from, piece.length);
    };
    for (const Piece& piece : pieces) {
        if (piece.blockFile >= 0) {
            const MappedFile& file = blockFiles[size_t(piece.blockFile)];
            if (piece.from == 0 && piece.length == file.size && file.bytes) {
                OutputPatch patch;
                patch.position = piece.start;
                patch.block = file.bytes;
                // The writer has the system copy the file's bytes rather than read them through the
                // mapping, whose first touch of every page costs more than the copy.
                patch.origin = std::make_shared<ImageOrigin>(
                    file.path, file.identity, file.size, ImageOrigin::Memory::Mapping);
                plan.patches.append(patch);
                mappedFiles.resize(plan.patches.size() - 1);
                mappedFiles.append(file.path);
            } else {
                copyFrom(file, piece);
            }
        } else if (piece.restFile >= 0) {
            copyFrom(restFiles[size_t(piece.restFile)], piece);
        } else {
            qint64 done = 0;
            for (; piece.length - done >= blankChunk; done += blankChunk) {
                OutputPatch patch;
                patch.position = piece.start + done;
                patch.block = erasedChunk();
                plan.patches.append(patch);
            }
            if (done < piece.length) {
                OutputPatch patch;
                patch.position = piece.start + done;
                patch.bytes = QByteArray(int(piece.length - done), '\xff');
                plan.patches.append(patch);
            }
        }
    }
    mappedFiles.resize(plan.patches.size());
    return plan;
}

// What one plain read asks for: the digests read files rather than their mappings.
constexpr qint64 readStep = qint64(4) << 20;

// Adds the first `length` bytes of the file at `path`, read with plain reads, to `digest`: a file cut
// short meanwhile is a read that ends early, not a fault. False when not all of them could be read.
bool addFileBytes(BackgroundSha256::Sink& sink, const QString& path, qint64 length)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0)
        return false;
    std::vector<uchar> buffer(size_t(std::min(length, readStep)));
    qint64 done = 0;
    while (done < length && !sink.stopped()) {
        const ssize_t got
            = ::pread(descriptor, buffer.data(), size_t(std::min(readStep, length - done)), off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (!sink.add(buffer.data(), got))
            break;
        done += got;
    }
    ::close(descriptor);
    return done == length;
}

// The SHA-256 of a file of the folder as it was mapped; null when it can no longer be read whole.
QByteArray sha256Of(const MappedFile& file)
{
    const std::atomic<bool> going { false };
    std::atomic<qint64> added { 0 };
    Sha256 digest;
    BackgroundSha256::Sink sink(digest, going, added);
    return addFileBytes(sink, file.path, file.size) ? digest.finishHex() : QByteArray();
}

// The image the plan lays, taken from its memory and, for the patches that map a file, from the file.
std::shared_ptr<BackgroundSha256> checkOf(const OutputPlan& plan, const QVector<QString>& mappedFiles)
{
    const QVector<OutputPatch> patches = plan.patches;
    return std::make_shared<BackgroundSha256>([patches, mappedFiles](BackgroundSha256::Sink& sink) {
        for (int at = 0; at < patches.size(); ++at) {
            const OutputPatch& patch = patches[at];
            const bool added = mappedFiles[at].isEmpty()
                ? sink.add(patch.data(), patch.length())
                : addFileBytes(sink, mappedFiles[at], patch.length());
            if (!added)
                return false;
        }
        return true;
    });
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

std::unique_ptr<ImageBuffer> PackedImage::inMemory() const
{
    auto image = std::make_unique<ImageBuffer>();
    if (!image->allocate(plan.length))
        return nullptr;
    for (const OutputPatch& patch : plan.patches)
        std::memcpy(image->data() + patch.position, patch.data(), size_t(patch.length()));
    return image;
}

namespace {

// The folder holds exactly the files its index lists.
Outcome checkListedFiles(const QDir& folder, const QString& folderPath, const PackIndex& index)
{
    const QStringList listed = index.fileNames();
    const QSet<QString> listedSet(listed.cbegin(), listed.cend());
    const QStringList present
        = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : present) {
        if (!listedSet.contains(name))
            return Outcome::refused(
                QStringLiteral("%1 is not listed in index.json.").arg(folder.filePath(name)),
                QStringLiteral("pack takes only the files export --all wrote; move %1 out of %2.")
                    .arg(name, folderPath));
    }
    const QSet<QString> presentSet(present.cbegin(), present.cend());
    for (const QString& name : listed) {
        if (!presentSet.contains(name))
            return Outcome::refused(QStringLiteral("%1 is missing.").arg(folder.filePath(name)),
                QStringLiteral("index.json lists %1, which %2 no longer holds.").arg(name, folderPath));
    }
    return Outcome::succeeded({});
}

// The SHA-256 of every block file and rest file, taken on two threads.
struct FileHashes {
    QVector<QByteArray> blocks;
    QVector<QByteArray> rests;

    static FileHashes of(const std::vector<MappedFile>& blockFiles, const std::vector<MappedFile>& restFiles)
    {
        FileHashes hashes;
        hashes.blocks.resize(int(blockFiles.size()));
        hashes.rests.resize(int(restFiles.size()));
        const size_t total = blockFiles.size() + restFiles.size();
        std::atomic<size_t> next { 0 };
        const auto hashSome = [&] {
            for (size_t at = next++; at < total; at = next++) {
                if (at < blockFiles.size())
                    hashes.blocks[int(at)] = sha256Of(blockFiles[at]);
                else
                    hashes.rests[int(at - blockFiles.size())] = sha256Of(restFiles[at - blockFiles.size()]);
            }
        };
        std::thread other(hashSome);
        hashSome();
        other.join();
        return hashes;
    }
};

// Maps every block file and rest file; a rest file must have the length its ranges add up to.
Outcome mapFiles(const QDir& folder, const PackIndex& index, std::vector<MappedFile>& blockFiles,
    std::vector<MappedFile>& restFiles)
{
    blockFiles.resize(size_t(index.blocks.size()));
    for (int at = 0; at < index.blocks.size(); ++at) {
        const Outcome mapped = map(folder, index.blocks[at].fileName, blockFiles[size_t(at)]);
        if (!mapped.success)
            return mapped;
    }
    restFiles.resize(size_t(index.layout.restFiles.size()));
    for (int at = 0; at < index.layout.restFiles.size(); ++at) {
        const RestFile& rest = index.layout.restFiles[at];
        const Outcome mapped = map(folder, QString::fromUtf8(rest.fileName), restFiles[size_t(at)]);
        if (!mapped.success)
            return mapped;
        if (restFiles[size_t(at)].size != rest.length())
            return noLongerMatches(folder, QString::fromUtf8(rest.fileName));
    }
    return Outcome::succeeded({});
}

// Hashes every file: a rest file that no longer matches its sha256 is refused; the block files that no
// longer match theirs are the edits, by their place in the index.
Refusable<QVector<int>> editedBlocks(const QDir& folder, const PackIndex& index,
    const std::vector<MappedFile>& blockFiles, const std::vector<MappedFile>& restFiles)
{
    const FileHashes hashes = FileHashes::of(blockFiles, restFiles);
    for (int at = 0; at < index.layout.restFiles.size(); ++at) {
        if (hashes.rests[at] != index.layout.restFiles[at].sha256)
            return Refusable<QVector<int>>::refused(
                noLongerMatches(folder, QString::fromUtf8(index.layout.restFiles[at].fileName)));
    }
    QVector<int> edited;
    for (int at = 0; at < index.blocks.size(); ++at) {
        if (hashes.blocks[at] != index.blocks[at].sha256)
            edited.append(at);
    }
    return Refusable<QVector<int>>::of(edited);
}

} // namespace

Refusable<PackedImage> readPackedImage(const QString& folderPath, const PackIndex& index,
    const std::function<void(const QString& path)>& reading, ImageCheck check)
{
    using Result = Refusable<PackedImage>;
    const QDir folder(folderPath);
    const Outcome listed = checkListedFiles(folder, folderPath, index);
    if (!listed.success)
        return Result::refused(listed);
    std::vector<MappedFile> blockFiles;
    std::vector<MappedFile> restFiles;
    const Outcome mapped = mapFiles(folder, index, blockFiles, restFiles);
    if (!mapped.success)
        return Result::refused(mapped);

    PackedImage packed;
    packed.folder = folderPath;
    packed.expectedSha256 = index.layout.imageSha256;
    packed.blank = std::make_shared<ImageBuffer>();
    if (index.layout.imageLength > 0 && !packed.blank->allocate(index.layout.imageLength))
        return Result::refused(Outcome::refused(QStringLiteral("Memory allocation failed!!!"),
            QStringLiteral("%1 bytes of address space for the image could not be had.")
                .arg(QString::number(index.layout.imageLength))));
    // Every block file of its exported length is taken as it stands; one that turns out edited is left out
    // afterwards.
    QVector<bool> usable(index.blocks.size());
    for (int at = 0; at < index.blocks.size(); ++at)
        usable[at] = blockFiles[size_t(at)].size == index.blocks[at].length;
    QVector<QString> mappedFiles;
    packed.plan = planOf(
        piecesOf(index, usable), blockFiles, restFiles, index.layout.imageLength, mappedFiles, reading);

    const bool imageHashed = !packed.expectedSha256.isEmpty();
    if (check == ImageCheck::InsteadOfFileHashes && imageHashed) {
        packed.imageCheck = checkOf(packed.plan, mappedFiles);
        return Result::of(std::move(packed));
    }
    // The image checked beside the files' own hashes when it is wanted before returning: each is a pass
    // that the other does not wait for.
    if (check == ImageCheck::BeforeReturning && imageHashed)
        packed.imageCheck = checkOf(packed.plan, mappedFiles);
    const Refusable<QVector<int>> edited = editedBlocks(folder, index, blockFiles, restFiles);
    if (!edited.accepted())
        return Result::refused(edited.refusal);
    packed.edited = *edited.value;
    if (!packed.edited.isEmpty()) {
        packed.imageCheck.reset();
        for (int at : qAsConst(packed.edited))
            usable[at] = false;
        packed.plan = planOf(
            piecesOf(index, usable), blockFiles, restFiles, index.layout.imageLength, mappedFiles, reading);
        return Result::of(std::move(packed));
    }
    if (check != ImageCheck::BeforeReturning && imageHashed)
        packed.imageCheck = checkOf(packed.plan, mappedFiles);
    if (check == ImageCheck::BeforeReturning) {
        if (const std::optional<Outcome> mismatch = packed.confirm())
            return Result::refused(*mismatch);
    }
    return Result::of(std::move(packed));
}

Outcome checkBlockPlaces(const QString& folder, const PackIndex& index, const ImageView& image,
    const QVector<DmhRecord>& catalogue)
{
    const auto changed = [&folder](const QString& why) {
        return Outcome::refused(
            QStringLiteral("The image rebuilt from %1 does not match index.json.").arg(folder),
            why + QStringLiteral(" index.json itself was changed."));
    };
    int row = 0;
    for (const BlockFacts& facts : BlockFacts::collect(image, catalogue)) {
        const Refusable<ExportPlan> plan = planExport(image, facts.location(), QString());
        if (!plan.accepted())
            continue;
        const QString entry = QStringLiteral("entry %1 of DMH %2 (ID %3)")
                                  .arg(QString::number(facts.entryIndex), QString::number(facts.dmhIndex),
                                      facts.entry.idText());
        if (row == index.blocks.size())
            return changed(QStringLiteral("It names no block file for %1.").arg(entry));
        const PackedBlock& block = index.blocks[row++];
        const OutputPlan& output = plan.value->output;
        const std::pair<int, int> listed { block.dmhIndex, block.entryIndex };
        const std::pair<int, int> expected { facts.dmhIndex, facts.entryIndex };
        if (listed > expected)
            return changed(QStringLiteral("It names no block file for %1.").arg(entry));
        if (listed != expected || block.id != facts.entry.id)
            return changed(
                QStringLiteral("It names %1 where the DMH tables list %2.").arg(block.fileName, entry));
        if (block.start != output.sourceStart || block.length != output.length)
            return changed(QStringLiteral("It puts %1 at %2, but the DMH tables put the bytes of %3 at %4.")
                               .arg(block.fileName, DetailText::rangeText(block.start, block.length), entry,
                                   DetailText::rangeText(output.sourceStart, output.length)));
    }
    if (row < index.blocks.size())
        return changed(QStringLiteral("It lists %1, which no entry of the DMH tables is exported to.")
                           .arg(index.blocks[row].fileName));
    return Outcome::succeeded({});
}

bool looksUntouched(const QString& folderPath, const PackIndex& index)
{
    const QDir folder(folderPath);
    const auto statusOf = [&folder](const QString& name, struct stat& status) {
        return ::stat(QFile::encodeName(folder.filePath(name)).constData(), &status) == 0;
    };
    struct stat indexStatus { };
    if (!statusOf(QString::fromLatin1(PackIndex::fileName), indexStatus))
        return false;
    const auto writtenBefore = [&indexStatus](const struct stat& status) {
        const timespec& time = status.st_mtim;
        const timespec& indexTime = indexStatus.st_mtim;
        return time.tv_sec < indexTime.tv_sec
            || (time.tv_sec == indexTime.tv_sec && time.tv_nsec <= indexTime.tv_nsec);
    };
    struct stat status { };
    for (const PackedBlock& block : index.blocks) {
        if (!statusOf(block.fileName, status) || status.st_size != block.length || !writtenBefore(status))
            return false;
    }
    for (const RestFile& rest : index.layout.restFiles) {
        if (!statusOf(QString::fromUtf8(rest.fileName), status) || status.st_size != rest.length()
            || !writtenBefore(status))
            return false;
    }
    return true;
}

std::optional<Outcome> PackedImage::confirm() const
{
    if (!imageCheck || imageCheck->result() == expectedSha256)
        return std::nullopt;
    return Outcome::refused(
        QStringLiteral("The image rebuilt from %1 does not match index.json's imageSha256.").arg(folder),
        QStringLiteral("Every file matches its own sha256, so index.json itself was changed (a block's "
                       "start, a rest range or the image's length)."));
}
