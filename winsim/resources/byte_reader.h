// winsim internals: a bounds-checked little-endian reader for the binary
// formats winsim parses (resource files, dialog templates, AVI clips).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace winsim::resources {

// Malformed resource data: the message names what was being read and where.
class ResourceFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ByteReader {
 public:
  // what names the data in error messages ("dialog template", "AVI clip").
  ByteReader(std::span<const uint8_t> data, std::string_view what) : data_(data), what_(what) {}

  size_t Offset() const { return offset_; }
  size_t Size() const { return data_.size(); }
  size_t Remaining() const { return data_.size() - offset_; }
  bool AtEnd() const { return offset_ == data_.size(); }

  uint8_t U8() { return Take(1)[0]; }
  uint16_t U16() {
    const auto b = Take(2);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
  }
  int16_t I16() { return static_cast<int16_t>(U16()); }
  uint32_t U32() {
    const auto b = Take(4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  std::string FourCC() {
    const auto b = Take(4);
    return std::string(b.begin(), b.end());
  }
  std::span<const uint8_t> Bytes(size_t count) { return Take(count); }

  // A null-terminated UTF-16 string; the terminator is consumed.
  std::u16string String() {
    std::u16string text;
    for (char16_t c = static_cast<char16_t>(U16()); c != 0; c = static_cast<char16_t>(U16())) {
      text.push_back(c);
    }
    return text;
  }

  // Skips padding up to the next multiple of alignment (counted from the
  // start of the data), or to the end when the data ends first.
  void Align(size_t alignment) {
    const size_t aligned = (offset_ + alignment - 1) / alignment * alignment;
    offset_ = aligned < data_.size() ? aligned : data_.size();
  }
  void Seek(size_t offset) {
    if (offset > data_.size()) Fail("offset " + std::to_string(offset) + " is past the end");
    offset_ = offset;
  }
  void Skip(size_t count) { Take(count); }

  [[noreturn]] void Fail(const std::string& message) const {
    throw ResourceFormatError(what_ + " (offset " + std::to_string(offset_) + "): " + message);
  }

 private:
  std::span<const uint8_t> Take(size_t count) {
    if (count > Remaining()) {
      Fail("needs " + std::to_string(count) + " bytes, " + std::to_string(Remaining()) + " left");
    }
    const auto bytes = data_.subspan(offset_, count);
    offset_ += count;
    return bytes;
  }

  std::span<const uint8_t> data_;
  std::string what_;
  size_t offset_ = 0;
};

}  // namespace winsim::resources
