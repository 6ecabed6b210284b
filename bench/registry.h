// The benchmark families. Each area registers its own benchmarks at start-up
// (names "BM_<Family>/<input>") and bench_main.cpp lists the budgets.
#pragma once

namespace bench {

// image_bench.cpp: BuildFlashImage and its parts on the largest files.
void RegisterImageBenchmarks();

// Still to come, once the worker, kernel32, the I/O manager, quillfw and the
// bus run together on one machine (each in its own file, added to
// quill_benchmarks in bench/CMakeLists.txt and called from bench_main.cpp):
//   download_bench.cpp  BM_Download/<mode>: the whole download of a 64 KiB
//                       image on the virtual clock, modes "asynchronous" and
//                       "inline" (the bus's two completion modes); counters
//                       for time per request and per byte;
//   walk_bench.cpp      BM_TopologyWalk/large-tree: the discovery walk over
//                       10 host controllers, hubs three deep, 10 devices.

}  // namespace bench
