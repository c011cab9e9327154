// Block hashes of a 1 GiB image: tessel-cli list --hashes --json as a user runs it, against sha256sum of
// the same file in the same run; and list --json without --hashes, which must not hash at all.
#include "benchimages.h"
#include "benchmarks.h"
#include "commandrun.h"

#include <QFile>

#include <string>
#include <vector>

namespace {

const std::string& imagePath()
{
    static const std::string path
        = QFile::encodeName(BenchImages::ensureImage(BenchImages::Kind::Realistic, BenchImages::gibibyte))
              .toStdString();
    return path;
}

void timeCommand(benchmark::State& state, const std::vector<std::string>& command)
{
    BenchImages::warmPageCache(QFile::decodeName(imagePath().c_str()));
    for (auto _ : state) {
        const int exitStatus = CommandRun::quietly(command);
        if (exitStatus != 0) {
            state.SkipWithError(("exit status " + std::to_string(exitStatus)).c_str());
            break;
        }
    }
}

// At least five repetitions, interleaved with the baseline's by run.sh: one slow first touch of memory
// must not decide the figure.
void registerTimed(const char* name, std::vector<std::string> command)
{
    benchmark::RegisterBenchmark(name,
        [command = std::move(command)](benchmark::State& state) {
            std::vector<std::string> filled = command;
            filled.push_back(imagePath());
            timeCommand(state, filled);
        })
        ->Iterations(1)
        ->Repetitions(7)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

void registerHashBenchmarks(std::vector<RatioBar>& bars)
{
    registerTimed("hashes/1GiB/list --hashes --json", { TESSEL_CLI_PATH, "list", "--hashes", "--json" });
    registerTimed("hashes/1GiB/list --json", { TESSEL_CLI_PATH, "list", "--json" });
    registerTimed("hashes/1GiB/sha256sum", { "sha256sum" });
    bars.push_back({ "22 list --hashes --json 1GiB vs sha256sum", "hashes/1GiB/list --hashes --json",
        "hashes/1GiB/sha256sum", RatioBar::Kind::TimeAtMost, 0.3 });
    bars.push_back({ "22 list --json 1GiB (no hashing) vs sha256sum", "hashes/1GiB/list --json",
        "hashes/1GiB/sha256sum", RatioBar::Kind::TimeAtMost, 0 });
}
