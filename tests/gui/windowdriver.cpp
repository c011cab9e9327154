#include "windowdriver.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMimeData>
#include <QPushButton>
#include <QWindow>
#include <QtTest>

WindowDriver::WindowDriver()
    : mainWindow(std::make_unique<MainWindow>())
{
    mainWindow->show();
    if (!QTest::qWaitForWindowExposed(mainWindow.get()))
        qWarning("the main window was not exposed");
    // Keys and focus go to the active window, as on a desktop, also on an X server without a window manager.
    QApplication::setActiveWindow(mainWindow.get());
}

WindowDriver::~WindowDriver() = default;

QMenu* WindowDriver::blockMenu() const
{
    const QList<QMenu*> menus = mainWindow->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
    return menus.size() == 1 ? menus.first() : nullptr;
}

QAction* WindowDriver::menuEntry(const QString& text) const
{
    for (QAction* action : blockMenu()->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

DialogsSeen WindowDriver::trigger(const QString& entry, const QStringList& answers)
{
    QAction* action = menuEntry(entry);
    if (!action)
        qFatal("the block menu has no entry %s", qPrintable(entry));
    return answering(answers, [action] { action->trigger(); });
}

DropOutcome WindowDriver::drop(QMimeData* mimeData)
{
    QLineEdit* field = pathField();
    const QPoint point = field->rect().center();
    DropOutcome outcome;
    QDragEnterEvent enter(point, Qt::CopyAction | Qt::MoveAction, mimeData, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &enter);
    outcome.enterAccepted = enter.isAccepted();
    outcome.enterAction = enter.dropAction();
    QDropEvent dropEvent(point, Qt::CopyAction | Qt::MoveAction, mimeData, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &dropEvent);
    outcome.dropAccepted = dropEvent.isAccepted();
    return outcome;
}

DropOutcome WindowDriver::dropFile(const QString& path)
{
    QMimeData mimeData;
    mimeData.setUrls({ QUrl::fromLocalFile(path) });
    return drop(&mimeData);
}

DialogsSeen WindowDriver::browse(const QString& path)
{
    return answering({ path }, [this] {
        QTest::mouseClick(find<QPushButton>("BtnBrowseFlash"), Qt::LeftButton);
        // A second dialog behind the first would show up here.
        QTest::qWait(50);
    });
}

QPoint WindowDriver::rowPoint(int row) const
{
    return table()->visualRect(table()->model()->index(row, 1)).center();
}

QPoint WindowDriver::belowRows() const
{
    QTableView* view = table();
    const int rows = view->model() ? view->model()->rowCount() : 0;
    const int lastRowEnd = rows > 0 ? view->rowViewportPosition(rows - 1) + view->rowHeight(rows - 1) : 0;
    return QPoint(view->viewport()->width() / 2, (lastRowEnd + view->viewport()->height()) / 2);
}

void WindowDriver::clickTable(const QPoint& point, Qt::MouseButton button, Qt::KeyboardModifiers modifiers)
{
    const QPoint inWindow = table()->viewport()->mapTo(mainWindow.get(), point);
    QTest::mouseClick(mainWindow->windowHandle(), button, modifiers, inWindow);
}

void WindowDriver::hoverMenuEntry(const QString& entry)
{
    QMenu* menu = blockMenu();
    QAction* action = menuEntry(entry);
    if (!action || !menu->isVisible()) {
        qWarning("no shown menu entry %s", qPrintable(entry));
        return;
    }
    // A hand moves the pointer in steps; a menu takes no notice of the first move into it.
    const QPoint centre = menu->actionGeometry(action).center();
    QTest::mouseMove(menu->windowHandle(), centre - QPoint(2, 0));
    QTest::mouseMove(menu->windowHandle(), centre);
}

bool WindowDriver::chooseFromMenu(const QPoint& point, const QString& entry)
{
    clickTable(point, Qt::RightButton);
    QMenu* menu = blockMenu();
    QAction* action = menuEntry(entry);
    if (!action || !menu->isVisible())
        return false;
    hoverMenuEntry(entry);
    QTest::mouseClick(
        menu->windowHandle(), Qt::LeftButton, Qt::NoModifier, menu->actionGeometry(action).center());
    return true;
}

DialogsSeen WindowDriver::chooseFromMenu(
    const QPoint& point, const QString& entry, const QStringList& answers)
{
    bool chosen = false;
    DialogsSeen seen = answering(answers, [&] { chosen = chooseFromMenu(point, entry); });
    seen.unexpected = seen.unexpected || !chosen;
    return seen;
}

void WindowDriver::pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QWidget* target = QApplication::focusWidget();
    if (!target)
        target = mainWindow.get();
    QTest::keyClick(target->window()->windowHandle(), key, modifiers);
}

void WindowDriver::pressMenuKey()
{
    QWindow* window = mainWindow->windowHandle();
    const QPoint point(5, 5);
    QContextMenuEvent request(QContextMenuEvent::Keyboard, point, window->mapToGlobal(point));
    QGuiApplication::sendEvent(window, &request);
}

QList<int> WindowDriver::selectedRows() const
{
    QList<int> rows;
    if (const QItemSelectionModel* selection = table()->selectionModel())
        for (const QModelIndex& index : selection->selectedRows())
            rows << index.row();
    return rows;
}

CursorWatch::CursorWatch(WindowDriver& driver)
    : seam(*this)
{
    connections.push_back(
        QObject::connect(driver.statusBar(), &QStatusBar::messageChanged, [this] { look(); }));
    connections.push_back(QObject::connect(
        driver.table()->verticalHeader(), &QHeaderView::sectionCountChanged, [this] { look(); }));
}

CursorWatch::~CursorWatch()
{
    for (const QMetaObject::Connection& connection : connections)
        QObject::disconnect(connection);
}

int CursorWatch::syncFile(int file)
{
    look();
    return FileSystemCalls::syncFile(file);
}

void CursorWatch::look()
{
    const QCursor* cursor = QGuiApplication::overrideCursor();
    seen << (cursor ? int(cursor->shape()) : -1);
}
