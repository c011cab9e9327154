#include "app/mainwindow.h"

#include "ops/blockexport.h"
#include "ops/blockfilename.h"
#include "ops/blockgrow.h"
#include "ops/statustexts.h"
#include "ops/stamptime.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

namespace {

const QString successColour = QStringLiteral("#15428b");
const QString failureColour = QStringLiteral("red");

} // namespace

std::optional<BlockLocation> MainWindow::findBlock(const QString& idText)
{
    // After a failed load the catalogue still lists the last good image while memory holds another.
    if (catalogue.isEmpty() || catalogueGeneration != flashImage.generation()) {
        showStatus(failureColour, StatusText::notDataFromFile());
        return std::nullopt;
    }
    return ::findBlock(catalogue, idText);
}

void MainWindow::showOutcome(const Outcome& outcome)
{
    showStatus(outcome.success ? successColour : failureColour, outcome.message);
}

void MainWindow::slotClickSaveBlock()
{
    const QString idText = selectedBlockId();
    if (idText.isEmpty()) {
        showStatus(failureColour, StatusText::notSelectingSavingBlock());
        return;
    }
    const QString proposedName = proposedBlockFileName(selectedBlockName(), idText);
    const QString outputPath
        = QFileDialog::getSaveFileName(this, tr("Save Block"), proposedName, tr("All (*.*)"));
    if (outputPath.isEmpty())
        return;
    const std::optional<BlockLocation> location = findBlock(idText);
    if (!location)
        return;
    showOutcome(exportBlock(ImageView::of(flashImage), *location, outputPath));
}

void MainWindow::slotClickSaveBin()
{
    const QString replacementPath
        = QFileDialog::getOpenFileName(this, tr("Select a block"), QStringLiteral("/*.*"), tr("All (*.*)"));
    if (replacementPath.isEmpty())
        return;
    const QString outputPath = QFileDialog::getSaveFileName(
        this, tr("Save flash Bin"), QStringLiteral("/*.bin"), tr("Bin (*.bin)"));
    if (outputPath.isEmpty())
        return;
    const QString idText = selectedBlockId();
    if (idText.isEmpty()) {
        showStatus(failureColour, StatusText::noBlockSelected());
        return;
    }
    const std::optional<BlockLocation> location = findBlock(idText);
    if (!location)
        return;
    if (!location->found()) {
        showStatus(failureColour, StatusText::canNotFindDmh());
        return;
    }
    const qint64 replacementLength = QFileInfo(replacementPath).size();
    switch (chooseVariant(ImageView::of(flashImage), *location, replacementLength)) {
    case ReplaceVariant::Padded:
        replaceBlockPadded(outputPath, replacementPath, *location);
        break;
    case ReplaceVariant::WithInfo:
        replaceBlockWithInfo(outputPath, replacementPath, *location);
        break;
    case ReplaceVariant::Grow:
        replaceBlockGrow(outputPath, replacementPath, *location);
        break;
    }
}

ReplaceRequest MainWindow::replaceRequest(const QString& outputPath, const QString& replacementPath) const
{
    ReplaceRequest request;
    request.idText = selectedBlockId();
    request.replacementPath = replacementPath;
    request.outputPath = outputPath;
    // Read back from the field, deliberately, not kept from the load: the growing variant opens the file the
    // user sees named there as its last sign that the image still comes from a file.
    request.loadedImagePath = ui.LEBinFile->text();
    request.stampTime = StampTime::fromLocalClock();
    return request;
}

void MainWindow::replaceBlockPadded(
    const QString& outputPath, const QString& replacementPath, const BlockLocation& location)
{
    showOutcome(::replaceBlockPadded(flashImage, location, replaceRequest(outputPath, replacementPath)));
}

void MainWindow::replaceBlockWithInfo(
    const QString& outputPath, const QString& replacementPath, const BlockLocation& location)
{
    showOutcome(::replaceBlockWithInfo(flashImage, location, replaceRequest(outputPath, replacementPath)));
}

void MainWindow::replaceBlockGrow(
    const QString& outputPath, const QString& replacementPath, const BlockLocation& location)
{
    // Changes the image in memory and `catalogue`; the table keeps its values until the next open.
    showOutcome(
        ::replaceBlockGrow(flashImage, catalogue, location, replaceRequest(outputPath, replacementPath)));
}
