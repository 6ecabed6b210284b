// winsim: the C runtime heap as the program sees it.
//
// On the host, the product's static libraries are rewritten after they are
// archived (quill_product_target) so that their calls to malloc, calloc and
// free come here as winsim_crt_malloc, winsim_crt_calloc and
// winsim_crt_free. winsim's own allocations, the tests' and those of the
// host's libraries never do, so the counts below are the program's alone.
//
// Counting is off until Arm. While it is on, each allocation gets an ordinal
// from 1; the ones planned to fail return null, as an exhausted heap would.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
void* winsim_crt_malloc(size_t size);
void* winsim_crt_calloc(size_t count, size_t size);
void winsim_crt_free(void* block);
}

namespace winsim {

namespace rule {
inline constexpr std::string_view kHeapLeak = "heap-leak";  // counted, never freed
}  // namespace rule

namespace crt {

// A counted block not yet freed.
struct HeapBlock {
  size_t ordinal = 0;
  size_t size = 0;
  std::string place;  // "malloc on thread 'main' at 0.250000 s"
};

class HeapFaults {
 public:
  // Starts counting afresh; allocation failAt (0: none) fails.
  static void Arm(size_t failAt);
  // While armed, allocation ordinal (counted since Arm) fails as well.
  static void FailAt(size_t ordinal);
  static void Disarm();
  static bool Armed();

  // Allocations since Arm, and the blocks of them not yet freed.
  static size_t Allocations();
  static long Outstanding();
  // The size asked for by each allocation since Arm, in order (a sweep tells
  // its allocation sites apart by them).
  static std::vector<size_t> Sizes();
  // The blocks not yet freed, in ordinal order.
  static std::vector<HeapBlock> Unfreed();
};

}  // namespace crt
}  // namespace winsim
