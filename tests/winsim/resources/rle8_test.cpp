// BI_RLE8 frames as the animation control decodes them: runs, literals and
// escapes land where the bitmap's bottom-up rows put them, and a run that
// leaves the picture fails after drawing what fits.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "resources/avi_clip.h"
#include "resources/byte_reader.h"

namespace {

using winsim::resources::DecodeRle8;
using winsim::resources::ResourceFormatError;

constexpr uint8_t kUntouched = 0xEE;

struct Rle8Case {
  const char* name;
  int32_t width, height;
  std::vector<uint8_t> data;
  std::vector<uint8_t> pixels;  // rows top-down, after the decode
  bool fails;
};

TEST(Rle8Test, DrawsWhatTheFrameCodes) {
  const uint8_t u = kUntouched;
  const Rle8Case cases[] = {
      {"a run, end of line, a run on the row above",
       2,
       2,
       {2, 5, 0, 0, 1, 7, 0, 1},
       {7, u, 5, 5},
       false},
      {"an odd literal and its padding", 4, 1, {0, 3, 1, 2, 3, 0, 1, 9}, {1, 2, 3, 9}, false},
      {"a move right", 3, 1, {0, 2, 1, 0, 1, 9}, {u, 9, u}, false},
      {"a frame without the end-of-bitmap escape", 2, 1, {2, 4}, {4, 4}, false},
      {"a run past the row's end draws what fits", 2, 1, {3, 4}, {4, 4}, true},
      {"a literal past the row's end draws what fits", 2, 1, {0, 3, 1, 2, 3, 0}, {1, 2}, true},
      {"a run after the last row draws nothing", 1, 1, {0, 0, 1, 5}, {u}, true},
      {"a run after a full row draws nothing", 2, 1, {2, 1, 1, 3}, {1, 1}, true},
      {"a move past the picture", 2, 1, {0, 2, 3, 0}, {u, u}, true},
  };
  for (const Rle8Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> pixels(static_cast<size_t>(c.width * c.height), kUntouched);
    bool failed = false;
    try {
      DecodeRle8(c.data, c.width, c.height, pixels);
    } catch (const ResourceFormatError&) {
      failed = true;
    }
    EXPECT_EQ(failed, c.fails);
    EXPECT_EQ(pixels, c.pixels);
  }
}

}  // namespace
