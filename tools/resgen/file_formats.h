// resgen: the Windows file formats our pictures are stored in.
#pragma once

#include <cstdint>
#include <vector>

#include "indexed_image.h"

namespace resgen {

// A picture compressed as a BI_RLE8 bitmap: rows bottom-up, runs of equal
// pixels as encoded runs, other stretches in absolute mode, an end-of-line
// escape after every row but the last and the end-of-bitmap escape.
std::vector<uint8_t> EncodeRle8(const IndexedImage& image);

// An icon file (.ico) with one 8-bit image. mask holds one byte per pixel,
// top-down: non-zero where the icon is transparent.
std::vector<uint8_t> WriteIconFile(const IndexedImage& image, const std::vector<uint8_t>& mask,
                                   const Palette& palette);

// A RIFF AVI file with one video stream of BI_RLE8 key frames, all of the
// same size, and an index.
std::vector<uint8_t> WriteRle8Avi(const std::vector<IndexedImage>& frames, const Palette& palette,
                                  uint32_t frames_per_second);

}  // namespace resgen
