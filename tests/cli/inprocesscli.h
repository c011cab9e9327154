#pragma once

#include "clirun.h"
#include "clirunner.h"
#include "console.h"

#include <QStringList>

// A console that keeps what a command prints, so that the commands run inside the test.
class CapturingConsole final : public Console {
public:
    QByteArray out;
    QByteArray err;

protected:
    void write(Stream stream, const QByteArray& bytes) override
    {
        (stream == Stream::Out ? out : err) += bytes;
    }
};

// Runs tessel-cli's commands in this process, as the program would with `arguments` after its name.
inline CliRun runCliInProcess(const QStringList& arguments)
{
    CapturingConsole console;
    CliRun run;
    run.exitCode = runCli(QStringList { QStringLiteral("tessel-cli") } + arguments, console);
    run.out = console.out;
    run.err = console.err;
    return run;
}
