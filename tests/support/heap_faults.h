// Fault injection for the C heap that product code uses (malloc, calloc,
// free).
//
// Test executables that link this file are linked with --wrap=malloc and
// --wrap=calloc and --wrap=free, so every direct call from product objects comes here; calls
// made inside the host's shared libraries do not. Counting is off until a
// test arms it.
#pragma once

#include <cstddef>
#include <vector>

namespace testing_support {

class HeapFaults {
 public:
  // Starts counting; the allocation numbered failAt (from 1) returns null.
  // failAt 0 fails none.
  static void Arm(size_t failAt);
  static void Disarm();

  // Allocations made since Arm, and how many of them are not freed yet.
  static size_t Allocations();
  static long Outstanding();
  // The size asked for by each allocation since Arm, in order (a sweep tells
  // its allocation sites apart by them).
  static std::vector<size_t> Sizes();
};

}  // namespace testing_support
