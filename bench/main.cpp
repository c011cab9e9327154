#include "benchmarks.h"
#include "pagemode.h"

#include "app/heaptuning.h"

#include <QApplication>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As the program itself starts, so the window figures are the program's.
    tuneHeapForLargeTables();
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    std::vector<RatioBar> bars;
    registerLoadBenchmarks(bars);
    registerScanBenchmarks(bars);
    registerCrcBenchmarks(bars);
    registerWriteBenchmarks(bars);
    registerDiffBenchmarks(bars);
    registerTableBenchmarks(bars);
    registerUnpackBenchmarks(bars);
    registerPairsBenchmarks(bars);
    registerHashBenchmarks(bars);
    registerPackBenchmarks(bars);
    registerShareBenchmarks(bars);

    RatioReporter reporter(bars, PageMode::systemSetting().toStdString(), PageMode::machine().toStdString());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
