// A console reporter that also keeps each benchmark's real time per iteration (the fastest repetition when
// a benchmark is repeated: the one least disturbed by other work on the machine; the median of the
// repetitions under the name and "/median" when only aggregates are reported) with that repetition's
// counters, for the tables of ratios that benchmarks print after their run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      std::string name = run.run_name.str();
      name = name.substr(0, name.find("/repeats:"));
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        microseconds[name + "/median"] = run.GetAdjustedRealTime();  // kept under "/median" when only it is shown
      }
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const auto [kept, first] = microseconds.try_emplace(name, run.GetAdjustedRealTime());
      if (first || run.GetAdjustedRealTime() <= kept->second) {
        kept->second = run.GetAdjustedRealTime();
        for (const auto& [counter, value] : run.counters) counters[name][counter] = value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Prints the kept time of `measured` over that of `base` against its target; nothing when either is missing.
  // `unit` names the benchmarks' time unit.
  void printRatio(const char* label, const char* measured, const char* base, double target,
                  const char* unit = "us") const {
    const auto a = microseconds.find(measured);
    const auto b = microseconds.find(base);
    if (a == microseconds.end() || b == microseconds.end() || b->second <= 0) return;
    std::printf("%-44s %10.1f / %10.1f %s = %5.2f x (target %.1f x)\n", label, a->second, b->second, unit,
                a->second / b->second, target);
  }

  std::map<std::string, double> microseconds;
  // The counters of the kept repetition, by benchmark and counter name.
  std::map<std::string, std::map<std::string, double>> counters;
};
