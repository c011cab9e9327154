#pragma once

#include "app/mainwindow.h"
#include "dialogscript.h"
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

// The status line's colours: for a success, and for a failure or a refusal.
inline const QString successColour = QStringLiteral("color:#15428b");
inline const QString failureColour = QStringLiteral("color:red");

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
    QString status() const { return statusBar()->currentMessage(); }
    QString statusColour() const { return statusBar()->styleSheet(); }
    // The text of a cell of the block table.
    QString cell(int row, int column) const { return table()->model()->index(row, column).data().toString(); }
    // The block menu: the window's only menu.
    QMenu* blockMenu() const;
    QAction* menuEntry(const QString& text) const;

    DropOutcome drop(QMimeData* mimeData);
    DropOutcome dropFile(const QString& path);

    // Clicks Browse and answers every dialog that shows: chooses `path`, or cancels when it is empty.
    DialogsSeen browse(const QString& path);
    // Makes `row` the table's current row, as the block menu's entries read it.
    void selectRow(int row) { table()->setCurrentIndex(table()->model()->index(row, 0)); }
    // Triggers `entry` of the block menu and answers its dialogs from `answers`.
    DialogsSeen trigger(const QString& entry, const QStringList& answers);

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
    // The same with the entry's dialogs answered from `answers`; a menu that did not show is unexpected too.
    DialogsSeen chooseFromMenu(const QPoint& point, const QString& entry, const QStringList& answers);
    // Presses a key where the keyboard focus is.
    void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // Presses the Menu key as a desktop's platform delivers it: a keyboard request for a context menu at
    // the window, which the toolkit hands to the widget with the focus.
    void pressMenuKey();
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
