#pragma once

#include "clirun.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// Runs the built tessel-cli with `arguments` and waits for it; exitCode stays -1 when it did not end
// normally.
inline CliRun runCliProcess(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TESSEL_CLI_PATH), arguments);
    CliRun run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}
