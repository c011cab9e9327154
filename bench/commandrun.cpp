#include "commandrun.h"

#include "benchimages.h"

#include <QFile>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace CommandRun {

int quietly(const std::vector<std::string>& command)
{
    std::vector<char*> arguments;
    for (const std::string& argument : command)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

qint64 peakMemoryOf(const std::vector<std::string>& command)
{
    const QString report = BenchImages::directory() + QStringLiteral("/peak-memory.txt");
    std::vector<std::string> timed { "/usr/bin/time", "-f", "%M", "-o",
        QFile::encodeName(report).toStdString() };
    timed.insert(timed.end(), command.begin(), command.end());
    if (quietly(timed) != 0)
        return -1;
    QFile file(report);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool number = false;
    const qint64 kibibytes = file.readAll().trimmed().toLongLong(&number);
    return number ? kibibytes * 1024 : -1;
}

} // namespace CommandRun
