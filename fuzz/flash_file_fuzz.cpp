// Fuzz target: any bytes as a Flash ROM file through SortFlashFile and
// BuildFlashImage. An image, when one is built, must be exactly what the
// file's data records spell: blocks chained from address 0, every block but
// the last full, no more than 65,536 bytes, each data record's bytes at its
// address and zeros in the gaps. The temporary file must be gone afterwards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "flash_image.h"
#include "input_file.h"

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "flash_file: %s\n", what);
    std::abort();
  }
}

// The image the records of an accepted file describe, rebuilt independently:
// the records up to the end-of-file record, each ":LLAAAATT<data>CC" and a
// line end. Overlapping data must never have been accepted.
std::vector<uint8_t> ExpectedImage(const std::string& text) {
  const auto byteAt = [&text](size_t position) {
    Require(position + 1 < text.size(), "accepted file has a truncated record");
    return static_cast<unsigned>(std::stoul(text.substr(position, 2), nullptr, 16));
  };
  std::vector<uint8_t> image;
  std::vector<bool> written;
  size_t position = 0;
  for (;;) {
    Require(position < text.size() && text[position] == ':', "accepted file lacks a record mark");
    const unsigned length = byteAt(position + 1);
    const unsigned address = byteAt(position + 3) * 256 + byteAt(position + 5);
    const unsigned type = byteAt(position + 7);
    if (type == 0x01) {
      return image;
    }
    if (type == 0x00) {
      if (image.size() < address + length) {
        image.resize(address + length, 0);
        written.resize(address + length, false);
      }
      for (unsigned i = 0; i < length; ++i) {
        Require(!written[address + i], "overlapping data records were accepted");
        written[address + i] = true;
        image[address + i] = static_cast<uint8_t>(byteAt(position + 9 + 2 * i));
      }
    }
    position += 2 * length + 11 + 2;  // the record, its checksum and CR LF
  }
}

void CheckImage(FlashImage image, const std::string& text) {
  const std::vector<uint8_t> expected = ExpectedImage(text);
  Require(expected.size() <= MaxFlashImageLength, "image over 65,536 bytes");
  UINT32 address = 0;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    Require(block->StartAddress == address, "blocks are not contiguous from 0");
    Require(block->FillCount <= FlashBlockSize, "block fill count over 256");
    Require(block->Next == nullptr || block->FillCount == FlashBlockSize,
            "a block before the last is not full");
    for (UINT32 i = 0; i < block->FillCount; ++i) {
      Require(address + i < expected.size(), "image longer than its records");
      Require(block->Data[i] == expected[address + i], "image byte differs from its record");
    }
    address += block->FillCount;
  }
  Require(address == expected.size(), "image shorter than its records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string inputPath = fuzz_input::WriteInputFile("fuzz-input.hex", data, size);

  FlashImage image = BuildFlashImage(inputPath.c_str());
  if (image != nullptr) {
    CheckImage(image, std::string(reinterpret_cast<const char*>(data), size));
  }
  FreeFlashImage(image);
  Require(image == nullptr, "FreeFlashImage left the head set");

  char sortPath[MAX_PATH];
  Require(GetSortFilePath(sortPath), "no temporary file path");
  Require(!std::filesystem::exists(sortPath), "the temporary file was left behind");
  return 0;
}
