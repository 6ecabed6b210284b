// Fuzz target: any bytes as an AVI clip for the animation control, every
// frame decoded in order as the control plays it. The reader either returns
// or throws ResourceFormatError; any other exception, a crash or a read or
// write out of bounds is a finding.
#include <cstdint>
#include <span>
#include <vector>

#include "resources/avi_clip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const winsim::resources::AviClip clip =
        winsim::resources::AviClip::Parse(std::span(data, size));
    std::vector<uint8_t> pixels(static_cast<size_t>(clip.Width()) *
                                static_cast<size_t>(clip.Height()));
    for (uint32_t frame = 0; frame < clip.FrameCount(); ++frame) {
      clip.DecodeFrame(frame, pixels);
    }
  } catch (const winsim::resources::ResourceFormatError&) {
    // A clean refusal.
  }
  return 0;
}
