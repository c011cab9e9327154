// Replacing a block and exporting one, both written from the image in memory, against writing
// the same number of bytes without any block work.
#include "benchimages.h"
#include "benchmarks.h"
#include "pagemode.h"

#include "model/flashimage.h"
#include "ops/export/blockexport.h"
#include "ops/base/blocklocation.h"
#include "ops/replace/blockreplace.h"
#include "ops/write/filesystemcalls.h"
#include "ops/write/planwriter.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>

namespace {

using BenchImages::Kind;

constexpr qint64 imageSize = BenchImages::gibibyte;

const QString& imagePath()
{
    static const QString path = BenchImages::ensureImage(Kind::Realistic, imageSize);
    return path;
}

const FlashImage& loadedImage()
{
    return BenchImages::loadedImage(imagePath());
}

QString outputPath(const char* name)
{
    return BenchImages::directory() + QLatin1Char('/') + QLatin1String(name);
}

QString idText(quint8 id)
{
    return QString::number(id, 16);
}

std::string mebibytes(qint64 bytes)
{
    return std::to_string(bytes / BenchImages::mebibyte) + " MiB";
}

// The highest resident memory above the level before the call, over all iterations.
class PeakMemory {
public:
    void start()
    {
        PageMode::resetPeakResident();
        before = PageMode::residentBytes();
    }
    void stop() { extra = std::max(extra, PageMode::peakResidentBytes() - before); }
    std::string text() const { return "extra peak memory " + mebibytes(extra); }

private:
    qint64 before = 0;
    qint64 extra = 0;
};

bool hasLength(const QString& path, qint64 length)
{
    return QFileInfo(path).size() == length;
}

// Runs `writeOnce` (which returns an error text, empty on success) once untimed, so that every side
// is measured in the same steady state: its output file already there and the page cache pages of
// the previous output ready for reuse. Fresh memory costs far more than recycled memory on this kind of
// virtual machine, and whichever side happened to go first would otherwise pay for it.
void timeWrites(
    benchmark::State& state, const std::function<std::string()>& writeOnce, const std::string& note = {})
{
    std::string error = writeOnce();
    PeakMemory memory;
    for (auto _ : state) {
        if (!error.empty())
            break;
        state.PauseTiming();
        memory.start();
        state.ResumeTiming();
        error = writeOnce();
        state.PauseTiming();
        memory.stop();
        state.ResumeTiming();
    }
    if (!error.empty())
        state.SkipWithError(error.c_str());
    state.SetLabel(memory.text() + note);
}

std::string errorOf(const Outcome& outcome)
{
    return outcome.success ? std::string() : outcome.message.toStdString();
}

// The image as the window holds it (a copy of its own, read once), or as tessel-cli holds it: mapped anew
// for each run, the load timed with the write, since a fresh mapping is what a tessel-cli run writes from.
void replaceRecordBlock(benchmark::State& state, FlashImage::ReadMode mode = FlashImage::ReadMode::Copy)
{
    const FlashImage& image = loadedImage();
    const BlockLocation location = findBlock(image.dmhRecords(), idText(BenchImages::recordBlockId));
    ReplaceRequest request;
    request.idText = idText(BenchImages::recordBlockId);
    request.replacementPath = BenchImages::ensureRandomFile(BenchImages::replacementSize(imageSize));
    request.outputPath = outputPath("replaced.bin");
    request.loadedImagePath = imagePath();
    request.stampTime = StampTime::fromDateTime(QDateTime(QDate(2026, 3, 5), QTime(7, 8, 9)));
    BenchImages::warmPageCache(request.replacementPath);
    if (mode == FlashImage::ReadMode::Map)
        BenchImages::warmPageCache(imagePath());
    timeWrites(
        state,
        [&] {
            if (mode == FlashImage::ReadMode::Copy)
                return errorOf(replaceBlockWithInfo(image, location, request));
            FlashImage mapped;
            if (!mapped.load(imagePath().toStdWString(), mode))
                return std::string("cannot map the image");
            return errorOf(replaceBlockWithInfo(mapped, location, request));
        },
        " (block " + mebibytes(location.size) + ")");
    if (!hasLength(request.outputPath, image.flashSize()))
        state.SkipWithError("the new image does not have the flash size");
}

// The real calls without cloning or copying by the system: every byte written from memory, as the writer
// did before it shared the image's unchanged bytes with the output.
class WritesOnly : public FileSystemCalls {
public:
    int cloneRange(int, off_t, int, off_t, off_t) override
    {
        errno = EOPNOTSUPP;
        return -1;
    }
    ssize_t copyRange(int, off_t*, int, size_t) override
    {
        errno = EOPNOTSUPP;
        return -1;
    }
};

void replaceRecordBlockWritingEverything(benchmark::State& state, FlashImage::ReadMode mode)
{
    WritesOnly calls;
    const FileSystemCalls::Override seam(calls);
    replaceRecordBlock(state, mode);
}

void writeImageOnce(benchmark::State& state)
{
    const FlashImage& image = loadedImage();
    OutputPlan plan;
    plan.length = image.flashSize();
    const QString path = outputPath("written.bin");
    // QSaveFile, as the writer used before it synced the folder and refused to clobber.
    timeWrites(state, [&] {
        QSaveFile file(path);
        const bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
            && writePlan(file, image.imageData(), image.imageSize(), plan) && file.commit();
        return written ? std::string() : std::string("cannot write the image");
    });
}

void exportWholeBlock(benchmark::State& state)
{
    const FlashImage& image = loadedImage();
    const BlockLocation location = findBlock(image.dmhRecords(), idText(BenchImages::wholeBlockId));
    const QString path = outputPath("exported.bin");
    timeWrites(state, [&] { return errorOf(exportBlock(ImageView::of(image), location, path)); });
    if (!hasLength(path, location.size))
        state.SkipWithError("the exported file does not have the block's size");
}

// How the plain baselines end a write.
enum class PlainWrite {
    // open with truncation, write, close: what a simple program does
    Truncate,
    // the same, with fsync before close
    TruncateAndSync,
    // the atomic replacement by hand: a new file beside the target, fdatasync, rename over the target
    TemporaryAndRename,
};

void writeBlockPlainly(benchmark::State& state, PlainWrite kind)
{
    const FlashImage& image = loadedImage();
    const BlockLocation location = findBlock(image.dmhRecords(), idText(BenchImages::wholeBlockId));
    const char* names[] = { "plain.bin", "plain-synced.bin", "plain-renamed.bin" };
    const QByteArray target = QFile::encodeName(outputPath(names[int(kind)]));
    const QByteArray temporary = target + ".new";
    const QByteArray& path = kind == PlainWrite::TemporaryAndRename ? temporary : target;
    timeWrites(state, [&] {
        const int descriptor = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const uchar* data = image.imageData() + location.start();
        qint64 left = location.size;
        while (descriptor >= 0 && left > 0) {
            const ssize_t written = ::write(descriptor, data, size_t(left));
            if (written <= 0)
                break;
            data += written;
            left -= written;
        }
        bool finished = descriptor >= 0 && left == 0;
        if (finished && kind == PlainWrite::TruncateAndSync)
            finished = ::fsync(descriptor) == 0;
        if (finished && kind == PlainWrite::TemporaryAndRename)
            finished = ::fdatasync(descriptor) == 0;
        finished = descriptor >= 0 && ::close(descriptor) == 0 && finished;
        if (finished && kind == PlainWrite::TemporaryAndRename)
            finished = ::rename(temporary.constData(), target.constData()) == 0;
        return finished ? std::string() : std::string("plain write failed");
    });
}

void registerTimed(const char* name, void (*function)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, function)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
}

} // namespace

void registerWriteBenchmarks(std::vector<RatioBar>& bars)
{
    registerTimed(
        "write/1GiB/replace-64MiB-block", [](benchmark::State& state) { replaceRecordBlock(state); });
    registerTimed("write/1GiB/write-image-once", writeImageOnce);
    // Fifteen repetitions a side: the disk's sync phases spread single runs widely, and on ext4 both sides do
    // the same work for an image held as the window holds it.
    using Mode = FlashImage::ReadMode;
    for (const auto& [name, mode, sharing] :
        { std::tuple { "write/1GiB/replace-64MiB-block/sharing", Mode::Copy, true },
            std::tuple { "write/1GiB/replace-64MiB-block/writes-only", Mode::Copy, false },
            std::tuple { "write/1GiB/replace-64MiB-block/mapped/sharing", Mode::Map, true },
            std::tuple { "write/1GiB/replace-64MiB-block/mapped/writes-only", Mode::Map, false } })
        benchmark::RegisterBenchmark(name,
            [mode = mode, sharing = sharing](benchmark::State& state) {
                if (sharing)
                    replaceRecordBlock(state, mode);
                else
                    replaceRecordBlockWritingEverything(state, mode);
            })
            ->Iterations(1)
            ->Repetitions(15)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    registerTimed("write/256MiB/export-block", exportWholeBlock);
    registerTimed("write/256MiB/plain-write",
        [](benchmark::State& state) { writeBlockPlainly(state, PlainWrite::Truncate); });
    registerTimed("write/256MiB/plain-write+fsync",
        [](benchmark::State& state) { writeBlockPlainly(state, PlainWrite::TruncateAndSync); });
    registerTimed("write/256MiB/plain-temp+fdatasync+rename",
        [](benchmark::State& state) { writeBlockPlainly(state, PlainWrite::TemporaryAndRename); });
    bars.push_back({ "4 replace 64MiB block in 1GiB vs write once", "write/1GiB/replace-64MiB-block",
        "write/1GiB/write-image-once", RatioBar::Kind::TimeAtMost, 1.2 });
    bars.push_back(
        { "4 replace 64MiB block, sharing vs every byte written", "write/1GiB/replace-64MiB-block/sharing",
            "write/1GiB/replace-64MiB-block/writes-only", RatioBar::Kind::TimeAtMost, 1.0 });
    bars.push_back(
        { "25 the same, image mapped as tessel-cli maps it", "write/1GiB/replace-64MiB-block/mapped/sharing",
            "write/1GiB/replace-64MiB-block/mapped/writes-only", RatioBar::Kind::TimeAtMost, 1.0 });
    bars.push_back({ "4 export 256MiB block vs plain write", "write/256MiB/export-block",
        "write/256MiB/plain-write", RatioBar::Kind::TimeAtMost, 0 });
    bars.push_back({ "4 export 256MiB block vs plain write+fsync", "write/256MiB/export-block",
        "write/256MiB/plain-write+fsync", RatioBar::Kind::TimeAtMost, 1.1 });
    bars.push_back({ "4 export 256MiB block vs temp+fdatasync+rename", "write/256MiB/export-block",
        "write/256MiB/plain-temp+fdatasync+rename", RatioBar::Kind::TimeAtMost, 0 });
}
