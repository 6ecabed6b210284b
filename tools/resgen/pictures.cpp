#include "pictures.h"

namespace resgen {

namespace {

const uint8_t kBlack = 0;
const uint8_t kWhite = 15;
const uint8_t kFace = 7;     // dialog face grey
const uint8_t kShadow = 8;   // dark grey
const uint8_t kBlue = 4;     // navy
const uint8_t kBright = 12;  // blue

uint8_t ChipBody() { return GreyColor(5); }
uint8_t PinColor() { return GreyColor(20); }
uint8_t LightOn() { return CubeColor(0, 5, 0); }
uint8_t LightOff() { return CubeColor(0, 2, 0); }
uint8_t ArrowColor() { return CubeColor(0, 4, 1); }
uint8_t PageLine() { return CubeColor(2, 3, 5); }

// A chip body with pins on its left and right sides.
void DrawChip(IndexedImage& image, int left, int top, int right, int bottom, int pin_step) {
  for (int y = top + 2; y + 1 < bottom - 1; y += pin_step) {
    image.FillRect(left - 3, y, left, y + 2, PinColor());
    image.FillRect(right, y, right + 3, y + 2, PinColor());
  }
  image.FillRect(left, top, right, bottom, ChipBody());
  image.FrameRect(left, top, right, bottom, kBlack);
  image.FillRect(left + 2, top + 2, left + 4, top + 4, GreyColor(12));  // pin-1 mark
}

// A sheet of paper with a folded corner and lines of text.
void DrawPage(IndexedImage& image, int left, int top, int right, int bottom) {
  const int fold = 5;
  image.FillRect(left, top, right, bottom, kWhite);
  image.FrameRect(left, top, right, bottom, kShadow);
  for (int i = 0; i < fold; ++i) {
    image.FillRect(right - fold + i, top, right, top + i + 1, kFace);
    image.Set(right - fold + i, top + i, kShadow);
  }
  image.FillRect(right - fold, top + fold - 1, right, top + fold, kShadow);
  for (int y = top + fold + 2; y < bottom - 2; y += 3) {
    const int length = (y * 7) % 5;  // ragged line ends
    image.FillRect(left + 2, y, right - 3 - length, y + 1, PageLine());
  }
}

}  // namespace

IconPicture DrawProgramIcon() {
  const uint8_t kTransparent = 13;  // a colour the drawing never uses
  IconPicture icon;
  IndexedImage& image = icon.image;
  image.FillRect(0, 0, kIconSize, kIconSize, kTransparent);
  // Arrow from the top down into the chip.
  image.FillRect(14, 1, 18, 8, ArrowColor());
  for (int row = 0; row < 5; ++row)
    image.FillRect(10 + row, 8 + row, 22 - row, 9 + row, ArrowColor());
  DrawChip(image, 7, 14, 25, 30, 3);
  image.FillRect(19, 24, 22, 27, LightOn());
  // Transparent pixels are black in the colour bitmap and set in the mask.
  icon.mask.resize(image.pixels.size());
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    icon.mask[i] = image.pixels[i] == kTransparent ? 1 : 0;
    if (icon.mask[i] != 0) image.pixels[i] = kBlack;
  }
  return icon;
}

std::vector<IndexedImage> DrawProgressClip() {
  constexpr int kTrackLeft = 24;
  constexpr int kTrackRight = 46;
  constexpr int kTrackY = 26;
  constexpr int kBlockSpacing = 10;  // one block enters the chip every 10 frames
  constexpr int kBarLeft = 6;
  constexpr int kBarRight = 68;

  std::vector<IndexedImage> frames;
  for (int frame = 0; frame < kClipFrames; ++frame) {
    IndexedImage image(kClipWidth, kClipHeight, kFace);
    DrawPage(image, 4, 10, 22, 42);
    DrawChip(image, 49, 12, 67, 40, 4);
    image.FillRect(60, 33, 64, 37, frame % 10 < 5 ? LightOn() : LightOff());

    // The track and the blocks on it, clipped to the track.
    image.FillRect(kTrackLeft, kTrackY + 2, kTrackRight, kTrackY + 3, kShadow);
    for (int start = kTrackLeft - kBlockSpacing; start < kTrackRight; start += kBlockSpacing) {
      const int x = start + frame % kBlockSpacing;
      for (int dx = 0; dx < 4; ++dx) {
        if (x + dx >= kTrackLeft && x + dx < kTrackRight) {
          image.FillRect(x + dx, kTrackY, x + dx + 1, kTrackY + 5, dx == 0 ? kBlue : kBright);
        }
      }
    }

    // A bar that fills over the clip.
    image.FillRect(kBarLeft, 50, kBarRight, 58, kWhite);
    image.FrameRect(kBarLeft, 50, kBarRight, 58, kShadow);
    const int filled = (kBarRight - kBarLeft - 4) * (frame + 1) / kClipFrames;
    image.FillRect(kBarLeft + 2, 52, kBarLeft + 2 + filled, 56, kBlue);
    frames.push_back(std::move(image));
  }
  return frames;
}

}  // namespace resgen
