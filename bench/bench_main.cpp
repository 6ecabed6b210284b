// quill_benchmarks: every benchmark, then the budgets. Exits 1 when a budget
// that was measured fails. Takes Google Benchmark's flags; the documented
// run is --benchmark_repetitions=10 (docs/performance.md).
#include <benchmark/benchmark.h>

#include <iostream>
#include <vector>

#include "budgets.h"
#include "registry.h"

namespace {

const std::vector<bench::Budget> Budgets = {
    {"BM_BuildFlashImage/largest-shuffled", 1e-3,
     "BuildFlashImage on the largest shuffled file under 1 ms"},
    {"BM_Download/asynchronous", 20e-3, "the simulated 64 KiB download under 20 ms of CPU"},
    {"BM_Download/inline", 20e-3, "the simulated 64 KiB download under 20 ms of CPU"},
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 2;
  }
  bench::RegisterImageBenchmarks();
  bench::RegisterDownloadBenchmarks();
  bench::RegisterWalkBenchmarks();

  bench::BudgetReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::cout.flush();  // the reporter writes to std::cout, the summaries to stdout

  bench::PrintTemporaryFileShare(reporter);
  return bench::CheckBudgets(reporter, Budgets) ? 0 : 1;
}
