#include "pagemode.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

namespace PageMode {

namespace {

QString selectedWord(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    // The kernel marks the active choice with brackets: "always [madvise] never".
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("\\[(\\S+)\\]")).match(QString::fromLatin1(file.readAll()));
    return match.hasMatch() ? match.captured(1) : QStringLiteral("?");
}

qint64 procField(const QString& path, const QByteArray& name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

} // namespace

QString systemSetting()
{
    return QStringLiteral("THP enabled=%1 defrag=%2")
        .arg(selectedWord(QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled")),
            selectedWord(QStringLiteral("/sys/kernel/mm/transparent_hugepage/defrag")));
}

QString machine()
{
    QFile cpuInfo(QStringLiteral("/proc/cpuinfo"));
    QString model = QStringLiteral("unknown CPU");
    if (cpuInfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : cpuInfo.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                model = QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    const qint64 memory = procField(QStringLiteral("/proc/meminfo"), "MemTotal");
    return QStringLiteral("%1, %2 logical CPUs, %3 MiB memory")
        .arg(model)
        .arg(QThread::idealThreadCount())
        .arg(memory / (qint64(1) << 20));
}

qint64 hugePageBytes()
{
    QFile file(QStringLiteral("/proc/self/smaps_rollup"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("AnonHugePages:"))
            return line.mid(14).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

QString describe(qint64 before, qint64 during, qint64 size)
{
    if (before < 0 || during < 0)
        return QStringLiteral("huge pages unknown");
    const qint64 mebibyte = qint64(1) << 20;
    return QStringLiteral("huge pages %1/%2 MiB")
        .arg(qMax<qint64>(0, during - before) / mebibyte)
        .arg(size / mebibyte);
}

qint64 residentBytes()
{
    return procField(QStringLiteral("/proc/self/status"), "VmRSS");
}

qint64 peakResidentBytes()
{
    return procField(QStringLiteral("/proc/self/status"), "VmHWM");
}

bool resetPeakResident()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

} // namespace PageMode
