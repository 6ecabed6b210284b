// The benchmark families. Each area registers its own benchmarks at start-up
// (names "BM_<Family>/<input>") and bench_main.cpp lists the budgets.
#pragma once

namespace bench {

// image_bench.cpp: BuildFlashImage and its parts on the largest files.
void RegisterImageBenchmarks();

}  // namespace bench
