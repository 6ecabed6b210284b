// The benchmark families. Each area registers its own benchmarks at start-up
// (names "BM_<Family>/<input>") and bench_main.cpp lists the budgets.
#pragma once

namespace bench {

// image_bench.cpp: BuildFlashImage and its parts on the largest files.
void RegisterImageBenchmarks();

// download_bench.cpp: BM_Download/<mode>, the whole download of a 64 KiB
// image through the simulated stack on the virtual clock, modes
// "asynchronous" and "inline" (the bus's two completion modes).
void RegisterDownloadBenchmarks();

// walk_bench.cpp: BM_TopologyWalk/large-tree, the discovery walk over 10 host
// controllers, hubs three deep, 10 devices.
void RegisterWalkBenchmarks();

}  // namespace bench
