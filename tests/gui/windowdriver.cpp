#include "windowdriver.h"

#include "dialogscript.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QtTest>

WindowDriver::WindowDriver()
    : mainWindow(std::make_unique<MainWindow>())
{
    mainWindow->show();
    if (!QTest::qWaitForWindowExposed(mainWindow.get()))
        qWarning("the main window was not exposed");
}

WindowDriver::~WindowDriver() = default;

QMenu* WindowDriver::blockMenu() const
{
    const QList<QMenu*> menus = mainWindow->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
    return menus.size() == 1 ? menus.first() : nullptr;
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

DropOutcome WindowDriver::dropUrls(const QList<QUrl>& urls)
{
    QMimeData mimeData;
    mimeData.setUrls(urls);
    return drop(&mimeData);
}

DialogSeen WindowDriver::browse(const QString& path)
{
    DialogScript script({ path });
    QTest::mouseClick(find<QPushButton>("BtnBrowseFlash"), Qt::LeftButton);
    // A second dialog behind the first would show up here.
    QTest::qWait(50);
    DialogSeen seen;
    seen.dialogsShown = script.shown.size();
    seen.unexpected = script.unexpected;
    if (!script.shown.isEmpty()) {
        const DialogShown& first = script.shown.first();
        seen.caption = first.caption;
        seen.directory = first.directory;
        seen.nameFilters = first.nameFilters;
        seen.accepted = first.accepted;
    }
    return seen;
}
