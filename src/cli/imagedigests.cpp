#include "imagedigests.h"

#include "progressmeter.h"

#include "model/flashimage.h"
#include "ops/record/backgroundsha256.h"
#include "ops/record/sha256.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

namespace ImageDigests {

namespace {

std::mutex& guard()
{
    static std::mutex mutex;
    return mutex;
}

std::map<const FlashImage*, std::unique_ptr<BackgroundSha256>>& digests()
{
    static std::map<const FlashImage*, std::unique_ptr<BackgroundSha256>> started;
    return started;
}

// The digest under way for the image's bytes as they are now; null when none was started for them.
BackgroundSha256* underWay(const FlashImage& image)
{
    const std::lock_guard<std::mutex> lock(guard());
    const auto found = digests().find(&image);
    if (found == digests().end() || !found->second->covers(image.imageData(), image.imageSize()))
        return nullptr;
    return found->second.get();
}

ProgressMeter* progressMeter = nullptr;

ProgressCallback progressOf(const FlashImage& image)
{
    return progressMeter ? progressMeter->callback(QStringLiteral("Hashing %1").arg(image.loadedPath()))
                         : ProgressCallback();
}

} // namespace

void setProgressMeter(ProgressMeter* meter)
{
    progressMeter = meter;
}

void start(const FlashImage& image, const uchar* data, qint64 size)
{
    auto digest = std::make_unique<BackgroundSha256>(data, size);
    const std::lock_guard<std::mutex> lock(guard());
    digests()[&image] = std::move(digest);
}

BlockHashes blockHashes(const FlashImage& image)
{
    return BlockHashes::compute(ImageView::of(image), image.dmhRecords(), underWay(image), progressOf(image));
}

QByteArray imageSha256(const FlashImage& image)
{
    if (BackgroundSha256* digest = underWay(image)) {
        const ProgressCallback progress = progressOf(image);
        while (progress && !digest->finishedWithin(std::chrono::milliseconds(100)))
            progress(digest->bytesDone(), image.imageSize());
        return digest->result();
    }
    return Sha256::hex(image.imageData(), image.imageSize());
}

void clear()
{
    std::map<const FlashImage*, std::unique_ptr<BackgroundSha256>> stopping;
    {
        const std::lock_guard<std::mutex> lock(guard());
        stopping.swap(digests());
    }
    progressMeter = nullptr;
}

} // namespace ImageDigests
