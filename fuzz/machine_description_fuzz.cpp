// Fuzz target: any bytes as a machine description (JSON). The parser either
// returns a description or throws DescriptionError; any other exception, a
// crash or a sanitizer report is a finding.
#include <cstdint>
#include <string_view>

#include "machine/machine_description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    winsim::ParseMachineDescription(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const winsim::DescriptionError&) {
    // A clean refusal.
  }
  return 0;
}
