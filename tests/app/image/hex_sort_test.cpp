// The sorter: digit arithmetic, record order (the radix sort over a full
// sort area included), the record limit and the records it must refuse
// rather than misread.
#include <gtest/gtest.h>

#include <string>

#include "flash_image.h"
#include "hex_text.h"
#include "record_text.h"
#include "scratch_machine.h"

using testing_support::DataLine;
using testing_support::EndOfFileLine;
using testing_support::HexRecordText;

namespace {

struct PairCase {
  char high;
  char low;
  BYTE expected;
};

TEST(HexPairToByte, FollowsTheDigitRule) {
  const PairCase cases[] = {
      {'0', '0', 0x00}, {'1', 'A', 0x1A}, {'F', 'F', 0xFF},
      {'9', 'C', 0x9C}, {'1', 'a', 0x71},  // lowercase letters enter with their own code
      {'G', '0', 0x70},                    // (71 * 16) mod 256
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexPairToByte(c.high, c.low), c.expected) << c.high << c.low;
  }
}

// The sorter and the builder read every pair of characters with one
// lookup: for every pair of character codes the entry is the byte the digit
// rule gives, marked exactly when either character is not 0-9 or A-F.
TEST(HexPairs, SpellEveryPairOfCharactersByTheDigitRule) {
  const auto value = [](unsigned code) -> int {
    if (code >= '0' && code <= '9') return static_cast<int>(code - '0');
    if (code >= 'A' && code <= 'F') return static_cast<int>(code - 'A' + 10);
    return -1;
  };
  for (unsigned high = 0; high < 256; ++high) {
    for (unsigned low = 0; low < 256; ++low) {
      const char text[2] = {static_cast<char>(high), static_cast<char>(low)};
      const unsigned entry = HexPairs.Entry[PairIndex(text)];
      const bool digits = value(high) >= 0 && value(low) >= 0;
      const unsigned rule =
          (value(high) >= 0 ? value(high) : high) * 16 + (value(low) >= 0 ? value(low) : low);
      ASSERT_EQ(entry & 0xFF, rule & 0xFF) << high << " " << low;
      ASSERT_EQ((entry & NotTwoDigits) == 0, digits) << high << " " << low;
      ASSERT_EQ(entry & ~(0xFFu | NotTwoDigits), 0u) << high << " " << low;
    }
  }
}

class SortFlashFileTest : public testing_support::ScratchMachineTest {
 protected:
  // Sorts the text and returns the temporary file's content; the sorted
  // stream and the temporary file are closed and removed.
  bool Sort(const std::string& text, std::string* sorted) {
    FILE* input = std::fopen(WriteFile("input.hex", text).c_str(), "rb");
    FILE* result = SortFlashFile(input);
    if (result == nullptr) {
      return false;
    }
    std::string content;
    for (int c = std::getc(result); c != EOF; c = std::getc(result)) {
      content += static_cast<char>(c);
    }
    std::fclose(result);
    std::remove(SortFilePath().c_str());
    *sorted = content;
    return true;
  }
};

TEST_F(SortFlashFileTest, PutsRecordsInOrder) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const std::string a = DataLine(0x0000, {1, 2});
  const std::string b = DataLine(0x0010, {3});
  const std::string c = DataLine(0x0020, {4});
  const std::string start = HexRecordText(0x03, 0, {0, 0, 0x12, 0x34}) + "\r\n";
  const std::string segment = HexRecordText(0x02, 0, {0, 0}) + "\r\n";
  const std::string linear = HexRecordText(0x04, 0x0018, {0, 0}) + "\r\n";
  const Case cases[] = {
      {"descending", c + b + a + EndOfFileLine(), a + b + c + EndOfFileLine()},
      {"only end of file", EndOfFileLine(), EndOfFileLine()},
      {"after end of file ignored", b + EndOfFileLine() + a + "garbage", b + EndOfFileLine()},
      {"address records after data", segment + start + c + a + EndOfFileLine(),
       a + c + start + segment + EndOfFileLine()},
      {"type 04 by its own address", c + linear + b + EndOfFileLine(),
       b + linear + c + EndOfFileLine()},
      {"end of file without line end", b + a + ":00000001FF", a + b + EndOfFileLine()},
  };
  for (const auto& test : cases) {
    std::string sorted;
    ASSERT_TRUE(Sort(test.input, &sorted)) << test.name;
    EXPECT_EQ(sorted, test.expected) << test.name;
  }
}

TEST_F(SortFlashFileTest, KeepsBothRecordsOfOneAddress) {
  const std::string first = DataLine(0x0040, {0xAA});
  const std::string second = DataLine(0x0040, {0xBB});
  std::string sorted;
  ASSERT_TRUE(Sort(second + first + EndOfFileLine(), &sorted));
  EXPECT_TRUE(sorted == first + second + EndOfFileLine() ||
              sorted == second + first + EndOfFileLine());
}

TEST_F(SortFlashFileTest, AcceptsAtMost1999Records) {
  std::string text;
  for (unsigned i = 0; i < 1998; ++i) {
    text += DataLine(static_cast<uint16_t>(i * 32), std::vector<uint8_t>(32, 0x5A));
  }
  std::string sorted;
  EXPECT_TRUE(Sort(text + EndOfFileLine(), &sorted));
  EXPECT_FALSE(Sort(text + DataLine(0xFFE0, {1}) + EndOfFileLine(), &sorted));
  EXPECT_TRUE(LeftoverFiles().empty());
}

// The sorter reads its input in blocks of 16 KiB; a large file puts record
// boundaries, faults and ends at every kind of place against those blocks.
TEST_F(SortFlashFileTest, LargeFilesSortWholeAndFailAtAnyFaultyCharacter) {
  const auto bytes = testing_support::PatternBytes(1998 * 32, 41);
  const std::string inOrder = testing_support::HexFileFor(bytes, 32, 0);
  const std::string shuffled = testing_support::HexFileFor(bytes, 32, 5);
  ASSERT_NE(shuffled, inOrder);
  std::string sorted;
  ASSERT_TRUE(Sort(shuffled, &sorted));
  EXPECT_EQ(sorted, inOrder);  // every record, in address order, byte for byte

  // One character changed anywhere (a digit, the mark, CR or LF) spoils a
  // record; the input cut anywhere before its last record ends is incomplete.
  std::vector<size_t> offsets = {0, 1, 76, 77, shuffled.size() - 3};
  for (size_t block = 16384; block < shuffled.size(); block += 16384) {
    for (size_t at = block - 2; at <= block + 2; ++at) offsets.push_back(at);
  }
  for (const size_t at : offsets) {
    std::string changed = shuffled;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    EXPECT_FALSE(Sort(changed, &sorted)) << "changed at " << at;
    EXPECT_FALSE(Sort(shuffled.substr(0, at), &sorted)) << "cut at " << at;
    EXPECT_FALSE(std::filesystem::exists(SortFilePath())) << at;
  }
  // Without the final line end the file is whole; with half of it, not.
  EXPECT_TRUE(Sort(shuffled.substr(0, shuffled.size() - 2), &sorted));
  EXPECT_EQ(sorted, inOrder);
  EXPECT_FALSE(Sort(shuffled.substr(0, shuffled.size() - 1), &sorted));
}

TEST_F(SortFlashFileTest, RefusesWhatItCannotReadCorrectly) {
  const std::string good = DataLine(0x0000, {1, 2, 3});
  const std::string longRecord = HexRecordText(0x00, 0, std::vector<uint8_t>(33, 7)) + "\r\n";
  std::string lowercase = good;
  lowercase[lowercase.size() - 4] = 'f';  // the checksum's F in lowercase
  std::string badChecksum = DataLine(0x0000, {1, 2, 3});
  badChecksum[badChecksum.size() - 3] = badChecksum[badChecksum.size() - 3] == '0' ? '1' : '0';
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"33 data bytes", longRecord + EndOfFileLine()},
      {"record mark", ";" + good.substr(1) + EndOfFileLine()},
      {"lowercase digit", lowercase + EndOfFileLine()},
      {"non-digit in data", ":03000000012G03F7\r\n" + EndOfFileLine()},
      {"LF line ends", good.substr(0, good.size() - 2) + "\n" + ":00000001FF\n"},
      {"CR only", good.substr(0, good.size() - 1) + EndOfFileLine()},
      {"bad checksum", badChecksum + EndOfFileLine()},
      {"no end of file record", good},
      {"ends inside a record", good + ":0000"},
      {"ends inside the end of file record", good + ":000000"},
      {"empty file", ""},
      {"end of file with one line end character", good + ":00000001FF\r"},
  };
  for (const auto& test : cases) {
    std::string sorted;
    EXPECT_FALSE(Sort(test.input, &sorted)) << test.name;
    EXPECT_FALSE(std::filesystem::exists(SortFilePath())) << test.name;
  }
}

// A character that is no digit, where a 0 stood, leaves a sum that counts
// it as 0 matching the checksum: it must still be refused, at every place
// of the record the digits are checked in.
TEST_F(SortFlashFileTest, RefusesANonDigitWhereAZeroWas) {
  const std::string good = DataLine(0x0000, {1, 2, 3});  // :03000000010203F7
  ASSERT_TRUE(good.rfind(":03000000010203F7", 0) == 0) << good;
  for (size_t at = 1; at < good.size() - 2; ++at) {
    if (good[at] != '0') continue;
    for (const char other : {'G', '/', ':', '@', 'a', ' ', '\x80', '\xB0'}) {
      std::string changed = good;
      changed[at] = other;
      std::string sorted;
      EXPECT_FALSE(Sort(changed + EndOfFileLine(), &sorted)) << at << " " << int(other);
    }
  }
}

TEST_F(SortFlashFileTest, FailsWhenTheTemporaryFileCannotBeCreated) {
  std::filesystem::create_directories(SortFilePath());  // a folder where the file should go
  std::string sorted;
  EXPECT_FALSE(Sort(DataLine(0, {1}) + EndOfFileLine(), &sorted));
  std::filesystem::remove(SortFilePath());
}

TEST_F(SortFlashFileTest, FailsWhenTheWindowsDirectoryLeavesNoRoom) {
  // MAX_PATH holds the directory, "\sorthex" and the NUL, or the sort fails.
  const std::string input = DataLine(0, {1}) + EndOfFileLine();
  std::string sorted;
  for (const size_t length : {size_t{250}, size_t{251}, size_t{252}}) {
    auto directory = scratch_;
    const size_t base = directory.string().size();
    ASSERT_LT(base + 2, length);
    const std::string leaf(length - base - 1, 'w');
    directory /= leaf;
    ASSERT_EQ(directory.string().size(), length);
    winsim::SetWindowsDirectory(directory);
    const bool fits = length + 8 + 1 <= MAX_PATH;
    EXPECT_EQ(Sort(input, &sorted), fits) << length;
  }
}

}  // namespace
