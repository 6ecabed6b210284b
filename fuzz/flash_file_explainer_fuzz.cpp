// Fuzz target: any bytes as a Flash ROM file, read both by BuildFlashImage
// and by quillsim image's explainer. They must agree on acceptance and, when
// both accept, on every byte of the image; a refusal must name a place
// inside the input (or just past its end).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flash_file_explainer.h"
#include "flash_image.h"
#include "input_file.h"

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "flash_file_explainer: %s\n", what);
    std::abort();
  }
}

std::vector<uint8_t> ImageBytes(FlashImage image) {
  std::vector<uint8_t> bytes;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    Require(block->StartAddress == bytes.size(), "blocks are not contiguous from 0");
    bytes.insert(bytes.end(), block->Data, block->Data + block->FillCount);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string inputPath = fuzz_input::WriteInputFile("fuzz-input.hex", data, size);

  FlashImage image = BuildFlashImage(inputPath.c_str());
  // quillsim image reads no more than this of a file.
  const std::string text(reinterpret_cast<const char*>(data),
                         std::min(size, quillsim::FlashFileBytesThatMatter));
  const quillsim::FlashFileReading reading = quillsim::ExplainFlashFile(text);
  if (image == nullptr) {
    Require(reading.refusal.has_value(), "the explainer accepts what BuildFlashImage refuses");
    Require(reading.refusal->line >= 1 && reading.refusal->column >= 1 &&
                !reading.refusal->reason.empty(),
            "a refusal without a place or a reason");
  } else {
    Require(!reading.refusal.has_value(), "the explainer refuses what BuildFlashImage accepts");
    Require(ImageBytes(image) == reading.image, "the two images differ");
  }
  FreeFlashImage(image);
  return 0;
}
