#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// One figure: a subject and the baseline it is measured against in the same run, with its bar.
struct RatioBar {
    enum class Kind {
        // subject time / baseline time must stay at or below `bar`
        TimeAtMost,
        // baseline time / subject time (the subject's speed-up) must reach `bar`
        SpeedupAtLeast,
    };
    std::string figure;
    std::string subject;
    std::string baseline;
    Kind kind = Kind::TimeAtMost;
    // 0: the ratio is shown for comparison only.
    double bar = 1.0;
    // An optional second, harder target, printed beside the bar.
    double goal = 0.0;
    // An optional bound on the subject's own time, checked beside the ratio.
    double subjectLimitSeconds = 0.0;
    // An optional bound on the subject's time: at most the baseline's plus this many seconds, checked
    // beside the ratio for the medians and for the fastest runs.
    double baselinePlusSeconds = 0.0;
};

// The console output of Google Benchmark, followed by one line per figure: both times (medians over
// the repetitions), the ratio, the ratio of the fastest runs, its spread over the repetitions, the bar,
// and the page mode labels.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::vector<RatioBar> bars, std::string systemPageMode, std::string machine);

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    struct Measured {
        std::vector<double> seconds;
        std::string label;
        std::string error;
    };

    std::vector<RatioBar> bars;
    std::string pageMode;
    std::string machineText;
    std::map<std::string, Measured> measured;
};
