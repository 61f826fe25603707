// A console reporter that also keeps each benchmark's real time per iteration (the fastest repetition when
// a benchmark is repeated: the one least disturbed by other work on the machine), for the tables of ratios
// that benchmarks print after their run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find("/repeats:"));
      const auto [kept, first] = microseconds.try_emplace(name, run.GetAdjustedRealTime());
      if (!first) kept->second = std::min(kept->second, run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> microseconds;
};
