// Opening an image whose one DMH lists the most entries a DMH can hold, through the window's
// own drop path (load, summary, block table, shown), against filling a bare QStandardItemModel with the
// same cells on a plain table view.
#include "benchimages.h"
#include "benchmarks.h"

#include "app/mainwindow.h"
#include "imagebuilder.h"
#include "model/flashimage.h"

#include <QApplication>
#include <QBrush>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTableView>
#include <QUrl>

#include <memory>

namespace {

constexpr int rowCount = 65535;

QString tableImagePath()
{
    const QString path = BenchImages::directory() + QStringLiteral("/table-65535-v1.bin");
    if (QFileInfo::exists(path))
        return path;
    TestDmh dmh;
    dmh.flashSize = 4 << 20;
    for (int index = 0; index < rowCount; ++index) {
        TestEntry entry = testEntry(quint8(index), quint32(index) << 16, 0x10000,
            "blk" + QByteArray::number(index % 1000), quint8(index % 2));
        entry.crc = quint32(index) * 2654435761u;
        entry.version = "v" + QByteArray::number(index % 97);
        entry.second = quint8(index % 60);
        dmh.entries.append(entry);
    }
    QDir().mkpath(BenchImages::directory());
    if (!ImageBuilder(4 << 20).dmh(0, dmh).writeTo(path))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// What a user's drag of the file onto the path field delivers: the drag entering, then the drop.
void dropOn(QLineEdit* field, const QString& path)
{
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(path) });
    const QPoint point = field->rect().center();
    QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(field, &enter);
    QDropEvent drop(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(field, &drop);
}

void openThroughWindow(benchmark::State& state)
{
    const QString path = tableImagePath();
    MainWindow window;
    window.resize(1000, 700);
    window.show();
    QLineEdit* field = window.findChild<QLineEdit*>(QStringLiteral("LEBinFile"));
    QTableView* table = window.findChild<QTableView*>(QStringLiteral("tableView"));
    if (!field || !table) {
        state.SkipWithError("the window has no LEBinFile or tableView");
        return;
    }
    // Warm: the first open also pays for fonts, style sheet parsing and the first paint.
    dropOn(field, path);
    QApplication::processEvents();
    for (auto _ : state) {
        dropOn(field, path);
        QApplication::processEvents();
    }
    if (!table->model() || table->model()->rowCount() != rowCount) {
        const QStatusBar* status = window.findChild<QStatusBar*>(QStringLiteral("statusBar"));
        const QString message = status ? status->currentMessage() : QString();
        state.SkipWithError(("the table does not list every entry: " + message.toStdString()).c_str());
    }
}

// A 1 GiB image opened as the user opens it (read, scan, summary, table, shown), beside the core's load
// of the same file: what the window adds to the wait under the busy cursor.
void openLargeImageThroughWindow(benchmark::State& state, const QString& path)
{
    BenchImages::warmPageCache(path);
    MainWindow window;
    window.resize(1000, 700);
    window.show();
    QLineEdit* field = window.findChild<QLineEdit*>(QStringLiteral("LEBinFile"));
    QTableView* table = window.findChild<QTableView*>(QStringLiteral("tableView"));
    const QStatusBar* status = window.findChild<QStatusBar*>(QStringLiteral("statusBar"));
    if (!field || !table || !status) {
        state.SkipWithError("the window has no LEBinFile, tableView or statusBar");
        return;
    }
    QApplication::processEvents();
    for (auto _ : state) {
        dropOn(field, path);
        QApplication::processEvents();
    }
    if (!table->model() || table->model()->rowCount() == 0 || !status->currentMessage().isEmpty())
        state.SkipWithError(("the image did not open: " + status->currentMessage().toStdString()).c_str());
}

void fillBareModel(benchmark::State& state)
{
    FlashImage image;
    if (!image.load(tableImagePath().toStdWString())) {
        state.SkipWithError(image.lastError().constData());
        return;
    }
    const QVector<BlockEntry>& entries = image.dmhRecords().first().entries;
    QTableView view;
    view.resize(1000, 600);
    view.show();
    const QBrush rowBrush(QColor(229, 239, 252, 255), Qt::SolidPattern);
    auto fill = [&] {
        auto model = std::make_unique<QStandardItemModel>();
        int row = 0;
        for (const BlockEntry& entry : entries) {
            const QString cells[] = { entry.idText(), entry.sizeCellText(), entry.crcCellText(),
                entry.nameCellText(), entry.versionCellText(), entry.timeCellText() };
            for (int column = 0; column < 6; ++column) {
                auto* item = new QStandardItem(cells[column]);
                item->setTextAlignment(Qt::AlignCenter);
                if (row % 2 == 0)
                    item->setBackground(rowBrush);
                model->setItem(row, column, item);
            }
            ++row;
        }
        const std::unique_ptr<QAbstractItemModel> previous(view.model());
        view.setModel(model.release());
        QApplication::processEvents();
    };
    fill();
    for (auto _ : state)
        fill();
}

} // namespace

void registerTableBenchmarks(std::vector<RatioBar>& bars)
{
    benchmark::RegisterBenchmark("table/65535/window-open", openThroughWindow)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("table/65535/bare-model", fillBareModel)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    RatioBar bar { "5 table of 65535 rows: open vs bare model", "table/65535/window-open",
        "table/65535/bare-model", RatioBar::Kind::TimeAtMost, 0 };
    bar.subjectLimitSeconds = 0.150;
    bars.push_back(bar);

    // The baseline is the load figure's own subject (loadbench.cpp), which this run registers as well.
    const QString largeImage = BenchImages::ensureImage(BenchImages::Kind::Realistic, BenchImages::gibibyte);
    benchmark::RegisterBenchmark("window/1GiB/open",
        [largeImage](benchmark::State& state) { openLargeImageThroughWindow(state, largeImage); })
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    bars.push_back({ "6 window open of 1GiB realistic vs core load", "window/1GiB/open",
        "load/1GiB/realistic/tessel", RatioBar::Kind::TimeAtMost, 0 });
}
