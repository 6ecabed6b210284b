// The image builder: layout, block chain invariants, refusals, and the
// temporary file removed after every build.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download_format.h"
#include "flash_image.h"
#include "crt/crt_heap.h"
#include "hex_text.h"
#include "scratch_machine.h"

using testing_support::DataLine;
using testing_support::EndOfFileLine;
using testing_support::HexRecordText;

namespace {

struct Placement {
  uint16_t address;
  std::vector<uint8_t> bytes;
};

struct BuildCase {
  const char* name;
  bool builds;
  UINT32 length;
  std::vector<Placement> placed;  // everything else in the image is 0x00
  std::string input;
  bool endOfFile = true;  // the end-of-file record follows input
};

std::string Line(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  return HexRecordText(type, address, data) + "\r\n";
}

std::vector<BuildCase> BuildCases() {
  const std::vector<uint8_t> sixteen = testing_support::PatternBytes(16, 1);
  const std::vector<uint8_t> full = testing_support::PatternBytes(32, 2);
  std::string upTo0x200;
  for (uint16_t a = 0; a < 0x200; a += 32) {
    upTo0x200 += DataLine(a, full);
  }
  std::vector<Placement> upTo0x200Placed;
  for (uint16_t a = 0; a < 0x200; a += 32) {
    upTo0x200Placed.push_back({a, full});
  }
  // 65,536 bytes need gaps: 1,999 records of 32 bytes hold only 63,936.
  const std::string whole64k = DataLine(0, {1}) + DataLine(0xFFE0, full);
  const std::vector<Placement> whole64kPlaced = {{0, {1}}, {0xFFE0, full}};
  return {
      {"only end of file", true, 0, {}, ""},
      {"16 bytes at 0x0100", true, 0x0110, {{0x0100, sixteen}}, DataLine(0x0100, sixteen)},
      {"data ending at 0x0200", true, 0x0200, upTo0x200Placed, upTo0x200},
      {"abutting records", true, 4, {{0, {1, 2, 3, 4}}}, DataLine(0, {1, 2}) + DataLine(2, {3, 4})},
      {"out of order", true, 0x11, {{0, {7}}, {0x10, {9}}}, DataLine(0x10, {9}) + DataLine(0, {7})},
      {"empty record fills the gap", true, 0x20, {{0, {5}}}, DataLine(0, {5}) + DataLine(0x20, {})},
      {"zero-length record below the end is passed over",
       true,
       5,
       {{0, {1, 2, 3, 4, 5}}},
       DataLine(0, {1, 2, 3, 4}) + DataLine(2, {}) + DataLine(4, {5})},
      {"overlap refused", false, 0, {}, DataLine(0, {1, 2, 3, 4}) + DataLine(2, {9})},
      {"start addresses skipped",
       true,
       2,
       {{0, {1, 2}}},
       Line(0x05, 0, {0, 0, 0, 0}) + DataLine(0, {1}) + Line(0x03, 0, {0, 0, 0, 0}) +
           DataLine(1, {2})},
      {"linear 0 skipped", true, 2, {{0, {1, 2}}}, ":020000040000FA\r\n" + DataLine(0, {1, 2})},
      {"segment address 0 skipped", true, 1, {{0, {3}}}, DataLine(0, {3}) + ":020000020000FC\r\n"},
      {"linear address 1 refused", false, 0, {}, ":020000040001F9\r\n" + DataLine(0, {1})},
      {"segment 0x1000 refused", false, 0, {}, DataLine(0, {1}) + Line(0x02, 0, {0x10, 0})},
      {"unknown record type refused", false, 0, {}, DataLine(0, {1}) + Line(0x06, 0, {})},
      {"exactly 65,536 bytes", true, 65536, whole64kPlaced, whole64k},
      {"65,537 bytes refused", false, 0, {}, DataLine(0xFFFF, {1, 2})},
      {"sort failure", false, 0, {}, DataLine(0, {1}), false},
  };
}

class BuildFlashImageTest : public testing_support::ScratchMachineTest {};

void ExpectChainInvariants(FlashImage image, const char* name) {
  UINT32 expectedStart = 0;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    EXPECT_EQ(block->StartAddress, expectedStart) << name;
    if (block->Next != nullptr) {
      EXPECT_EQ(block->FillCount, FlashBlockSize) << name;
    } else {
      EXPECT_LT(block->FillCount, FlashBlockSize) << name;
    }
    expectedStart += FlashBlockSize;
  }
}

std::vector<uint8_t> Flatten(FlashImage image) {
  std::vector<uint8_t> bytes;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    bytes.insert(bytes.end(), block->Data, block->Data + block->FillCount);
  }
  return bytes;
}

TEST_F(BuildFlashImageTest, LaysOutEachCase) {
  for (const auto& test : BuildCases()) {
    const std::string text = test.input + (test.endOfFile ? EndOfFileLine() : "");
    FlashImage image = BuildFlashImage(WriteFile("case.hex", text).c_str());
    EXPECT_TRUE(LeftoverFiles().empty()) << test.name << ": temporary file left behind";
    ASSERT_EQ(image != nullptr, test.builds) << test.name;
    if (image == nullptr) {
      continue;
    }
    ExpectChainInvariants(image, test.name);
    EXPECT_EQ(FlashImageLength(image), test.length) << test.name;
    EXPECT_EQ(FlashImageBlockCount(image), test.length / FlashBlockSize + 1) << test.name;
    std::vector<uint8_t> expected(test.length, 0x00);
    for (const auto& placement : test.placed) {
      std::copy(placement.bytes.begin(), placement.bytes.end(),
                expected.begin() + placement.address);
    }
    EXPECT_EQ(Flatten(image), expected) << test.name;
    FreeFlashImage(image);
    EXPECT_EQ(image, nullptr);
  }
}

TEST_F(BuildFlashImageTest, MissingFileGivesNoImage) {
  EXPECT_EQ(BuildFlashImage((scratch_ / "absent.hex").c_str()), nullptr);
  EXPECT_TRUE(LeftoverFiles().empty());
}

TEST_F(BuildFlashImageTest, SecondBuildOverwritesNothingOfTheFirst) {
  FlashImage first =
      BuildFlashImage(WriteFile("a.hex", DataLine(0, {1, 2}) + EndOfFileLine()).c_str());
  FlashImage second =
      BuildFlashImage(WriteFile("b.hex", DataLine(0, {3}) + EndOfFileLine()).c_str());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Flatten(first), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(Flatten(second), (std::vector<uint8_t>{3}));
  FreeFlashImage(first);
  FreeFlashImage(second);
  FlashImage none = nullptr;
  FreeFlashImage(none);
  EXPECT_EQ(none, nullptr);
}

TEST_F(BuildFlashImageTest, EveryFailedBlockAllocationGivesNoImageAndLeaksNothing) {
  const auto bytes = testing_support::PatternBytes(1000, 6);
  const std::string input =
      WriteFile("sweep.hex", testing_support::HexFileFor(bytes, 32, 3)).c_str();
  using winsim::crt::HeapFaults;

  HeapFaults::Arm(0);
  FlashImage image = BuildFlashImage(input.c_str());
  const size_t allocations = HeapFaults::Allocations();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(allocations, FlashImageBlockCount(image));
  FreeFlashImage(image);
  EXPECT_EQ(HeapFaults::Outstanding(), 0);

  for (size_t failAt = 1; failAt <= allocations; ++failAt) {
    HeapFaults::Arm(failAt);
    image = BuildFlashImage(input.c_str());
    const long outstanding = HeapFaults::Outstanding();
    HeapFaults::Disarm();
    EXPECT_EQ(image, nullptr) << "allocation " << failAt;
    EXPECT_EQ(outstanding, 0) << "allocation " << failAt;
    EXPECT_TRUE(LeftoverFiles().empty()) << "allocation " << failAt;
  }
  HeapFaults::Disarm();
}

}  // namespace
