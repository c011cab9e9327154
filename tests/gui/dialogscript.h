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
};

// Answers the file dialogs of one action in turn from a timer: each answer is a path to type, or empty
// to cancel. Anything that is not a file dialog is closed and noted.
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
