// winsim: AVI clips for the animation control (see avi_clip.h).
#include "resources/avi_clip.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace winsim::resources {

namespace {

struct Chunk {
  std::string id;
  size_t data_offset = 0;  // in the whole clip
  size_t size = 0;
};

// The chunks between begin and end; each is padded to an even length.
std::vector<Chunk> ReadChunks(ByteReader& in, size_t begin, size_t end) {
  std::vector<Chunk> chunks;
  in.Seek(begin);
  while (in.Offset() < end) {
    if (end - in.Offset() < 8) in.Fail("chunk header cut short");
    Chunk chunk;
    chunk.id = in.FourCC();
    chunk.size = in.U32();
    chunk.data_offset = in.Offset();
    if (chunk.size > end - chunk.data_offset) {
      in.Fail("chunk '" + chunk.id + "' of " + std::to_string(chunk.size) +
              " bytes overruns its list");
    }
    in.Seek(chunk.data_offset + chunk.size);
    if (chunk.size % 2 != 0 && in.Offset() < end) in.Skip(1);
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

// The form type of a LIST or RIFF chunk.
std::string ListType(ByteReader& in, const Chunk& list) {
  if (list.size < 4) in.Fail("list '" + list.id + "' has no type");
  in.Seek(list.data_offset);
  return in.FourCC();
}

const Chunk* FindList(ByteReader& in, const std::vector<Chunk>& chunks, const std::string& type) {
  for (const Chunk& chunk : chunks) {
    if (chunk.id == "LIST" && ListType(in, chunk) == type) return &chunk;
  }
  return nullptr;
}

const Chunk* FindChunk(const std::vector<Chunk>& chunks, const std::string& id) {
  for (const Chunk& chunk : chunks) {
    if (chunk.id == id) return &chunk;
  }
  return nullptr;
}

bool IsVideoFrame(const std::string& id) { return id == "00dc" || id == "00db"; }

}  // namespace

AviClip AviClip::Parse(std::span<const uint8_t> bytes) {
  AviClip clip;
  clip.bytes_.assign(bytes.begin(), bytes.end());
  ByteReader in(clip.bytes_, "AVI clip");

  if (in.FourCC() != "RIFF") in.Fail("not a RIFF file");
  const uint32_t riff_size = in.U32();
  if (riff_size < 4 || riff_size > in.Remaining())
    in.Fail("RIFF size " + std::to_string(riff_size) + " does not match the data");
  if (in.FourCC() != "AVI ") in.Fail("RIFF form is not 'AVI '");
  const std::vector<Chunk> top = ReadChunks(in, 12, 8 + size_t{riff_size});

  // Headers.
  const Chunk* hdrl = FindList(in, top, "hdrl");
  if (hdrl == nullptr) in.Fail("no LIST 'hdrl'");
  const std::vector<Chunk> headers =
      ReadChunks(in, hdrl->data_offset + 4, hdrl->data_offset + hdrl->size);
  const Chunk* avih = FindChunk(headers, "avih");
  if (avih == nullptr || avih->size < 40) in.Fail("no main header ('avih')");
  in.Seek(avih->data_offset);
  clip.microseconds_per_frame_ = in.U32();
  in.Skip(12);  // max bytes per second, padding granularity, flags
  const uint32_t total_frames = in.U32();
  in.Skip(4);  // initial frames
  const uint32_t streams = in.U32();
  in.Skip(4);  // suggested buffer size
  clip.width_ = in.I32();
  clip.height_ = in.I32();
  if (streams != 1) in.Fail(std::to_string(streams) + " streams; only a single video stream plays");
  if (clip.width_ <= 0 || clip.height_ <= 0 || clip.width_ > 4096 || clip.height_ > 4096) {
    in.Fail("bad frame size " + std::to_string(clip.width_) + " x " + std::to_string(clip.height_));
  }

  const Chunk* strl = FindList(in, headers, "strl");
  if (strl == nullptr) in.Fail("no stream list ('strl')");
  const std::vector<Chunk> stream =
      ReadChunks(in, strl->data_offset + 4, strl->data_offset + strl->size);
  const Chunk* strh = FindChunk(stream, "strh");
  const Chunk* strf = FindChunk(stream, "strf");
  if (strh == nullptr || strh->size < 48) in.Fail("no stream header ('strh')");
  if (strf == nullptr) in.Fail("no stream format ('strf')");
  in.Seek(strh->data_offset);
  if (const std::string type = in.FourCC(); type != "vids") {
    in.Fail("stream type '" + type + "' is not video (clips with sound do not play)");
  }
  clip.handler_ = in.FourCC();
  in.Skip(12);  // flags, priority, language, initial frames
  clip.scale_ = in.U32();
  clip.rate_ = in.U32();
  if (clip.scale_ == 0 || clip.rate_ == 0) in.Fail("stream rate or scale is 0");
  if (clip.microseconds_per_frame_ == 0) {
    clip.microseconds_per_frame_ =
        static_cast<uint32_t>(uint64_t{1000000} * clip.scale_ / clip.rate_);
  }

  ByteReader format(std::span<const uint8_t>(clip.bytes_).subspan(strf->data_offset, strf->size),
                    "AVI stream format");
  const uint32_t info_size = format.U32();
  if (info_size < 40 || info_size > strf->size) in.Fail("bad BITMAPINFOHEADER size");
  if (format.I32() != clip.width_ || format.I32() != clip.height_) {
    in.Fail("stream format and main header disagree on the frame size");
  }
  format.Skip(2);  // planes
  clip.bit_count_ = format.U16();
  clip.compression_ = format.U32();
  format.Skip(12);  // image size, resolution
  const uint32_t colors_used = format.U32();
  if (clip.bit_count_ != 8 || (clip.compression_ != kBiRgb && clip.compression_ != kBiRle8)) {
    in.Fail("frames are not 8-bit uncompressed or RLE8 (compression " +
            std::to_string(clip.compression_) + ", " + std::to_string(clip.bit_count_) + " bits)");
  }
  if (colors_used > 256) format.Fail("more than 256 colours");
  format.Seek(info_size);
  for (uint32_t i = 0, n = colors_used == 0 ? 256 : colors_used; i < n; ++i) {
    const auto q = format.Bytes(4);
    clip.palette_.push_back(static_cast<uint32_t>(q[2]) << 16 | static_cast<uint32_t>(q[1]) << 8 |
                            q[0]);
  }

  // Frames, in order, from the 'movi' list; other streams' chunks and
  // 'JUNK' are passed over.
  const Chunk* movi = FindList(in, top, "movi");
  if (movi == nullptr) in.Fail("no LIST 'movi'");
  const size_t movi_code = movi->data_offset;
  std::vector<Chunk> frame_chunks;
  for (const Chunk& chunk : ReadChunks(in, movi_code + 4, movi->data_offset + movi->size)) {
    if (IsVideoFrame(chunk.id)) frame_chunks.push_back(chunk);
  }
  if (frame_chunks.empty()) in.Fail("no frames");
  if (total_frames != frame_chunks.size()) {
    in.Fail("main header counts " + std::to_string(total_frames) + " frames, 'movi' holds " +
            std::to_string(frame_chunks.size()));
  }
  for (const Chunk& chunk : frame_chunks)
    clip.frames_.push_back({chunk.data_offset, chunk.size, true});

  // The index: it must name the same frames; it carries the key-frame flags.
  if (const Chunk* idx1 = FindChunk(top, "idx1")) {
    constexpr uint32_t kAviifKeyFrame = 0x10;
    in.Seek(idx1->data_offset);
    std::optional<size_t> base;
    size_t frame = 0;
    for (size_t entry = 0; entry < idx1->size / 16; ++entry) {
      const std::string id = in.FourCC();
      const uint32_t flags = in.U32();
      const uint32_t offset = in.U32();
      const uint32_t length = in.U32();
      if (!IsVideoFrame(id)) continue;
      if (frame >= clip.frames_.size()) in.Fail("index names more frames than 'movi' holds");
      const size_t header = clip.frames_[frame].offset - 8;
      if (!base) {
        if (offset == header - movi_code) {
          base = movi_code;
        } else if (offset == header) {
          base = 0;
        } else {
          in.Fail("index entry " + std::to_string(entry) + " points outside the frames");
        }
      }
      if (*base + offset != header || length != clip.frames_[frame].size) {
        in.Fail("index entry " + std::to_string(entry) + " does not match frame " +
                std::to_string(frame));
      }
      clip.frames_[frame].key_frame = (flags & kAviifKeyFrame) != 0;
      ++frame;
    }
    if (frame != clip.frames_.size()) in.Fail("index names fewer frames than 'movi' holds");
  }
  if (!clip.frames_.front().key_frame) in.Fail("the first frame is not a key frame");
  return clip;
}

void AviClip::DecodeFrame(uint32_t index, std::span<uint8_t> pixels) const {
  if (index >= frames_.size())
    throw ResourceFormatError("AVI clip: no frame " + std::to_string(index));
  if (pixels.size() != static_cast<size_t>(width_) * static_cast<size_t>(height_)) {
    throw ResourceFormatError("AVI clip: pixel buffer does not fit the frame size");
  }
  const AviFrame& frame = frames_[index];
  const auto data = std::span<const uint8_t>(bytes_).subspan(frame.offset, frame.size);
  if (compression_ == kBiRle8) {
    DecodeRle8(data, width_, height_, pixels);
    return;
  }
  const size_t stride = (static_cast<size_t>(width_) + 3) / 4 * 4;
  if (data.size() < stride * static_cast<size_t>(height_)) {
    throw ResourceFormatError("AVI clip: frame " + std::to_string(index) + " is too short");
  }
  for (int32_t y = 0; y < height_; ++y) {
    const auto row =
        data.subspan(static_cast<size_t>(height_ - 1 - y) * stride, static_cast<size_t>(width_));
    std::copy(row.begin(), row.end(), pixels.begin() + static_cast<ptrdiff_t>(y) * width_);
  }
}

void DecodeRle8(std::span<const uint8_t> data, int32_t width, int32_t height,
                std::span<uint8_t> pixels) {
  ByteReader in(data, "RLE8 frame");
  int32_t x = 0;
  int32_t row = 0;  // counted from the bottom
  // Writes a run of `count` pixels (of `colors`, or `color` repeated) in one
  // go: the animation decodes a frame at every tick. Pixels up to the
  // picture's edge are written before a run that leaves it fails.
  auto put = [&](const uint8_t* colors, uint8_t color, int count) {
    const int room = row < height ? std::max(0, width - x) : 0;
    const int fits = std::min(count, room);
    if (fits > 0) {
      uint8_t* at = pixels.data() +
                    static_cast<size_t>(height - 1 - row) * static_cast<size_t>(width) +
                    static_cast<size_t>(x);
      if (colors != nullptr) {
        std::memcpy(at, colors, static_cast<size_t>(fits));
      } else {
        std::memset(at, color, static_cast<size_t>(fits));
      }
      x += fits;
    }
    if (fits < count) in.Fail("run leaves the picture");
  };
  // A frame may end without the end-of-bitmap escape.
  while (!in.AtEnd()) {
    const uint8_t count = in.U8();
    const uint8_t value = in.U8();
    if (count != 0) {
      put(nullptr, value, count);
    } else if (value == 0) {  // end of line
      x = 0;
      ++row;
    } else if (value == 1) {  // end of bitmap
      return;
    } else if (value == 2) {  // move
      x += in.U8();
      row += in.U8();
      if (x > width || row > height) in.Fail("move leaves the picture");
    } else {  // literal pixels
      const auto literal = in.Bytes(value);
      put(literal.data(), 0, value);
      if (value % 2 != 0) in.Skip(1);
    }
  }
}

}  // namespace winsim::resources
