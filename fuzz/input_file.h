// For fuzz targets whose input reaches the program as a file in the machine
// folder. Include it in the target's one source file: it defines the
// target's LLVMFuzzerInitialize.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "machine/machine_disk.h"

namespace fuzz_input {

// Writes the input to name in the machine folder and returns its path;
// aborts when it cannot.
inline std::string WriteInputFile(const char* name, const uint8_t* data, size_t size) {
  const std::string path = (winsim::MachineFolder() / name).string();
  FILE* input = std::fopen(path.c_str(), "wb");
  if (input == nullptr || std::fwrite(data, 1, size, input) != size || std::fclose(input) != 0) {
    std::fprintf(stderr, "cannot write the input file %s\n", path.c_str());
    std::abort();
  }
  return path;
}

}  // namespace fuzz_input

// The machine folder takes the host's temporary folder. Each execution
// creates and removes files there, ten times faster in memory than on disk:
// /dev/shm is used unless TMPDIR says otherwise. A target that includes this
// header gets this as its initialisation (one per target executable).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm")) {
    setenv("TMPDIR", "/dev/shm", 0);
  }
  return 0;
}
