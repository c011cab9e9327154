#pragma once

#include "clirun.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Where a run's standard output goes when it is not a pipe that is read.
enum class StandardOutput {
    // /dev/full: every write fails with ENOSPC.
    FullDevice,
    // A pipe whose reader has gone: every write fails with EPIPE (or raises SIGPIPE).
    ClosedPipe,
    // A pseudo-terminal: isatty(1) holds.
    Terminal,
    // A file opened for appending, as ">> FILE" opens it: `file` of runCliWithStandardOutput.
    AppendedFile,
};

// Runs the built tessel-cli with its standard output on `kind`, SIGPIPE at its default, stderr read into
// `err`; for a terminal, `out` holds what reached it. exitCode is 128 + the signal that ended it, as a shell
// shows it, and -1 when it did not end.
inline CliRun runCliWithStandardOutput(const QStringList& arguments, const QProcessEnvironment& environment,
    StandardOutput kind, const QString& file = QString())
{
    CliRun run;
    int output = -1;
    int terminal = -1;
    int ends[2] = { -1, -1 };
    switch (kind) {
    case StandardOutput::FullDevice:
        output = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        break;
    case StandardOutput::ClosedPipe:
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            ::close(ends[0]);
            output = ends[1];
        }
        break;
    case StandardOutput::AppendedFile:
        output = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        break;
    case StandardOutput::Terminal:
        if (::openpty(&terminal, &output, nullptr, nullptr, nullptr) == 0) {
            ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
            ::fcntl(output, F_SETFD, FD_CLOEXEC);
            ::fcntl(terminal, F_SETFL, O_NONBLOCK);
        }
        break;
    }
    int errors[2] = { -1, -1 };
    if (output < 0 || ::pipe2(errors, O_CLOEXEC) != 0)
        return run;

    // Made before the fork: a child of a threaded process must not allocate.
    QList<QByteArray> argumentBytes { QFile::encodeName(QStringLiteral(TESSEL_CLI_PATH)) };
    for (const QString& argument : arguments)
        argumentBytes << QFile::encodeName(argument);
    QList<QByteArray> environmentBytes;
    for (const QString& variable : environment.toStringList())
        environmentBytes << QFile::encodeName(variable);
    std::vector<char*> argv;
    for (QByteArray& argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (QByteArray& variable : environmentBytes)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output, STDOUT_FILENO);
        ::dup2(errors[1], STDERR_FILENO);
        // The program must cope with SIGPIPE as a shell would start it, not as this test process has it.
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(argv.front(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(errors[1]);
    if (child > 0) {
        // The terminal is read while the program runs: a terminal that nobody reads would stop it.
        QElapsedTimer clock;
        clock.start();
        char buffer[4096];
        pollfd streams[2] = { { errors[0], POLLIN, 0 }, { terminal, POLLIN, 0 } };
        bool errorOpen = true;
        while (errorOpen && clock.elapsed() < 60000) {
            if (::poll(streams, terminal >= 0 ? 2 : 1, 1000) <= 0)
                continue;
            if (streams[1].revents & POLLIN) {
                const ssize_t length = ::read(terminal, buffer, sizeof buffer);
                if (length > 0)
                    run.out.append(buffer, int(length));
            }
            if (streams[0].revents & (POLLIN | POLLHUP)) {
                const ssize_t length = ::read(errors[0], buffer, sizeof buffer);
                if (length > 0)
                    run.err.append(buffer, int(length));
                errorOpen = length > 0;
            }
        }
        if (errorOpen)
            ::kill(child, SIGKILL);
        int status = 0;
        // A process a signal ended reads as a shell shows it: 128 + the signal.
        if (::waitpid(child, &status, 0) == child && !errorOpen)
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status)
                : WIFSIGNALED(status)        ? 128 + WTERMSIG(status)
                                             : -1;
        // The terminal's other end is still open here, so what reached it last is still there to read.
        ssize_t length = 0;
        while (terminal >= 0 && (length = ::read(terminal, buffer, sizeof buffer)) > 0)
            run.out.append(buffer, int(length));
    }
    ::close(errors[0]);
    ::close(output);
    if (terminal >= 0)
        ::close(terminal);
    return run;
}
