#include "indexed_image.h"

namespace resgen {

namespace {

constexpr uint32_t kClassicColors[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};
constexpr int kCubeBase = 16;
constexpr int kGreyBase = kCubeBase + 216;

Palette BuildPalette() {
  Palette palette{};
  for (int i = 0; i < 16; ++i) palette[i] = kClassicColors[i];
  for (int r = 0; r < 6; ++r) {
    for (int g = 0; g < 6; ++g) {
      for (int b = 0; b < 6; ++b) {
        const uint32_t level[6] = {0x00, 0x33, 0x66, 0x99, 0xCC, 0xFF};
        palette[kCubeBase + r * 36 + g * 6 + b] = level[r] << 16 | level[g] << 8 | level[b];
      }
    }
  }
  for (int i = 0; i < 24; ++i) {
    const uint32_t v = static_cast<uint32_t>((i + 1) * 255 / 25);
    palette[kGreyBase + i] = v << 16 | v << 8 | v;
  }
  return palette;
}

}  // namespace

const Palette& StandardPalette() {
  static const Palette palette = BuildPalette();
  return palette;
}

uint8_t CubeColor(int red, int green, int blue) {
  return static_cast<uint8_t>(kCubeBase + red * 36 + green * 6 + blue);
}

uint8_t GreyColor(int level) {
  if (level <= 0) return 0;
  if (level >= 25) return 15;
  return static_cast<uint8_t>(kGreyBase + level - 1);
}

IndexedImage::IndexedImage(int image_width, int image_height, uint8_t background)
    : width(image_width),
      height(image_height),
      pixels(static_cast<size_t>(image_width * image_height), background) {}

void IndexedImage::Set(int x, int y, uint8_t color) {
  if (x >= 0 && y >= 0 && x < width && y < height)
    pixels[static_cast<size_t>(y * width + x)] = color;
}

void IndexedImage::FillRect(int left, int top, int right, int bottom, uint8_t color) {
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) Set(x, y, color);
  }
}

void IndexedImage::FrameRect(int left, int top, int right, int bottom, uint8_t color) {
  FillRect(left, top, right, top + 1, color);
  FillRect(left, bottom - 1, right, bottom, color);
  FillRect(left, top, left + 1, bottom, color);
  FillRect(right - 1, top, right, bottom, color);
}

}  // namespace resgen
