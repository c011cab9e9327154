#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <algorithm>

// What one file dialog showed before it was answered.
struct DialogShown {
    QString caption;
    QString directory;
    QStringList nameFilters;
    QString proposedName;
    // The dialog took the path it was given and closed.
    bool accepted = false;
    // The path named an existing file, and the dialog's question whether to replace it was answered Yes.
    bool replaceConfirmed = false;
};

// What the file dialogs of one step showed, in turn, and whether one came that the answers did not expect.
struct DialogsSeen {
    QVector<DialogShown> shown;
    bool unexpected = false;
    // Every dialog that showed took its path, and nothing unexpected came.
    bool accepted() const
    {
        return !unexpected && !shown.isEmpty()
            && std::all_of(
                shown.begin(), shown.end(), [](const DialogShown& dialog) { return dialog.accepted; });
    }
    // Each dialog as "caption in directory: filters", to compare the dialogs of a step at once.
    QStringList summaries() const;
};

// Answers the file dialogs the window shows, in turn, from a timer: each answer is a path to type, or
// empty to cancel; a save dialog that asks whether to replace an existing file is told Yes. Anything else (a
// dialog beyond the answers, a path the dialog would not take, any other modal window, which would wait
// forever) is closed and noted as unexpected.
class DialogScript : public DialogsSeen {
public:
    explicit DialogScript(const QStringList& answers);

private:
    void answer();
    void confirmReplace();

    QStringList pending;
    QTimer timer;
    // The question comes while the dialog's accept() runs inside answer(): another timer answers it.
    QTimer confirmation;
};

// Runs `step` with its dialogs answered from `answers`, and tells what they showed.
template <typename Step> DialogsSeen answering(const QStringList& answers, Step step)
{
    DialogScript script(answers);
    step();
    return script;
}
