// make_bench_files DIR: writes the benchmark inputs (NAME.hex) and the images
// they must build (NAME.bin) for scripts/compare-peers.sh.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "bench_inputs.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_bench_files DIR\n");
    return 2;
  }
  try {
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    for (const bench::BenchInput& input : bench::AllInputs()) {
      bench::WriteFileBytes(folder / (input.name + ".hex"), input.text);
      bench::WriteFileBytes(folder / (input.name + ".bin"),
                            std::string(input.image.begin(), input.image.end()));
      std::printf("%s: %u records, %zu image bytes\n", input.name.c_str(), input.records,
                  input.image.size());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_bench_files: %s\n", error.what());
    return 1;
  }
  return 0;
}
