#pragma once

#include "ui_mainwindow.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"
#include "ops/base/blocklocation.h"
#include "ops/replace/blockreplace.h"
#include "ops/base/outcome.h"

#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <optional>

class QAction;
class QEvent;
class QMenu;
class QObject;
class QWidget;

// The program's one window: the open image, the window's copy of its catalogue, the block table with
// its context menu, and the status line through which every message reaches the user.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Watches LEBinFile for files dropped on it, the table for the Menu key, and the window for status tips,
    // which it keeps off the status line.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Opens `path` as a choice in the Browse dialog does: the dialog's next start, the path field, the
    // image, the block menu. Also what the program does with an image named on its command line.
    void openChosenImage(const QString& path);

private slots:
    void slotClickSaveBlock();
    void slotClickSaveBin();
    void slotBrowseFlash();
    void TableViewMenuRequested(QPoint pos);

private:
    void openImage(QString path);
    void refreshSummary();
    void showStatus(QString colour, QString message);
    void buildBlockTable();
    void enableBlockMenu();
    // The menu asked for by the keyboard (the Menu key), shown at the current row; false when there is none.
    bool showMenuAtCurrentRow();
    QString selectedBlockId() const;
    QString selectedBlockName() const;

    // Block actions
    // The block with the row's ID text. Nothing (said in red) while `catalogue` does not describe the
    // image in memory; otherwise a location, found or not.
    std::optional<BlockLocation> findBlock(const QString& idText);
    void replaceBlockPadded(
        const QString& outputPath, const QString& replacementPath, const BlockLocation& location);
    void replaceBlockWithInfo(
        const QString& outputPath, const QString& replacementPath, const BlockLocation& location);
    void replaceBlockGrow(
        const QString& outputPath, const QString& replacementPath, const BlockLocation& location);
    ReplaceRequest replaceRequest(const QString& outputPath, const QString& replacementPath) const;
    void showOutcome(const Outcome& outcome);
    // The outcome of an action that wrote `outputPath`; opens the image again when that was its file.
    void showWriteOutcome(const Outcome& outcome, const QString& outputPath);

    Ui::MainWindow ui;
    FlashImage flashImage;
    QVector<DmhRecord> catalogue;
    QMenu* blockMenu = nullptr;
    QAction* actionSaveAs = nullptr;
    QAction* actionReplaceWith = nullptr;
    QString browsePath;
    // flashImage.generation() of the image whose blocks the table shows, `catalogue` copied from it. When
    // they differ (after a failed load, or a load whose blocks were not shown) the rows the user sees are
    // not the image in memory and no block may be read through them.
    quint64 tableGeneration = 0;
};
