#include "bench_inputs.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>

#include "hex_text.h"

namespace bench {
namespace {

constexpr unsigned DataRecords = 1998;  // one fewer than the sort area's limit
constexpr unsigned RecordBytes = 32;    // the longest record the sorter takes
constexpr uint32_t ImageSeed = 417;
constexpr uint32_t ShuffleSeed = 11;
constexpr uint32_t ImageEnd = 65536;

BenchInput Largest(const std::string& name, uint32_t shuffleSeed) {
  BenchInput input;
  input.name = name;
  input.image = testing_support::PatternBytes(DataRecords * RecordBytes, ImageSeed);
  input.text = testing_support::HexFileFor(input.image, RecordBytes, shuffleSeed);
  input.records = DataRecords + 1;
  return input;
}

}  // namespace

BenchInput LargestShuffled() { return Largest("largest-shuffled", ShuffleSeed); }

BenchInput LargestInOrder() { return Largest("largest-in-order", 0); }

BenchInput FullImageSparse() {
  BenchInput input;
  input.name = "image-64k-sparse";
  input.image.assign(ImageEnd, 0x00);
  const auto data = testing_support::PatternBytes(DataRecords * RecordBytes, ImageSeed);
  std::vector<std::string> lines;
  // Record i starts at round(i * 65,504 / 1,997): the first at 0, the last
  // ending at 65,536, starts at least 32 bytes apart so nothing overlaps.
  const uint32_t lastStart = ImageEnd - RecordBytes;
  for (unsigned i = 0; i < DataRecords; ++i) {
    const uint32_t address = (i * lastStart + (DataRecords - 1) / 2) / (DataRecords - 1);
    const auto first = data.begin() + i * RecordBytes;
    const std::vector<uint8_t> bytes(first, first + RecordBytes);
    std::copy(bytes.begin(), bytes.end(), input.image.begin() + address);
    lines.push_back(testing_support::DataLine(static_cast<uint16_t>(address), bytes));
  }
  std::shuffle(lines.begin(), lines.end(), std::mt19937(ShuffleSeed));
  for (const auto& line : lines) {
    input.text += line;
  }
  input.text += testing_support::EndOfFileLine();
  input.records = DataRecords + 1;
  return input;
}

std::vector<BenchInput> AllInputs() {
  return {LargestShuffled(), LargestInOrder(), FullImageSparse()};
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace bench
