#pragma once

#include "app/mainwindow.h"
#include "ops/write/filesystemcalls.h"

#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMenu>
#include <QStatusBar>
#include <QString>
#include <QStringList>
#include <QTableView>
#include <QUrl>

#include <memory>
#include <vector>

class QMimeData;

// What the path field made of one drag that entered it and was dropped.
struct DropOutcome {
    bool enterAccepted = false;
    Qt::DropAction enterAction = Qt::IgnoreAction;
    bool dropAccepted = false;
};

// What one Browse dialog showed before it was answered.
struct DialogSeen {
    int dialogsShown = 0;
    QString caption;
    QString directory;
    QStringList nameFilters;
    // The dialog took the path given (false when cancelled or refused).
    bool accepted = false;
    // The dialog script met something it did not expect (see DialogScript) and closed it.
    bool unexpected = false;
};

// Drives one shown MainWindow as a user does: widgets found by object name, the real Browse dialog
// answered by a DialogScript, drags and drops sent to the path field.
class WindowDriver {
public:
    WindowDriver();
    ~WindowDriver();

    MainWindow& window() { return *mainWindow; }
    template <typename Widget> Widget* find(const char* objectName) const
    {
        return mainWindow->findChild<Widget*>(QString::fromLatin1(objectName));
    }
    QLineEdit* pathField() const { return find<QLineEdit>("LEBinFile"); }
    QTableView* table() const { return find<QTableView>("tableView"); }
    QStatusBar* statusBar() const { return find<QStatusBar>("statusBar"); }
    QString labelText(const char* objectName) const { return find<QLabel>(objectName)->text(); }
    QString statusColour() const { return statusBar()->styleSheet(); }
    // The block menu: the window's only menu.
    QMenu* blockMenu() const;

    DropOutcome drop(QMimeData* mimeData);
    DropOutcome dropUrls(const QList<QUrl>& urls);
    DropOutcome dropFile(const QString& path) { return dropUrls({ QUrl::fromLocalFile(path) }); }

    // Clicks Browse and answers every dialog that shows: chooses `path`, or cancels when it is empty.
    DialogSeen browse(const QString& path);

    // The mouse and keys on the block table and its menu, delivered through the windows as the platform
    // delivers them. Points are in the table's viewport.
    QPoint rowPoint(int row) const;
    QPoint belowRows() const;
    void clickTable(const QPoint& point, Qt::MouseButton button = Qt::LeftButton,
        Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // Points at `entry` of the shown block menu without clicking it.
    void hoverMenuEntry(const QString& entry);
    // Right-clicks the table at `point` and clicks `entry` of the menu that shows; false when no menu
    // showed. Whatever the entry opens (dialogs) is answered before this returns.
    bool chooseFromMenu(const QPoint& point, const QString& entry);
    // Presses a key where the keyboard focus is.
    void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // The rows the table shows selected.
    QList<int> selectedRows() const;

private:
    std::unique_ptr<MainWindow> mainWindow;
};

// The application's override cursor as the window's work sees it: at each file synced by the writer, each
// status message and each change of the table's row count, while the watch lives.
class CursorWatch : public FileSystemCalls {
public:
    explicit CursorWatch(WindowDriver& driver);
    ~CursorWatch() override;

    int syncFile(int file) override;
    // Whether the watch saw anything, and the busy cursor at every look.
    bool busyThroughout() const { return !seen.isEmpty() && seen.count(Qt::WaitCursor) == seen.size(); }
    // What each look saw: a cursor shape, or -1 for no override cursor.
    QList<int> seen;

private:
    void look();
    FileSystemCalls::Override seam;
    std::vector<QMetaObject::Connection> connections;
};
