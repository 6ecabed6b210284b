// `quillsim image`'s reading of a Flash ROM file, independent of the
// product's sorter and image builder: it accepts and refuses exactly what
// BuildFlashImage does and says where and why a file is refused
// (fuzz/flash_file_explainer_fuzz.cpp holds the two to that).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillsim {

struct FlashFileRefusal {
  unsigned line;    // from 1; lines end at LF
  unsigned column;  // from 1, in bytes
  std::string reason;
};

struct FlashFileReading {
  std::vector<uint8_t> image;  // from address 0, when accepted
  std::optional<FlashFileRefusal> refusal;
};

// No file reads past this many bytes: 2,000 records of at most 75
// characters and a line end each decide every outcome.
constexpr size_t FlashFileBytesThatMatter = 2000 * 77;

FlashFileReading ExplainFlashFile(std::string_view text);

}  // namespace quillsim
