#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

// Programs run as a user runs them, for the figures that time a whole command.
namespace CommandRun {

// Runs `command` with its stdout discarded, as a shell would, and returns its exit status (-1 when it
// could not be run or did not exit).
int quietly(const std::vector<std::string>& command);

// The peak resident memory of one run of `command`, in bytes, or -1. A child spawned from this process
// would inherit its high-water mark at exec, so GNU time, a small process of its own, forks the command
// and reports what the kernel counted for it alone.
qint64 peakMemoryOf(const std::vector<std::string>& command);

} // namespace CommandRun
