#include "hex_text.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace testing_support {

std::string HexRecordText(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) {
    sum = static_cast<uint8_t>(sum + b);
  }
  bytes.push_back(static_cast<uint8_t>(0x100 - sum));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

std::string DataLine(uint16_t address, const std::vector<uint8_t>& data) {
  return HexRecordText(0x00, address, data) + "\r\n";
}

std::string EndOfFileLine() { return ":00000001FF\r\n"; }

std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  std::mt19937 generator(seed);
  for (auto& b : bytes) {
    b = static_cast<uint8_t>(generator());
  }
  return bytes;
}

std::string HexFileFor(const std::vector<uint8_t>& bytes, size_t recordSize, uint32_t shuffleSeed) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < bytes.size(); start += recordSize) {
    const size_t end = std::min(bytes.size(), start + recordSize);
    lines.push_back(DataLine(static_cast<uint16_t>(start),
                             std::vector<uint8_t>(bytes.begin() + start, bytes.begin() + end)));
  }
  if (shuffleSeed != 0) {
    std::shuffle(lines.begin(), lines.end(), std::mt19937(shuffleSeed));
  }
  std::string text;
  for (const auto& line : lines) {
    text += line;
  }
  return text + EndOfFileLine();
}

}  // namespace testing_support
