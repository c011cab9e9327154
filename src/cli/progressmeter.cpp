#include "progressmeter.h"

#include "console.h"

#include <QElapsedTimer>

namespace {

// Work shorter than this is over before a line would help.
constexpr qint64 showAfterMilliseconds = 1000;
constexpr qint64 redrawMilliseconds = 100;

qint64 steadyMilliseconds()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer.elapsed();
}

// "512.0 MiB", in the unit that keeps the number short.
QString byteText(double bytes)
{
    static const char* const units[] = { "B", "KiB", "MiB", "GiB", "TiB" };
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B").arg(qint64(bytes))
                     : QStringLiteral("%1 %2").arg(bytes, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

} // namespace

ProgressMeter::ProgressMeter(Console& console, bool enabled, Clock clock)
    : console(console)
    , enabled(enabled)
    , clock(clock ? std::move(clock) : Clock(steadyMilliseconds))
{
    if (enabled)
        startedAt = this->clock();
}

ProgressCallback ProgressMeter::callback(const QString& label)
{
    if (!enabled)
        return {};
    return [this, label](qint64 done, qint64 total) { update(label, done, total); };
}

void ProgressMeter::update(const QString& label, qint64 done, qint64 total)
{
    if (!enabled)
        return;
    const qint64 now = clock();
    if (label != currentLabel) {
        currentLabel = label;
        labelStartedAt = now;
        labelStartDone = done;
    }
    if (now - startedAt < showAfterMilliseconds || (shown && now - lastDrawnAt < redrawMilliseconds))
        return;
    console.printProgress(lineFor(label, done, total, now));
    shown = true;
    lastDrawnAt = now;
}

void ProgressMeter::finish()
{
    if (shown)
        console.printProgress(QByteArray("\r\x1b[K"));
    shown = false;
}

QByteArray ProgressMeter::lineFor(const QString& label, qint64 done, qint64 total, qint64 now) const
{
    QString line = QStringLiteral("%1: %2 of %3").arg(label, byteText(double(done)), byteText(double(total)));
    const qint64 elapsed = now - labelStartedAt;
    if (elapsed > 0)
        line
            += QStringLiteral(", %1/s").arg(byteText(double(done - labelStartDone) * 1000 / double(elapsed)));
    // Back to the line's start, then the text, then the rest of an earlier, longer line erased.
    return "\r" + line.toUtf8() + "\x1b[K";
}
