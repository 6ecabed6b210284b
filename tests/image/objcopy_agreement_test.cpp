// Images of files that start at address 0 without overlaps must equal what
// objcopy makes of the same files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "flash_image.h"
#include "hex_text.h"
#include "scratch_machine.h"

namespace {

class ObjcopyAgreementTest : public testing_support::ScratchMachineTest {};

TEST_F(ObjcopyAgreementTest, SameBytesAsObjcopy) {
  if (std::system("objcopy --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "objcopy is not installed";
  }
  const struct {
    size_t bytes;
    size_t recordSize;
    uint32_t shuffle;
  } cases[] = {
      {1, 1, 0},       {255, 16, 7},   {256, 32, 0},    {4097, 32, 3},
      {10000, 20, 11}, {63936, 32, 5}, {63935, 32, 13},
  };
  for (const auto& c : cases) {
    const auto bytes = testing_support::PatternBytes(c.bytes, static_cast<uint32_t>(c.bytes));
    const std::string input =
        WriteFile("in.hex", testing_support::HexFileFor(bytes, c.recordSize, c.shuffle));
    const std::string reference = (scratch_ / "objcopy.bin").string();
    written_.push_back("objcopy.bin");
    const std::string command = "objcopy -I ihex -O binary '" + input + "' '" + reference + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    FlashImage image = BuildFlashImage(input.c_str());
    ASSERT_NE(image, nullptr) << c.bytes;
    std::string ours;
    for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
      ours.append(reinterpret_cast<const char*>(block->Data), block->FillCount);
    }
    FreeFlashImage(image);
    EXPECT_EQ(ours, ReadFile(reference)) << c.bytes << " bytes";
  }
}

}  // namespace
