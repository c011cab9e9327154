#include "windowdriver.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
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
    DialogSeen seen;
    QTimer answerer;
    answerer.setInterval(10);
    QObject::connect(&answerer, &QTimer::timeout, [&seen, &path] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) {
            // Anything else (the dialog's own "File not found" box) would wait forever.
            seen.unexpected = true;
            modal->close();
            return;
        }
        ++seen.dialogsShown;
        seen.caption = dialog->windowTitle();
        seen.directory = dialog->directory().absolutePath();
        seen.nameFilters = dialog->nameFilters();
        if (!path.isEmpty()) {
            // Typed as a user would type it: selectFile() leaves the name field alone while it has focus.
            auto* nameField = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (nameField)
                nameField->setText(path);
            static_cast<QDialog*>(dialog)->accept();
        }
        if (dialog->isVisible()) {
            seen.accepted = false;
            dialog->reject();
        } else {
            seen.accepted = !path.isEmpty();
        }
    });
    answerer.start();
    QTest::mouseClick(find<QPushButton>("BtnBrowseFlash"), Qt::LeftButton);
    // A second dialog behind the first would show up here.
    QTest::qWait(50);
    return seen;
}
