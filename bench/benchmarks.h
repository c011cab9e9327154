#pragma once

#include "ratioreporter.h"

#include <vector>

// Each figure registers its subject and baseline benchmarks and the bar that pairs them.
void registerLoadBenchmarks(std::vector<RatioBar>& bars);
void registerScanBenchmarks(std::vector<RatioBar>& bars);
void registerCrcBenchmarks(std::vector<RatioBar>& bars);
void registerWriteBenchmarks(std::vector<RatioBar>& bars);
void registerTableBenchmarks(std::vector<RatioBar>& bars);
void registerDiffBenchmarks(std::vector<RatioBar>& bars);
void registerUnpackBenchmarks(std::vector<RatioBar>& bars);
void registerPairsBenchmarks(std::vector<RatioBar>& bars);
void registerHashBenchmarks(std::vector<RatioBar>& bars);
void registerPackBenchmarks(std::vector<RatioBar>& bars);
void registerShareBenchmarks(std::vector<RatioBar>& bars);
