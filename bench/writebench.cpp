// Figure 4: replacing a block and exporting one, both written from the image in memory, against writing
// the same number of bytes without any block work.
#include "benchimages.h"
#include "benchmarks.h"
#include "pagemode.h"

#include "model/flashimage.h"
#include "ops/blockexport.h"
#include "ops/blocklocation.h"
#include "ops/blockreplace.h"
#include "ops/planwriter.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

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
    static FlashImage image;
    if (image.imageSize() == 0 && !image.load(imagePath().toStdWString()))
        qFatal("cannot load %s: %s", qPrintable(imagePath()), image.lastError().constData());
    return image;
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

void replaceRecordBlock(benchmark::State& state)
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
    PeakMemory memory;
    for (auto _ : state) {
        state.PauseTiming();
        memory.start();
        state.ResumeTiming();
        const Outcome outcome = replaceBlockWithInfo(image, location, request);
        state.PauseTiming();
        memory.stop();
        state.ResumeTiming();
        if (!outcome.success) {
            state.SkipWithError(outcome.message.toUtf8().constData());
            return;
        }
    }
    if (!hasLength(request.outputPath, image.flashSize()))
        state.SkipWithError("the new image does not have the flash size");
    state.SetLabel(memory.text() + " (block " + mebibytes(location.size) + ")");
}

void writeImageOnce(benchmark::State& state)
{
    const FlashImage& image = loadedImage();
    OutputPlan plan;
    plan.length = image.flashSize();
    const QString path = outputPath("written.bin");
    PeakMemory memory;
    for (auto _ : state) {
        state.PauseTiming();
        memory.start();
        state.ResumeTiming();
        PlanWriter writer(path);
        const bool written
            = writer.open() && writer.writeAndCommit(image.imageData(), image.imageSize(), plan);
        state.PauseTiming();
        memory.stop();
        state.ResumeTiming();
        if (!written) {
            state.SkipWithError("cannot write the image");
            return;
        }
    }
    state.SetLabel(memory.text());
}

void exportWholeBlock(benchmark::State& state)
{
    const FlashImage& image = loadedImage();
    const BlockLocation location = findBlock(image.dmhRecords(), idText(BenchImages::wholeBlockId));
    const QString path = outputPath("exported.bin");
    PeakMemory memory;
    for (auto _ : state) {
        state.PauseTiming();
        memory.start();
        state.ResumeTiming();
        const Outcome outcome = exportBlock(ImageView::of(image), location, path);
        state.PauseTiming();
        memory.stop();
        state.ResumeTiming();
        if (!outcome.success) {
            state.SkipWithError(outcome.message.toUtf8().constData());
            return;
        }
    }
    if (!hasLength(path, location.size))
        state.SkipWithError("the exported file does not have the block's size");
    state.SetLabel(memory.text() + " (block " + mebibytes(location.size) + ")");
}

// open, write the block's bytes from memory, optionally fsync, close: what any program would do.
void writeBlockPlainly(benchmark::State& state, bool synchronise)
{
    const FlashImage& image = loadedImage();
    const BlockLocation location = findBlock(image.dmhRecords(), idText(BenchImages::wholeBlockId));
    const QByteArray path = QFile::encodeName(outputPath(synchronise ? "plain-synced.bin" : "plain.bin"));
    for (auto _ : state) {
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
        const bool synced = !synchronise || (descriptor >= 0 && ::fsync(descriptor) == 0);
        if (descriptor < 0 || ::close(descriptor) != 0 || left != 0 || !synced) {
            state.SkipWithError("plain write failed");
            return;
        }
    }
}

void registerTimed(const char* name, void (*function)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, function)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
}

} // namespace

void registerWriteBenchmarks(std::vector<RatioBar>& bars)
{
    registerTimed("write/1GiB/replace-64MiB-block", replaceRecordBlock);
    registerTimed("write/1GiB/write-image-once", writeImageOnce);
    registerTimed("write/256MiB/export-block", exportWholeBlock);
    registerTimed(
        "write/256MiB/plain-write", [](benchmark::State& state) { writeBlockPlainly(state, false); });
    registerTimed(
        "write/256MiB/plain-write+fsync", [](benchmark::State& state) { writeBlockPlainly(state, true); });
    bars.push_back({ "4 replace 64MiB block in 1GiB vs write once", "write/1GiB/replace-64MiB-block",
        "write/1GiB/write-image-once", RatioBar::Kind::TimeAtMost, 1.2 });
    bars.push_back({ "4 export 256MiB block vs plain write", "write/256MiB/export-block",
        "write/256MiB/plain-write", RatioBar::Kind::TimeAtMost, 0 });
    bars.push_back({ "4 export 256MiB block vs plain write+fsync", "write/256MiB/export-block",
        "write/256MiB/plain-write+fsync", RatioBar::Kind::TimeAtMost, 1.1 });
}
