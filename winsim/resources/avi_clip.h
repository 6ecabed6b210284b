// winsim internals: the AVI clips that the animation control plays. Like
// comctl32's control, winsim reads clips with one video stream, no sound,
// 8-bit frames either uncompressed (BI_RGB) or run-length encoded (BI_RLE8).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "resources/byte_reader.h"

namespace winsim::resources {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;

struct AviFrame {
  size_t offset = 0;  // of the frame's data in the clip
  size_t size = 0;
  bool key_frame = true;
};

class AviClip {
 public:
  // Reads the RIFF 'AVI ' form: LIST 'hdrl' with 'avih' and one LIST 'strl'
  // ('strh' of a 'vids' stream, 'strf' with its BITMAPINFOHEADER and
  // palette), LIST 'movi' with the frames ('00dc' or '00db' chunks; LIST
  // 'rec ' groups are not read), and the optional 'idx1' index, whose offsets count
  // from the 'movi' code or from the start of the file. Throws
  // ResourceFormatError for anything malformed or not playable.
  static AviClip Parse(std::span<const uint8_t> bytes);

  uint32_t FrameCount() const { return static_cast<uint32_t>(frames_.size()); }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  uint32_t MicrosecondsPerFrame() const { return microseconds_per_frame_; }
  uint32_t Rate() const { return rate_; }                  // strh: frames per second =
  uint32_t Scale() const { return scale_; }                //       rate / scale
  const std::string& Handler() const { return handler_; }  // strh fccHandler, e.g. "mrle"
  uint32_t Compression() const { return compression_; }    // kBiRgb or kBiRle8
  uint16_t BitCount() const { return bit_count_; }
  const std::vector<uint32_t>& Palette() const { return palette_; }  // 0x00RRGGBB
  const std::vector<AviFrame>& Frames() const { return frames_; }

  // Draws frame index over pixels (Width() * Height() palette indices, rows
  // top-down). A run-length encoded frame changes only the pixels it
  // codes, so decoding the frames in order builds the picture.
  void DecodeFrame(uint32_t index, std::span<uint8_t> pixels) const;

 private:
  std::vector<uint8_t> bytes_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  uint32_t microseconds_per_frame_ = 0;
  uint32_t rate_ = 0;
  uint32_t scale_ = 0;
  std::string handler_;
  uint32_t compression_ = 0;
  uint16_t bit_count_ = 0;
  std::vector<uint32_t> palette_;
  std::vector<AviFrame> frames_;
};

// Decodes BI_RLE8 data onto pixels (width * height, rows top-down; the
// bitmap's rows run bottom-up). Escapes: 0 0 end of line, 0 1 end of
// bitmap, 0 2 dx dy move, 0 n (n >= 3) n literal pixels padded to a word.
// Runs that leave the picture throw ResourceFormatError.
void DecodeRle8(std::span<const uint8_t> data, int32_t width, int32_t height,
                std::span<uint8_t> pixels);

}  // namespace winsim::resources
