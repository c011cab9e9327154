#include "dialogscript.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>

DialogScript::DialogScript(const QStringList& answers)
    : pending(answers)
{
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
    timer.start();
}

void DialogScript::answer()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (!dialog) {
        unexpected = true;
        modal->close();
        return;
    }
    auto* nameField = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    shown.append({ dialog->windowTitle(), dialog->directory().absolutePath(), dialog->nameFilters(),
        nameField ? nameField->text() : QString() });
    if (pending.isEmpty()) {
        unexpected = true;
        dialog->reject();
        return;
    }
    const QString path = pending.takeFirst();
    if (path.isEmpty() || !nameField) {
        // A path with nowhere to type it is a dialog the script did not expect.
        unexpected = unexpected || !path.isEmpty();
        dialog->reject();
        return;
    }
    // Typed as a user would type it: selectFile() leaves the name field alone while it has focus.
    nameField->setText(path);
    static_cast<QDialog*>(dialog)->accept();
    shown.last().accepted = !dialog->isVisible();
    if (dialog->isVisible()) {
        unexpected = true;
        dialog->reject();
    }
}
