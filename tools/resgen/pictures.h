// resgen: quillprog's own pictures.
#pragma once

#include <cstdint>
#include <vector>

#include "indexed_image.h"

namespace resgen {

constexpr int kIconSize = 32;
constexpr int kClipWidth = 74;
constexpr int kClipHeight = 66;
constexpr int kClipFrames = 30;
constexpr uint32_t kClipFramesPerSecond = 10;

struct IconPicture {
  IndexedImage image{kIconSize, kIconSize, 0};
  std::vector<uint8_t> mask;  // one byte per pixel, non-zero = transparent
};

// The program's icon: a chip with an arrow pointing into it.
IconPicture DrawProgramIcon();

// The progress clip: blocks of data travel from a file into a chip, whose
// light blinks, while a bar fills; the last frame leads back to the first.
std::vector<IndexedImage> DrawProgressClip();

}  // namespace resgen
