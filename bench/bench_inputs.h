// The Flash ROM files the benchmarks and the peer comparison measure, built
// from tests/support's Intel HEX helpers so every run sees the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

struct BenchInput {
  std::string name;            // file stem, also the benchmark argument
  std::string text;            // the Flash ROM file, CR LF line ends
  std::vector<uint8_t> image;  // the image it must build, from address 0
  unsigned records;            // records in the file, end-of-file included
};

// The largest file the sorter accepts: 1,998 data records of 32 bytes
// (63,936 image bytes) and the end-of-file record, records shuffled.
BenchInput LargestShuffled();
// The same records in address order.
BenchInput LargestInOrder();
// The largest image: 1,998 shuffled records of 32 bytes spread over the
// whole 64 KiB with 1,600 bytes of gaps between them; the image is exactly
// 65,536 bytes long.
BenchInput FullImageSparse();

std::vector<BenchInput> AllInputs();

// Writes text to path (binary); throws std::runtime_error on failure.
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

}  // namespace bench
