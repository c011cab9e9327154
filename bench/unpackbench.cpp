// export --all of an image with many blocks against writing the same files with one plain write each,
// both with the syncs every output gets.
#include "benchimages.h"
#include "benchmarks.h"

#include "exportall.h"
#include "outputtarget.h"
#include "model/flashimage.h"
#include "ops/export/blockexport.h"
#include "ops/inspect/blockfacts.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const QString& imagePath()
{
    static const QString path = BenchImages::ensureManyBlockImage();
    return path;
}

const FlashImage& loadedImage()
{
    return BenchImages::loadedImage(imagePath());
}

QString folderPath(const char* name)
{
    return BenchImages::directory() + QStringLiteral("/unpack-") + QLatin1String(name);
}

// Every output starts from no folder at all, untimed: the files of the last repetition are gone, and
// their removal is on disk, so that neither side's syncs pay for the other's deletions.
void clearFolder(benchmark::State& state, const QString& folder)
{
    state.PauseTiming();
    QDir(folder).removeRecursively();
    ::sync();
    state.ResumeTiming();
}

// export --all of the image into folderPath("all"), as tessel-cli runs it.
CommandResult unpackOnce(const FlashImage& image)
{
    InputWatch inputs;
    inputs.watch(imagePath());
    OutputTarget output(folderPath("all"), false, false, { imagePath() }, &inputs);
    return exportAll(image, imagePath(), output);
}

void unpackAll(benchmark::State& state)
{
    const FlashImage& image = loadedImage();
    CommandResult result;
    for (auto _ : state) {
        clearFolder(state, folderPath("all"));
        result = unpackOnce(image);
        if (!result.succeeded()) {
            state.SkipWithError(result.message.toStdString().c_str());
            return;
        }
    }
    state.SetLabel(std::to_string(result.details.value(QStringLiteral("filesWritten")).toInt()) + " files, "
        + std::to_string(qint64(result.details.value(QStringLiteral("bytesWritten")).toDouble()) >> 20)
        + " MiB");
}

struct PlainFile {
    QByteArray name;
    const uchar* data = nullptr;
    qint64 length = 0;
};

// The same bytes export --all writes, named alike: each block as its plan says, and index.json as the
// subject last wrote it.
std::vector<PlainFile> sameFiles(const FlashImage& image, QByteArray& index)
{
    const ImageView view = ImageView::of(image);
    std::vector<PlainFile> files;
    for (const BlockFacts& block : BlockFacts::collect(view, image.dmhRecords())) {
        const Refusable<ExportPlan> planned = planExport(view, block.location(), QString());
        if (planned.accepted())
            files.push_back({ "block-" + QByteArray::number(int(files.size())) + ".bin",
                view.data + planned.value->output.sourceStart, planned.value->output.length });
    }
    // The index is the subject's own; an unpack made once here, untimed, leaves it for whichever side runs
    // first.
    QFile written(folderPath("all") + QStringLiteral("/index.json"));
    if (!written.exists())
        unpackOnce(image);
    if (written.open(QIODevice::ReadOnly))
        index = written.readAll();
    files.push_back({ "index.json", reinterpret_cast<const uchar*>(index.constData()), index.size() });
    return files;
}

// For each file: open, one write, fsync, close; then one fsync of the folder.
void writeFilesPlainly(benchmark::State& state)
{
    QByteArray index;
    const std::vector<PlainFile> files = sameFiles(loadedImage(), index);
    if (index.isEmpty()) {
        state.SkipWithError("export --all wrote no index.json");
        return;
    }
    const QString folder = folderPath("plain");
    qint64 bytes = 0;
    for (auto _ : state) {
        clearFolder(state, folder);
        state.PauseTiming();
        const bool made = QDir().mkpath(folder);
        state.ResumeTiming();
        const int directory = ::open(QFile::encodeName(folder).constData(), O_DIRECTORY | O_RDONLY);
        bool written = made && directory >= 0;
        bytes = 0;
        for (const PlainFile& file : files) {
            const int descriptor
                = ::openat(directory, file.name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            written = written && descriptor >= 0
                && ::write(descriptor, file.data, size_t(file.length)) == file.length
                && ::fsync(descriptor) == 0;
            written = descriptor >= 0 && ::close(descriptor) == 0 && written;
            bytes += file.length;
        }
        written = written && ::fsync(directory) == 0;
        if (directory >= 0)
            ::close(directory);
        if (!written) {
            state.SkipWithError("plain write failed");
            return;
        }
    }
    state.SetLabel(std::to_string(files.size()) + " files, " + std::to_string(bytes >> 20) + " MiB");
}

// One unpack takes a fraction of a second, and this machine's disk has slow phases of many seconds: many
// single runs, interleaved with the baseline's, meet both phases alike.
void registerTimed(const char* name, void (*function)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, function)
        ->Iterations(1)
        ->Repetitions(15)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

void registerUnpackBenchmarks(std::vector<RatioBar>& bars)
{
    registerTimed("unpack/export-all", unpackAll);
    registerTimed("unpack/plain-write+fsync-per-file", writeFilesPlainly);
    bars.push_back({ "6 export --all 96 blocks vs plain writes", "unpack/export-all",
        "unpack/plain-write+fsync-per-file", RatioBar::Kind::TimeAtMost, 1.2 });
}
