// Benchmarks named "<path>/<frame>" (for example "lua/one-line change"): after the run, one table row per
// benchmark with its wall-clock and CPU time per frame and the wall time as a share of that path's
// "full repaint" (paths without one but named in `comparedWithFirst` use the first path's). With
// --benchmark_repetitions the best repetition is shown: on a machine shared with other work it is the
// figure least disturbed by it.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class FrameTableReporter : public benchmark::ConsoleReporter {
 public:
  explicit FrameTableReporter(std::set<std::string> comparedWithFirst)
      : comparedWithFirst_(std::move(comparedWithFirst)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const bool best = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
      if (run.run_type != Run::RT_Iteration && !best) continue;
      const std::string name = run.run_name.str();
      if (times_.count(name) == 0) order_.push_back(name);
      if (best || !bests_.count(name)) times_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
      if (best) bests_.insert(name);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printTable() const {
    if (order_.empty()) return;
    std::printf("\n%-28s %12s %12s %9s\n", "frame", "wall us", "cpu us", "share");
    for (const std::string& name : order_) {
      const auto& [wall, cpu] = times_.at(name);
      const double full = fullRepaintOf(name.substr(0, name.find('/')));
      std::printf("%-28s %12.2f %12.2f", name.c_str(), wall, cpu);
      if (full > 0) std::printf(" %8.2f%%", 100.0 * wall / full);
      std::printf("\n");
    }
  }

 private:
  double fullRepaintOf(const std::string& path) const {
    const std::string first = order_.front().substr(0, order_.front().find('/'));
    const std::string reference = comparedWithFirst_.count(path) ? first : path;
    const auto found = times_.find(reference + "/full repaint");
    return found != times_.end() ? found->second.first : 0;
  }

  std::vector<std::string> order_;
  std::map<std::string, std::pair<double, double>> times_;  // wall, cpu
  std::set<std::string> bests_;                             // names whose times are the best of repetitions
  std::set<std::string> comparedWithFirst_;
};

// Registers a benchmark timed in microseconds that also reports its best repetition.
template <typename... Args>
benchmark::internal::Benchmark* registerFrame(const std::string& name, Args&&... args) {
  return benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
      ->Unit(benchmark::kMicrosecond)
      ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

// Runs the registered benchmarks, then prints the table.
inline int runWithFrameTable(int argc, char** argv, std::set<std::string> comparedWithFirst) {
  benchmark::Initialize(&argc, argv);
  FrameTableReporter reporter(std::move(comparedWithFirst));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printTable();
  benchmark::Shutdown();
  return 0;
}
