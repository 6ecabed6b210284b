// resgen: 8-bit palettised pictures and the palette they share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace resgen {

// One palette entry, 0x00RRGGBB.
using Palette = std::array<uint32_t, 256>;

// The 16 classic colours, a 6 x 6 x 6 colour cube and 24 greys.
const Palette& StandardPalette();

// Index of the colour cube entry with red, green and blue levels 0 to 5.
uint8_t CubeColor(int red, int green, int blue);

// Index of grey level 0 (black) to 25 (white) of the grey ramp.
uint8_t GreyColor(int level);

// A picture of palette indices, rows stored top to bottom.
struct IndexedImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;

  IndexedImage(int image_width, int image_height, uint8_t background);

  uint8_t At(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
  // Drawing clips to the picture.
  void Set(int x, int y, uint8_t color);
  void FillRect(int left, int top, int right, int bottom, uint8_t color);  // right, bottom excluded
  void FrameRect(int left, int top, int right, int bottom, uint8_t color);
};

}  // namespace resgen
