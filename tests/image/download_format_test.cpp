// Progress range, request count and header bytes for a firmware length.
#include <gtest/gtest.h>

#include "download_format.h"

namespace {

TEST(DownloadFormat, RangeAndHeaderFollowTheLength) {
  const struct {
    UINT32 length;
    UINT32 range;
    BYTE high;
    BYTE low;
  } cases[] = {
      {0, 0, 0x00, 0x00},     {255, 1, 0x00, 0xFF},     {256, 1, 0x01, 0x00},
      {300, 1, 0x01, 0x2C},   {512, 2, 0x02, 0x00},     {513, 3, 0x02, 0x01},
      {1000, 3, 0x03, 0xE8},  {32768, 128, 0x80, 0x00}, {65535, 255, 0xFF, 0xFF},
      {65536, 0, 0x00, 0x00},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DownloadProgressRange(c.length), c.range) << c.length;
    BYTE header[HeaderCommandSize];
    BuildHeaderCommand(c.length, header);
    EXPECT_EQ(header[0], 0xEE);
    EXPECT_EQ(header[1], 0x00);
    EXPECT_EQ(header[2], 0x00);
    EXPECT_EQ(header[3], c.high) << c.length;
    EXPECT_EQ(header[4], c.low) << c.length;
  }
  EXPECT_EQ(HeaderRequestSize, 13u);
  EXPECT_EQ(BlockRequestSize, 264u);
}

TEST(DownloadFormat, LengthComesFromTheLastBlock) {
  FlashBlock last{};
  last.StartAddress = 256;
  last.FillCount = 44;
  FlashBlock first{};
  first.FillCount = 256;
  first.Next = &last;
  EXPECT_EQ(FlashImageLength(&first), 300u);
  EXPECT_EQ(FlashImageBlockCount(&first), 2u);
  EXPECT_EQ(FlashImageLength(nullptr), 0u);
  EXPECT_EQ(FlashImageBlockCount(nullptr), 0u);
}

}  // namespace
