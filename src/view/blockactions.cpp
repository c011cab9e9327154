#include "app/busycursor.h"
#include "app/mainwindow.h"

#include "ops/export/blockexport.h"
#include "ops/export/blockfilename.h"
#include "ops/replace/blockgrow.h"
#include "ops/base/statustexts.h"
#include "ops/record/stamptime.h"
#include "ops/replace/replaceaction.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

#include <sys/stat.h>

namespace {

const QString successColour = QStringLiteral("#15428b");
const QString failureColour = QStringLiteral("red");

// Whether the two paths name one file, a symlink naming its target. Asked after a write, which puts a new
// file in the output's place: a hard link of the open image then keeps the old file and is another one.
bool nameSameFile(const QString& first, const QString& second)
{
    const QFileInfo firstInfo(first);
    const QFileInfo secondInfo(second);
    if (!firstInfo.exists() || !secondInfo.exists())
        return false;
    if (firstInfo.canonicalFilePath() == secondInfo.canonicalFilePath())
        return true;
    // One file can still have two canonical paths, through a bind mount.
    struct stat firstStatus { };
    struct stat secondStatus { };
    return ::stat(QFile::encodeName(first).constData(), &firstStatus) == 0
        && ::stat(QFile::encodeName(second).constData(), &secondStatus) == 0
        && firstStatus.st_dev == secondStatus.st_dev && firstStatus.st_ino == secondStatus.st_ino;
}

} // namespace

std::optional<BlockLocation> MainWindow::findBlock(const QString& idText)
{
    // After a failed load the table still lists the last good image while memory holds another; after
    // a load whose blocks were not shown, it lists the last image shown.
    if (catalogue.isEmpty() || tableGeneration != flashImage.generation()) {
        showStatus(failureColour, StatusText::notDataFromFile());
        return std::nullopt;
    }
    return ::findBlock(catalogue, idText);
}

void MainWindow::showOutcome(const Outcome& outcome)
{
    showStatus(outcome.success ? successColour : failureColour, outcome.message);
}

void MainWindow::showWriteOutcome(const Outcome& outcome, const QString& outputPath)
{
    // Written over the open image, the file no longer holds what the memory and the table describe, and
    // the next action would start from the old bytes and undo this one. It is opened again as Browse
    // opens it; the action's text is shown last, so it stays whatever the open shows.
    const QString openPath = ui.LEBinFile->text();
    if (outcome.success && nameSameFile(outputPath, openPath))
        openImage(openPath);
    showOutcome(outcome);
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
    const BusyCursor busy;
    showWriteOutcome(exportBlock(ImageView::of(flashImage), *location, outputPath), outputPath);
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
    const BusyCursor busy;
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
    showWriteOutcome(
        ::replaceBlockPadded(flashImage, location, replaceRequest(outputPath, replacementPath)), outputPath);
}

void MainWindow::replaceBlockWithInfo(
    const QString& outputPath, const QString& replacementPath, const BlockLocation& location)
{
    showWriteOutcome(
        ::replaceBlockWithInfo(flashImage, location, replaceRequest(outputPath, replacementPath)),
        outputPath);
}

void MainWindow::replaceBlockGrow(
    const QString& outputPath, const QString& replacementPath, const BlockLocation& location)
{
    // Changes the image in memory and `catalogue`; the table keeps its values until the next open, which
    // follows at once when the output is the open image.
    showWriteOutcome(
        ::replaceBlockGrow(flashImage, catalogue, location, replaceRequest(outputPath, replacementPath)),
        outputPath);
}
