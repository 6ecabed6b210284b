// The AVI reader and the RLE8 decoder behind the animation control: clips
// it must refuse, and the decoding rules of BI_RLE8.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "file_formats.h"
#include "pictures.h"
#include "resources/avi_clip.h"

namespace {

using Bytes = std::vector<uint8_t>;
using winsim::AviClip;
using winsim::ResourceFormatError;

// A small clip written by resgen's writer: frames of 6 x 4 pixels.
Bytes SmallClip(int frames = 3) {
  std::vector<resgen::IndexedImage> images;
  for (int i = 0; i < frames; ++i) {
    resgen::IndexedImage image(6, 4, 7);
    image.FillRect(i, 1, i + 2, 3, 12);
    images.push_back(std::move(image));
  }
  return resgen::WriteRle8Avi(images, resgen::StandardPalette(), 10);
}

size_t Find(const Bytes& bytes, const std::string& code, size_t from = 0) {
  const auto it = std::search(bytes.begin() + static_cast<ptrdiff_t>(from), bytes.end(),
                              code.begin(), code.end());
  EXPECT_NE(it, bytes.end()) << code;
  return static_cast<size_t>(it - bytes.begin());
}

void PutU32(Bytes& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutCode(Bytes& bytes, size_t offset, const std::string& code) {
  std::copy(code.begin(), code.end(), bytes.begin() + static_cast<ptrdiff_t>(offset));
}

TEST(AviClip, SmallClipReadsBack) {
  const AviClip clip = AviClip::Parse(SmallClip());
  EXPECT_EQ(clip.FrameCount(), 3u);
  EXPECT_EQ(clip.Width(), 6);
  EXPECT_EQ(clip.Height(), 4);
  std::vector<uint8_t> pixels(24);
  clip.DecodeFrame(2, pixels);
  // Rows top-down: the block covers x 2..3 of rows 1 and 2.
  EXPECT_EQ(pixels, Bytes({7, 7, 7,  7,  7, 7, 7, 7, 12, 12, 7, 7,  //
                           7, 7, 12, 12, 7, 7, 7, 7, 7,  7,  7, 7}));
  std::vector<uint8_t> wrong_size(23);
  EXPECT_THROW(clip.DecodeFrame(0, wrong_size), ResourceFormatError);
  EXPECT_THROW(clip.DecodeFrame(3, pixels), ResourceFormatError);
}

TEST(AviClip, EveryTruncationIsRefused) {
  const Bytes clip = SmallClip();
  for (size_t length = 0; length < clip.size(); ++length) {
    EXPECT_THROW(AviClip::Parse(Bytes(clip.begin(), clip.begin() + length)), ResourceFormatError)
        << length;
  }
}

TEST(AviClip, UnplayableOrDamagedClipsAreRefused) {
  const Bytes good = SmallClip();
  const size_t avih = Find(good, "avih") + 8;
  const size_t strh = Find(good, "strh") + 8;
  const size_t strf = Find(good, "strf") + 8;
  const size_t idx1 = Find(good, "idx1") + 8;
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* error;
  } cases[] = {
      {"not RIFF", [](Bytes& b) { PutCode(b, 0, "RIFX"); }, "not a RIFF file"},
      {"a WAVE file", [](Bytes& b) { PutCode(b, 8, "WAVE"); }, "not 'AVI '"},
      {"RIFF size past the data", [](Bytes& b) { PutU32(b, 4, static_cast<uint32_t>(b.size())); },
       "RIFF size"},
      {"no header list", [](Bytes& b) { PutCode(b, 20, "hdrX"); }, "no LIST 'hdrl'"},
      {"two streams", [&](Bytes& b) { PutU32(b, avih + 24, 2); }, "2 streams"},
      {"sound stream", [&](Bytes& b) { PutCode(b, strh, "auds"); }, "clips with sound"},
      {"frame count disagrees", [&](Bytes& b) { PutU32(b, avih + 16, 4); },
       "counts 4 frames, 'movi' holds 3"},
      {"zero size", [&](Bytes& b) { PutU32(b, avih + 32, 0); }, "bad frame size 0 x 4"},
      {"format size disagrees", [&](Bytes& b) { PutU32(b, strf + 4, 7); }, "disagree"},
      {"24-bit frames", [&](Bytes& b) { b[strf + 14] = 24; }, "not 8-bit"},
      {"RLE4 frames", [&](Bytes& b) { PutU32(b, strf + 16, 2); }, "compression 2"},
      {"zero rate", [&](Bytes& b) { PutU32(b, strh + 24, 0); }, "rate or scale is 0"},
      {"index entry outside the frames", [&](Bytes& b) { PutU32(b, idx1 + 8, 1000); },
       "index entry 0 points outside the frames"},
      {"index length wrong", [&](Bytes& b) { PutU32(b, idx1 + 16 + 12, 2); },
       "does not match frame 1"},
      {"first frame not a key frame", [&](Bytes& b) { PutU32(b, idx1 + 4, 0); }, "not a key frame"},
      {"chunk overruns its list", [&](Bytes& b) { PutU32(b, Find(b, "00dc") + 4, 5000); },
       "overruns its list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    c.damage(bytes);
    try {
      AviClip::Parse(bytes);
      ADD_FAILURE() << "accepted";
    } catch (const ResourceFormatError& error) {
      EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
    }
  }
}

TEST(AviClip, IndexOffsetsFromTheFileStartAreAccepted) {
  Bytes clip = SmallClip();
  const size_t movi = Find(clip, "movi");
  const size_t idx1 = Find(clip, "idx1") + 8;
  for (size_t entry = 0; entry < 3; ++entry) {
    const size_t at = idx1 + entry * 16 + 8;
    PutU32(clip, at,
           static_cast<uint32_t>(clip[at] | clip[at + 1] << 8) + static_cast<uint32_t>(movi));
  }
  EXPECT_EQ(AviClip::Parse(clip).FrameCount(), 3u);
}

// BI_RLE8 on a 4 x 3 picture; rows in the data run bottom-up.
TEST(Rle8, DecodingRules) {
  const struct {
    const char* name;
    Bytes data;
    Bytes expected;  // top-down; 9 marks pixels the frame leaves alone
    const char* error;
  } cases[] = {
      {"runs, end of line, end of bitmap",
       {4, 1, 0, 0, 2, 2, 2, 3, 0, 0, 4, 5, 0, 1},
       {5, 5, 5, 5, 2, 2, 3, 3, 1, 1, 1, 1},
       nullptr},
      {"absolute mode, padded to a word",
       {0, 3, 6, 7, 8, 0, 1, 4, 0, 1},
       {9, 9, 9, 9, 9, 9, 9, 9, 6, 7, 8, 4},
       nullptr},
      {"move right and up leaves pixels alone",
       {0, 2, 1, 1, 2, 6, 0, 1},
       {9, 9, 9, 9, 9, 6, 6, 9, 9, 9, 9, 9},
       nullptr},
      {"ends without end of bitmap", {1, 3}, {9, 9, 9, 9, 9, 9, 9, 9, 3, 9, 9, 9}, nullptr},
      {"run past the row end", {5, 1, 0, 1}, {}, "run leaves the picture"},
      {"literal past the row end", {0, 5, 1, 2, 3, 4, 5, 0, 0, 1}, {}, "run leaves the picture"},
      {"line past the top", {0, 0, 0, 0, 0, 0, 1, 1, 0, 1}, {}, "run leaves the picture"},
      {"move past the picture", {0, 2, 5, 0, 0, 1}, {}, "move leaves the picture"},
      {"literal cut short", {0, 4, 1, 2}, {}, "needs 4 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes pixels(12, 9);
    if (c.error == nullptr) {
      winsim::DecodeRle8(c.data, 4, 3, pixels);
      EXPECT_EQ(pixels, c.expected);
    } else {
      try {
        winsim::DecodeRle8(c.data, 4, 3, pixels);
        ADD_FAILURE() << "accepted";
      } catch (const ResourceFormatError& error) {
        EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
      }
    }
  }
}

// resgen's encoder against winsim's decoder on pictures that exercise long
// runs (over 255), absolute stretches of odd and even length, and single
// pixels.
TEST(Rle8, EncoderAndDecoderAgree) {
  for (const int width : {1, 2, 3, 74, 300}) {
    resgen::IndexedImage image(width, 5, 0);
    for (int y = 0; y < 5; ++y) {
      for (int x = 0; x < width; ++x) {
        const int pattern = y == 0 ? 1 : y == 1 ? x : y == 2 ? x / 3 : y == 3 ? (x * 7) % 5 : x % 2;
        image.Set(x, y, static_cast<uint8_t>(pattern));
      }
    }
    Bytes pixels(static_cast<size_t>(width) * 5, 0xEE);
    winsim::DecodeRle8(resgen::EncodeRle8(image), width, 5, pixels);
    EXPECT_EQ(pixels, image.pixels) << width;
  }
}

}  // namespace
