#include "ratioreporter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <unistd.h>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string formatSeconds(double seconds)
{
    char text[32];
    if (seconds >= 1.0)
        std::snprintf(text, sizeof text, "%.3f s", seconds);
    else if (seconds >= 1e-3)
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
    return text;
}

} // namespace

RatioReporter::RatioReporter(std::vector<RatioBar> bars, std::string systemPageMode, std::string machine)
    : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular)
    , bars(std::move(bars))
    , pageMode(std::move(systemPageMode))
    , machineText(std::move(machine))
{
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs)
{
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration)
            continue;
        Measured& entry = measured[run.run_name.function_name];
        if (run.error_occurred) {
            entry.error = run.error_message;
            continue;
        }
        if (run.iterations > 0)
            entry.seconds.push_back(run.real_accumulated_time / double(run.iterations));
        if (!run.report_label.empty())
            entry.label = run.report_label;
    }
    ConsoleReporter::ReportRuns(runs);
}

void RatioReporter::Finalize()
{
    ConsoleReporter::Finalize();
    std::FILE* out = stdout;
    std::fprintf(out,
        "\nRatios (medians of the repetitions; spread = lowest..highest ratio of the paired repetitions)\n");
    std::fprintf(out, "Machine: %s\n", machineText.c_str());
    std::fprintf(out, "Page mode of the system: %s\n\n", pageMode.c_str());
    for (const RatioBar& bar : bars) {
        const auto subject = measured.find(bar.subject);
        const auto baseline = measured.find(bar.baseline);
        if (subject == measured.end() || baseline == measured.end()) {
            std::fprintf(out, "%-46s not run (filtered out or not built)\n", bar.figure.c_str());
            continue;
        }
        const Measured& mine = subject->second;
        const Measured& theirs = baseline->second;
        if (!mine.error.empty() || !theirs.error.empty() || mine.seconds.empty() || theirs.seconds.empty()) {
            std::fprintf(
                out, "%-46s FAILED: %s\n", bar.figure.c_str(), (mine.error + " " + theirs.error).c_str());
            continue;
        }
        const bool timeRatio = bar.kind == RatioBar::Kind::TimeAtMost;
        auto ratioOf = [timeRatio](double subjectSeconds, double baselineSeconds) {
            return timeRatio ? subjectSeconds / baselineSeconds : baselineSeconds / subjectSeconds;
        };
        const double ratio = ratioOf(median(mine.seconds), median(theirs.seconds));
        double lowest = ratio;
        double highest = ratio;
        for (size_t index = 0; index < std::min(mine.seconds.size(), theirs.seconds.size()); ++index) {
            const double paired = ratioOf(mine.seconds[index], theirs.seconds[index]);
            lowest = std::min(lowest, paired);
            highest = std::max(highest, paired);
        }
        const bool informational = bar.bar <= 0;
        const bool met = timeRatio ? ratio <= bar.bar : ratio >= bar.bar;
        char goal[48] = "";
        if (bar.goal > 0)
            std::snprintf(goal, sizeof goal, ", goal %s %.2fx: %s", timeRatio ? "<=" : ">=", bar.goal,
                (timeRatio ? ratio <= bar.goal : ratio >= bar.goal) ? "met" : "not met");
        std::fprintf(out, "%-46s %s %.2fx: %s %s vs %s %s\n", bar.figure.c_str(),
            timeRatio ? "time ratio" : "speed-up", ratio, bar.subject.c_str(),
            formatSeconds(median(mine.seconds)).c_str(), bar.baseline.c_str(),
            formatSeconds(median(theirs.seconds)).c_str());
        // The fastest run of each side: what the machine can do when nothing else got in the way.
        const double fastestSubject = *std::min_element(mine.seconds.begin(), mine.seconds.end());
        const double fastestBaseline = *std::min_element(theirs.seconds.begin(), theirs.seconds.end());
        std::fprintf(out, "%-46s   minimum %.2fx: %s vs %s\n", "", ratioOf(fastestSubject, fastestBaseline),
            formatSeconds(fastestSubject).c_str(), formatSeconds(fastestBaseline).c_str());
        std::fprintf(out, "%-46s   spread %.2f..%.2fx over %zu runs; ", "", lowest, highest,
            std::min(mine.seconds.size(), theirs.seconds.size()));
        if (informational)
            std::fprintf(out, "no bar, for comparison\n");
        else
            std::fprintf(
                out, "bar %s %.2fx: %s%s\n", timeRatio ? "<=" : ">=", bar.bar, met ? "MET" : "MISSED", goal);
        if (bar.subjectLimitSeconds > 0)
            std::fprintf(out, "%-46s   subject time %s, bound <= %s: %s\n", "",
                formatSeconds(median(mine.seconds)).c_str(), formatSeconds(bar.subjectLimitSeconds).c_str(),
                median(mine.seconds) <= bar.subjectLimitSeconds ? "MET" : "MISSED");
        if (bar.baselinePlusSeconds > 0) {
            const double medianBound = median(theirs.seconds) + bar.baselinePlusSeconds;
            const double fastestBound = fastestBaseline + bar.baselinePlusSeconds;
            std::fprintf(out, "%-46s   subject <= baseline + %s: median %s vs %s: %s; minimum %s vs %s: %s\n",
                "", formatSeconds(bar.baselinePlusSeconds).c_str(),
                formatSeconds(median(mine.seconds)).c_str(), formatSeconds(medianBound).c_str(),
                median(mine.seconds) <= medianBound ? "MET" : "MISSED", formatSeconds(fastestSubject).c_str(),
                formatSeconds(fastestBound).c_str(), fastestSubject <= fastestBound ? "MET" : "MISSED");
        }
        std::fprintf(out, "%-46s   pages: %s; subject %s; baseline %s\n", "", pageMode.c_str(),
            mine.label.empty() ? "-" : mine.label.c_str(), theirs.label.empty() ? "-" : theirs.label.c_str());
    }
    std::fflush(out);
}
