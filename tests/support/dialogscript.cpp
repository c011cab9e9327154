#include "dialogscript.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

QStringList DialogsSeen::summaries() const
{
    QStringList lines;
    for (const DialogShown& dialog : shown)
        lines << QStringLiteral("%1 in %2: %3")
                     .arg(dialog.caption, dialog.directory, dialog.nameFilters.join(", "));
    return lines;
}

DialogScript::DialogScript(const QStringList& answers)
    : pending(answers)
{
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
    timer.start();
    confirmation.setInterval(10);
    QObject::connect(&confirmation, &QTimer::timeout, [this] { confirmReplace(); });
}

void DialogScript::confirmReplace()
{
    auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!question || !qobject_cast<QFileDialog*>(question->parentWidget()) || shown.isEmpty())
        return;
    QAbstractButton* yes = question->button(QMessageBox::Yes);
    if (!yes) {
        unexpected = true;
        question->close();
        return;
    }
    shown.last().replaceConfirmed = true;
    yes->click();
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
    confirmation.start();
    static_cast<QDialog*>(dialog)->accept();
    confirmation.stop();
    shown.last().accepted = !dialog->isVisible();
    if (dialog->isVisible()) {
        unexpected = true;
        dialog->reject();
    }
}
