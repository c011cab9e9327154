#include "benchmarks.h"
#include "pagemode.h"

#ifdef TESSEL_BENCH_TABLE
#include "app/heaptuning.h"

#include <QApplication>
#else
#include <QCoreApplication>
#endif

int main(int argc, char** argv)
{
#ifdef TESSEL_BENCH_TABLE
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As the program itself starts, so the window figures are the program's.
    tuneHeapForLargeTables();
    QApplication application(argc, argv);
#else
    QCoreApplication application(argc, argv);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    std::vector<RatioBar> bars;
    registerLoadBenchmarks(bars);
    registerScanBenchmarks(bars);
    registerCrcBenchmarks(bars);
    registerWriteBenchmarks(bars);
    registerDiffBenchmarks(bars);
#ifdef TESSEL_BENCH_TABLE
    registerTableBenchmarks(bars);
#endif

    RatioReporter reporter(bars, PageMode::systemSetting().toStdString(), PageMode::machine().toStdString());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
