#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTest>

// One finished run of tessel-cli, in this process or as a process of its own.
struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

// QCOMPARE of a run's exit status that, when the status differs, first shows what the run wrote on
// stderr: the reason it ended otherwise is there.
#define CLI_COMPARE_EXIT(run, expected)                                                                      \
    do {                                                                                                     \
        if ((run).exitCode != (expected))                                                                    \
            qWarning("stderr of the run: %s", (run).err.constData());                                        \
        if (!QTest::qCompare((run).exitCode, (expected), #run ".exitCode", #expected, __FILE__, __LINE__))   \
            return;                                                                                          \
    } while (false)
