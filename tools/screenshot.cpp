// Opens an image in the real window the way a user does, by dropping the file on the path field,
// selects a row of the block table and saves a picture of the window. tools/screenshot.sh runs it
// under Xvfb to make docs/screenshot.png.
//
//     tessel-screenshot <image.bin> <output.png> [row]

#include "app/mainwindow.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPixmap>
#include <QStringList>
#include <QTableView>
#include <QTest>
#include <QUrl>

#include <cstdio>

namespace {

void dropFile(QLineEdit* target, const QString& path)
{
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()) });
    const QPoint centre = target->rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() < 3 || arguments.size() > 4) {
        std::fprintf(stderr, "usage: tessel-screenshot <image.bin> <output.png> [row]\n");
        return 2;
    }
    const int row = arguments.size() == 4 ? arguments.at(3).toInt() : 0;

    MainWindow window;
    // Wider than the form's 661 pixels, so that the six equal columns leave the time stamps whole.
    window.resize(800, window.height());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "tessel-screenshot: the window was never shown\n");
        return 1;
    }

    auto* path = window.findChild<QLineEdit*>(QStringLiteral("LEBinFile"));
    auto* table = window.findChild<QTableView*>(QStringLiteral("tableView"));
    if (!path || !table) {
        std::fprintf(stderr, "tessel-screenshot: the window has no LEBinFile or tableView\n");
        return 1;
    }
    dropFile(path, arguments.at(1));
    if (row < 0 || !table->model() || table->model()->rowCount() <= row) {
        std::fprintf(stderr, "tessel-screenshot: %s did not open with at least %d rows\n",
            qPrintable(arguments.at(1)), row + 1);
        return 1;
    }

    table->setFocus();
    table->selectRow(row);
    QTest::qWait(200);

    if (!window.grab().save(arguments.at(2), "PNG")) {
        std::fprintf(stderr, "tessel-screenshot: cannot write %s\n", qPrintable(arguments.at(2)));
        return 1;
    }
    return 0;
}
