#include "file_formats.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace resgen {

namespace {

// Little-endian writer with back-patching for chunk sizes.
class ByteWriter {
 public:
  void U8(uint32_t value) { bytes_.push_back(static_cast<uint8_t>(value)); }
  void U16(uint32_t value) {
    U8(value & 0xFF);
    U8(value >> 8 & 0xFF);
  }
  void U32(uint32_t value) {
    U16(value & 0xFFFF);
    U16(value >> 16);
  }
  void FourCC(std::string_view code) {
    for (char c : code) U8(static_cast<uint8_t>(c));
  }
  void Bytes(const std::vector<uint8_t>& data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  size_t Size() const { return bytes_.size(); }
  void PatchU32(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }

  // RIFF chunk: id, size, data, a pad byte to an even length.
  size_t BeginChunk(std::string_view id) {
    FourCC(id);
    const size_t size_at = Size();
    U32(0);
    return size_at;
  }
  void EndChunk(size_t size_at) {
    PatchU32(size_at, static_cast<uint32_t>(Size() - size_at - 4));
    if (Size() % 2 != 0) U8(0);
  }
  size_t BeginList(std::string_view list_type, std::string_view form) {
    const size_t size_at = BeginChunk(list_type);
    FourCC(form);
    return size_at;
  }

  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

void WritePalette(ByteWriter& out, const Palette& palette) {
  for (uint32_t color : palette) {
    out.U8(color & 0xFF);        // blue
    out.U8(color >> 8 & 0xFF);   // green
    out.U8(color >> 16 & 0xFF);  // red
    out.U8(0);
  }
}

void WriteBitmapInfoHeader(ByteWriter& out, int width, int height, uint32_t compression,
                           uint32_t image_size) {
  out.U32(40);  // biSize
  out.U32(static_cast<uint32_t>(width));
  out.U32(static_cast<uint32_t>(height));
  out.U16(1);  // planes
  out.U16(8);  // bits per pixel
  out.U32(compression);
  out.U32(image_size);
  out.U32(0);  // pixels per metre
  out.U32(0);
  out.U32(256);  // colours used
  out.U32(0);    // colours important: all
}

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;

void EncodeRow(const uint8_t* row, int width, std::vector<uint8_t>& out) {
  int x = 0;
  while (x < width) {
    int run = 1;
    while (x + run < width && run < 255 && row[x + run] == row[x]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<uint8_t>(run));
      out.push_back(row[x]);
      x += run;
      continue;
    }
    // A stretch without repeats; absolute mode needs at least 3 pixels.
    int literal = 1;
    while (x + literal < width && literal < 255 &&
           !(x + literal + 1 < width && row[x + literal] == row[x + literal + 1])) {
      ++literal;
    }
    if (literal < 3) {
      for (int i = 0; i < literal; ++i) {
        out.push_back(1);
        out.push_back(row[x + i]);
      }
    } else {
      out.push_back(0);
      out.push_back(static_cast<uint8_t>(literal));
      out.insert(out.end(), row + x, row + x + literal);
      if (literal % 2 != 0) out.push_back(0);  // absolute runs end on a word boundary
    }
    x += literal;
  }
}

}  // namespace

std::vector<uint8_t> EncodeRle8(const IndexedImage& image) {
  std::vector<uint8_t> out;
  for (int y = image.height - 1; y >= 0; --y) {
    EncodeRow(&image.pixels[static_cast<size_t>(y * image.width)], image.width, out);
    if (y != 0) {
      out.push_back(0);
      out.push_back(0);  // end of line
    }
  }
  out.push_back(0);
  out.push_back(1);  // end of bitmap
  return out;
}

std::vector<uint8_t> WriteIconFile(const IndexedImage& image, const std::vector<uint8_t>& mask,
                                   const Palette& palette) {
  if (image.width > 255 || image.height > 255 || image.width % 32 != 0 ||
      mask.size() != image.pixels.size()) {
    throw std::invalid_argument("icon: unsupported size or mask");
  }
  const uint32_t xor_size = static_cast<uint32_t>(image.width * image.height);
  const uint32_t and_stride = static_cast<uint32_t>(image.width / 8);
  const uint32_t and_size = and_stride * static_cast<uint32_t>(image.height);
  const uint32_t image_bytes = 40 + 256 * 4 + xor_size + and_size;

  ByteWriter out;
  out.U16(0);  // ICONDIR: reserved, type 1 (icon), one image
  out.U16(1);
  out.U16(1);
  out.U8(static_cast<uint32_t>(image.width));  // ICONDIRENTRY
  out.U8(static_cast<uint32_t>(image.height));
  out.U8(0);  // colour count 0: 256 colours
  out.U8(0);
  out.U16(1);  // planes
  out.U16(8);  // bits per pixel
  out.U32(image_bytes);
  out.U32(6 + 16);  // offset of the image
  // The image: a DIB whose height counts the colour bitmap and the mask.
  WriteBitmapInfoHeader(out, image.width, image.height * 2, kBiRgb, xor_size + and_size);
  WritePalette(out, palette);
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) out.U8(image.At(x, y));
  }
  for (int y = image.height - 1; y >= 0; --y) {
    for (uint32_t byte = 0; byte < and_stride; ++byte) {
      uint32_t bits = 0;
      for (int bit = 0; bit < 8; ++bit) {
        const int x = static_cast<int>(byte * 8) + bit;
        if (mask[static_cast<size_t>(y * image.width + x)] != 0) bits |= 0x80u >> bit;
      }
      out.U8(bits);
    }
  }
  return out.Take();
}

std::vector<uint8_t> WriteRle8Avi(const std::vector<IndexedImage>& frames, const Palette& palette,
                                  uint32_t frames_per_second) {
  if (frames.empty() || frames_per_second == 0) throw std::invalid_argument("avi: no frames");
  const int width = frames.front().width;
  const int height = frames.front().height;
  std::vector<std::vector<uint8_t>> encoded;
  size_t largest = 0;
  for (const IndexedImage& frame : frames) {
    if (frame.width != width || frame.height != height) {
      throw std::invalid_argument("avi: frames differ in size");
    }
    encoded.push_back(EncodeRle8(frame));
    largest = std::max(largest, encoded.back().size());
  }
  const uint32_t frame_count = static_cast<uint32_t>(frames.size());
  const uint32_t buffer_size = static_cast<uint32_t>(largest);

  constexpr uint32_t kAvifHasIndex = 0x10;
  constexpr uint32_t kAviifKeyFrame = 0x10;

  ByteWriter out;
  const size_t riff = out.BeginList("RIFF", "AVI ");
  const size_t hdrl = out.BeginList("LIST", "hdrl");
  const size_t avih = out.BeginChunk("avih");  // MainAVIHeader
  out.U32(1000000 / frames_per_second);        // microseconds per frame
  out.U32(buffer_size * frames_per_second);    // maximum bytes per second
  out.U32(0);                                  // padding granularity
  out.U32(kAvifHasIndex);
  out.U32(frame_count);
  out.U32(0);  // initial frames
  out.U32(1);  // streams
  out.U32(buffer_size);
  out.U32(static_cast<uint32_t>(width));
  out.U32(static_cast<uint32_t>(height));
  for (int i = 0; i < 4; ++i) out.U32(0);
  out.EndChunk(avih);

  const size_t strl = out.BeginList("LIST", "strl");
  const size_t strh = out.BeginChunk("strh");  // AVIStreamHeader
  out.FourCC("vids");
  out.FourCC("mrle");
  out.U32(0);  // flags
  out.U16(0);  // priority
  out.U16(0);  // language
  out.U32(0);  // initial frames
  out.U32(1);  // scale
  out.U32(frames_per_second);
  out.U32(0);  // start
  out.U32(frame_count);
  out.U32(buffer_size);
  out.U32(0xFFFFFFFF);  // quality: default
  out.U32(0);           // sample size: varies
  out.U16(0);           // frame rectangle
  out.U16(0);
  out.U16(static_cast<uint32_t>(width));
  out.U16(static_cast<uint32_t>(height));
  out.EndChunk(strh);
  const size_t strf = out.BeginChunk("strf");
  WriteBitmapInfoHeader(out, width, height, kBiRle8, buffer_size);
  WritePalette(out, palette);
  out.EndChunk(strf);
  out.EndChunk(strl);
  out.EndChunk(hdrl);

  const size_t movi = out.BeginList("LIST", "movi");
  const size_t movi_base = movi + 4;  // index offsets count from the 'movi' code
  std::vector<std::pair<uint32_t, uint32_t>> index;
  for (const std::vector<uint8_t>& data : encoded) {
    index.emplace_back(static_cast<uint32_t>(out.Size() - movi_base),
                       static_cast<uint32_t>(data.size()));
    const size_t chunk = out.BeginChunk("00dc");
    out.Bytes(data);
    out.EndChunk(chunk);
  }
  out.EndChunk(movi);

  const size_t idx1 = out.BeginChunk("idx1");
  for (const auto& [offset, length] : index) {
    out.FourCC("00dc");
    out.U32(kAviifKeyFrame);
    out.U32(offset);
    out.U32(length);
  }
  out.EndChunk(idx1);
  out.EndChunk(riff);
  return out.Take();
}

}  // namespace resgen
