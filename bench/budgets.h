// Budgets: limits on the CPU time of named benchmarks, checked after a run by
// the reporter below. A budget holds when the median CPU time over the
// repetitions of its benchmark is under the limit.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

struct Budget {
  const char* benchmark;  // full benchmark name, e.g. "BM_BuildFlashImage/largest-shuffled"
  double limitSeconds;    // CPU time per iteration
  const char* meaning;    // what the budget stands for, for the summary
};

// Prints the runs as the console reporter does (only the statistics when a
// benchmark is repeated) and keeps the CPU time per iteration of each plain
// run, by benchmark name.
class BudgetReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal (the library's --benchmark_color applies to
  // its own reporter only).
  BudgetReporter();
  void ReportRuns(const std::vector<Run>& reports) override;

  // Median and minimum of the kept CPU times; false when the benchmark did
  // not run (filtered out, not built, or failed).
  bool CpuSeconds(const std::string& name, double& median, double& minimum) const;

 private:
  std::map<std::string, std::vector<double>> cpuSeconds_;
};

// Prints each budget's outcome; returns false when a measured budget fails.
bool CheckBudgets(const BudgetReporter& reporter, const std::vector<Budget>& budgets);

// Adds the minimum to the statistics reported over repetitions.
benchmark::internal::Benchmark* WithMinimum(benchmark::internal::Benchmark* benchmark);

// Prints the share of the temporary file in the image builds that ran.
void PrintTemporaryFileShare(const BudgetReporter& reporter);

}  // namespace bench
