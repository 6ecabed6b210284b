#include "budgets.h"

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace bench {

BudgetReporter::BudgetReporter()
    : benchmark::ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void BudgetReporter::ReportRuns(const std::vector<Run>& reports) {
  std::vector<Run> shown;
  for (const Run& run : reports) {
    // With repetitions the statistics are enough on the console; the plain
    // runs still reach --benchmark_out.
    if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) {
      shown.push_back(run);
    }
    if (run.run_type == Run::RT_Aggregate || run.error_occurred || run.iterations == 0) {
      continue;
    }
    const double seconds =
        run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    cpuSeconds_[run.run_name.function_name].push_back(seconds);
  }
  if (!shown.empty()) {
    benchmark::ConsoleReporter::ReportRuns(shown);
  }
}

bool BudgetReporter::CpuSeconds(const std::string& name, double& median, double& minimum) const {
  const auto found = cpuSeconds_.find(name);
  if (found == cpuSeconds_.end() || found->second.empty()) {
    return false;
  }
  std::vector<double> sorted = found->second;
  std::sort(sorted.begin(), sorted.end());
  const size_t middle = sorted.size() / 2;
  median = sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
  minimum = sorted.front();
  return true;
}

benchmark::internal::Benchmark* WithMinimum(benchmark::internal::Benchmark* benchmark) {
  return benchmark->ComputeStatistics("min", [](const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
  });
}

bool CheckBudgets(const BudgetReporter& reporter, const std::vector<Budget>& budgets) {
  bool allHeld = true;
  std::printf("\nBudgets (median CPU time per iteration over the repetitions):\n");
  for (const Budget& budget : budgets) {
    double median = 0;
    double minimum = 0;
    if (!reporter.CpuSeconds(budget.benchmark, median, minimum)) {
      std::printf("  %-48s not measured in this run (%s)\n", budget.benchmark, budget.meaning);
      continue;
    }
    const bool held = median < budget.limitSeconds;
    allHeld = allHeld && held;
    std::printf("  %-48s %s: median %.3f ms, min %.3f ms, limit %.3f ms (%s)\n", budget.benchmark,
                held ? "holds" : "FAILS", median * 1e3, minimum * 1e3, budget.limitSeconds * 1e3,
                budget.meaning);
  }
  return allHeld;
}

void PrintTemporaryFileShare(const BudgetReporter& reporter) {
  const char* const inputs[] = {"largest-shuffled", "largest-in-order", "image-64k-sparse"};
  bool header = false;
  for (const char* input : inputs) {
    const std::string suffix = std::string("/") + input;
    double build = 0;
    double sort = 0;
    double write = 0;
    double readBack = 0;
    double ordering = 0;
    double unused = 0;
    if (!reporter.CpuSeconds("BM_BuildFlashImage" + suffix, build, unused) ||
        !reporter.CpuSeconds("BM_SortFlashFile" + suffix, sort, unused) ||
        !reporter.CpuSeconds("BM_SortFileWrite" + suffix, write, unused) ||
        !reporter.CpuSeconds("BM_SortFileReadBack" + suffix, readBack, unused) ||
        !reporter.CpuSeconds("BM_SortArea" + suffix, ordering, unused)) {
      continue;
    }
    if (!header) {
      std::printf("\nShares of BuildFlashImage (median CPU times):\n");
      header = true;
    }
    const auto percent = [build](double part) { return 100.0 * part / build; };
    std::printf(
        "  %-18s build %.3f ms; sorter %.0f%% (ordering %.0f%%); temporary file %.0f%% "
        "(write, reopen, remove %.0f%%, read back %.0f%%)\n",
        input, build * 1e3, percent(sort), percent(ordering), percent(write + readBack),
        percent(write), percent(readBack));
  }
}

}  // namespace bench
