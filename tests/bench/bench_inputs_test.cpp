// The benchmark inputs are what the figures claim: the largest files the
// sorter accepts, the largest image, and the images they must build.
#include <gtest/gtest.h>

#include <string>

#include "bench_inputs.h"
#include "flash_image.h"
#include "hex_text.h"
#include "scratch_machine.h"

namespace {

class BenchInputsTest : public testing_support::ScratchMachineTest {
 protected:
  std::string Build(const std::string& text, bool& built) {
    FlashImage image = BuildFlashImage(WriteFile("in.hex", text).c_str());
    built = image != nullptr;
    std::string bytes;
    for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
      bytes.append(reinterpret_cast<const char*>(block->Data), block->FillCount);
    }
    FreeFlashImage(image);
    return bytes;
  }
};

TEST_F(BenchInputsTest, EachInputBuildsItsImageAndIsAsLargeAsTheSorterTakes) {
  for (const bench::BenchInput& input : bench::AllInputs()) {
    SCOPED_TRACE(input.name);
    EXPECT_EQ(input.records, MaxHexRecords - 1);
    size_t lines = 0;
    for (size_t at = input.text.find("\r\n"); at != std::string::npos;
         at = input.text.find("\r\n", at + 2)) {
      ++lines;
    }
    EXPECT_EQ(lines, input.records);

    bool built = false;
    EXPECT_EQ(Build(input.text, built), std::string(input.image.begin(), input.image.end()));
    EXPECT_TRUE(built);

    // One more record, an empty data record that changes no image byte, is
    // one record too many.
    const std::string extra = testing_support::DataLine(0x0000, {});
    const size_t endOfFile = input.text.size() - testing_support::EndOfFileLine().size();
    Build(input.text.substr(0, endOfFile) + extra + testing_support::EndOfFileLine(), built);
    EXPECT_FALSE(built);
  }
}

TEST_F(BenchInputsTest, ShapesDifferAsNamed) {
  const bench::BenchInput shuffled = bench::LargestShuffled();
  const bench::BenchInput inOrder = bench::LargestInOrder();
  const bench::BenchInput sparse = bench::FullImageSparse();
  EXPECT_EQ(shuffled.image, inOrder.image);
  EXPECT_NE(shuffled.text, inOrder.text);
  EXPECT_EQ(shuffled.text.size(), inOrder.text.size());
  EXPECT_EQ(inOrder.image.size(), 1998u * 32);
  EXPECT_EQ(sparse.image.size(), MaxFlashImageLength);
  // In address order the records follow each other 32 bytes apart.
  EXPECT_EQ(inOrder.text.substr(0, 9), ":20000000");
  EXPECT_EQ(inOrder.text.substr(77, 9), ":20002000");
}

}  // namespace
