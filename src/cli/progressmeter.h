#pragma once

#include "model/progress.h"

#include <QByteArray>
#include <QString>

#include <functional>

class Console;

// One line on stderr that tells how far a long piece of work has come: what it is, the bytes done, the
// total and the rate. It appears only once the run has worked about a second, is redrawn at most every
// tenth of a second and is cleared before anything else is printed. Off when stderr is not a terminal,
// with --json and with --quiet; off, it costs nothing. Any command's long work can report to it.
class ProgressMeter {
public:
    // Milliseconds on a steady clock; tests give their own.
    using Clock = std::function<qint64()>;

    ProgressMeter(Console& console, bool enabled, Clock clock = {});

    // A callback for the core's loops that reports under `label` ("Reading fw.bin"); empty when the meter
    // is off, so that the loops skip it.
    ProgressCallback callback(const QString& label);
    void update(const QString& label, qint64 done, qint64 total);
    // Clears the line when one is shown.
    void finish();

private:
    QByteArray lineFor(const QString& label, qint64 done, qint64 total, qint64 now) const;

    Console& console;
    bool enabled;
    Clock clock;
    qint64 startedAt = -1;
    qint64 lastDrawnAt = -1;
    // Where the rate is counted from: the first report of the current label.
    QString currentLabel;
    qint64 labelStartedAt = 0;
    qint64 labelStartDone = 0;
    bool shown = false;
};
