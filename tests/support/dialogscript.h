#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

// What one file dialog showed before it was answered.
struct DialogShown {
    QString caption;
    QString directory;
    QStringList nameFilters;
    QString proposedName;
    // The dialog took the path it was given and closed.
    bool accepted = false;
};

// Answers the file dialogs the window shows, in turn, from a timer: each answer is a path to type, or
// empty to cancel. Anything else (a dialog beyond the answers, a path the dialog would not take, any other
// modal window, which would wait forever) is closed and noted as unexpected.
class DialogScript {
public:
    explicit DialogScript(const QStringList& answers);

    QVector<DialogShown> shown;
    bool unexpected = false;

private:
    void answer();

    QStringList pending;
    QTimer timer;
};
