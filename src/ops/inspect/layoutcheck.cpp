#include "ops/inspect/layoutcheck.h"

#include "ops/base/detailtexts.h"

#include "model/imagelayout.h"

namespace {

// What the image holds of [start, start + length) is its bytes up to the image end, or, for an empty
// range, its place. The output cuts it off when it keeps less of that than the image does. A range
// wholly beyond the image end is held by neither, so nothing is lost.
bool cutOff(const ImageView& image, qint64 start, qint64 length)
{
    if (length == 0)
        return start <= image.size && start > image.flashSize;
    return start < image.size && qMin(start + length, image.size) > image.flashSize;
}

// Every DMH and block the output would cut off, in catalogue order; stops after the first when asked.
void findCuts(const ImageView& image, const QVector<DmhRecord>& catalogue, bool firstOnly,
    QVector<LayoutProblem>& problems)
{
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue[dmhIndex];
        const qint64 tableLength = ImageLayout::tableLength(dmh.entryCount);
        if (cutOff(image, dmh.position, tableLength)) {
            problems.append({ LayoutProblem::Kind::DmhBeyondFlash, dmhIndex, -1, dmh.position, tableLength });
            if (firstOnly)
                return;
        }
        for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
            const BlockEntry& entry = dmh.entries[entryIndex];
            const qint64 start = qint64(dmh.position) + entry.offset;
            if (!cutOff(image, start, entry.size))
                continue;
            problems.append(
                { LayoutProblem::Kind::BlockBeyondFlash, dmhIndex, entryIndex, start, entry.size });
            if (firstOnly)
                return;
        }
    }
}

} // namespace

QVector<LayoutProblem> checkLayout(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    QVector<LayoutProblem> problems;
    if (image.size < qint64(image.flashSize))
        problems.append({ LayoutProblem::Kind::ImageShorterThanFlash, -1, -1, 0, image.size });
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue[dmhIndex];
        if (dmh.flashSize != image.flashSize)
            problems.append(
                { LayoutProblem::Kind::FlashSizesDisagree, dmhIndex, -1, dmh.position, dmh.flashSize });
    }
    findCuts(image, catalogue, false, problems);
    return problems;
}

std::optional<LayoutProblem> firstOutputCut(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    QVector<LayoutProblem> problems;
    findCuts(image, catalogue, true, problems);
    if (problems.isEmpty())
        return std::nullopt;
    return problems.first();
}

QString describeLayoutProblem(
    const LayoutProblem& problem, const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    using DetailText::hexPosition;
    using DetailText::rangeText;
    const QString flashSize = QString::number(image.flashSize);
    switch (problem.kind) {
    case LayoutProblem::Kind::ImageShorterThanFlash:
        return QStringLiteral(
            "The image is %1 bytes, shorter than its flash size of %2 bytes: it was cut short.")
            .arg(problem.length)
            .arg(flashSize);
    case LayoutProblem::Kind::FlashSizesDisagree:
        return QStringLiteral(
            "DMH %1 at %2 states a flash size of %3 bytes; the last DMH's %4 bytes is the one in use.")
            .arg(problem.dmhIndex)
            .arg(hexPosition(problem.position))
            .arg(problem.length)
            .arg(flashSize);
    case LayoutProblem::Kind::DmhBeyondFlash:
        return QStringLiteral("DMH %1 at %2 (%3 bytes with its entries) reaches beyond the flash size of %4 "
                              "bytes; an output would lose it.")
            .arg(problem.dmhIndex)
            .arg(hexPosition(problem.position))
            .arg(problem.length)
            .arg(flashSize);
    case LayoutProblem::Kind::BlockBeyondFlash: {
        const BlockEntry& entry = catalogue.at(problem.dmhIndex).entries.at(problem.entryIndex);
        return QStringLiteral("Block %1 of DMH %2 (%3) reaches beyond the flash size of %4 bytes; an output "
                              "would lose it.")
            .arg(entry.idText())
            .arg(problem.dmhIndex)
            .arg(rangeText(problem.position, problem.length))
            .arg(flashSize);
    }
    }
    return {};
}
