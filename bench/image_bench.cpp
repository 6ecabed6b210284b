// Image benchmarks: BuildFlashImage on the largest files, and its parts (the
// sorter, the ordering of the sort area, the temporary file) on the same inputs.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench_inputs.h"
#include "budgets.h"
#include "flash_image.h"
#include "machine/machine_disk.h"
#include "record_text.h"
#include "registry.h"

namespace bench {
namespace {

// One input as the benchmarks use it: on disk, checked once, and prepared
// for the benchmarks that time a single part of the build.
struct PreparedInput {
  BenchInput input;
  std::string path;                           // the Flash ROM file
  std::unique_ptr<HexRecord[]> unsortedArea;  // the sort area as read
  unsigned count = 0;
  std::string sortedText;  // what the sorter writes to the temporary file
  std::string readBackPath;
  std::string problem;  // set when the product does not build the expected image
};

std::string SortFilePath() {
  char path[MAX_PATH];
  if (!GetSortFilePath(path)) {
    throw std::runtime_error("no sort file path");
  }
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ImageBytes(FlashImage image) {
  std::string bytes;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    bytes.append(reinterpret_cast<const char*>(block->Data), block->FillCount);
  }
  return bytes;
}

// Prepares an input, or returns an error text when the product does not
// build the expected image from it (the timings would then be meaningless).
std::string Prepare(PreparedInput& prepared) {
  const std::filesystem::path folder = winsim::MachineFolder() / "bench-inputs";
  std::filesystem::create_directories(folder);
  prepared.path = (folder / (prepared.input.name + ".hex")).string();
  WriteFileBytes(prepared.path, prepared.input.text);

  FlashImage image = BuildFlashImage(prepared.path.c_str());
  const std::string built = ImageBytes(image);
  FreeFlashImage(image);
  if (built != std::string(prepared.input.image.begin(), prepared.input.image.end())) {
    return "BuildFlashImage does not build the expected image of " + prepared.input.name;
  }

  FILE* sorted = SortFlashFile(std::fopen(prepared.path.c_str(), "rb"));
  if (sorted == nullptr) {
    return "SortFlashFile refuses " + prepared.input.name;
  }
  std::fclose(sorted);
  prepared.sortedText = ReadAll(SortFilePath());
  std::remove(SortFilePath().c_str());

  prepared.unsortedArea = std::make_unique<HexRecord[]>(MaxHexRecords);
  std::istringstream lines(prepared.input.text);
  std::string line;
  while (std::getline(lines, line) && !line.empty() && prepared.count < MaxHexRecords) {
    std::memcpy(prepared.unsortedArea[prepared.count++].Text, line.data(),
                std::min<size_t>(line.size() - 1, HexRecordSize));  // without the CR
  }
  prepared.readBackPath = SortFilePath() + "-" + prepared.input.name;
  WriteFileBytes(prepared.readBackPath, prepared.sortedText);
  return {};
}

void SetCounters(benchmark::State& state, const PreparedInput& prepared) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(prepared.input.text.size()));
  state.counters["records"] = prepared.input.records;
}

void BuildImage(benchmark::State& state, const PreparedInput& prepared) {
  for (auto _ : state) {
    FlashImage image = BuildFlashImage(prepared.path.c_str());
    benchmark::DoNotOptimize(image);
    FreeFlashImage(image);
  }
  SetCounters(state, prepared);
}

// The sorter: read and check the records, order them, write the temporary file
// and reopen it; the builder then closes and removes it.
void SortFile(benchmark::State& state, const PreparedInput& prepared) {
  const std::string sortPath = SortFilePath();
  for (auto _ : state) {
    FILE* sorted = SortFlashFile(std::fopen(prepared.path.c_str(), "rb"));
    benchmark::DoNotOptimize(sorted);
    std::fclose(sorted);
    std::remove(sortPath.c_str());
  }
  SetCounters(state, prepared);
}

// The ordering of the sort area alone, as SortFlashFile does it (the slots
// are not moved, so every iteration orders the same area as read).
void SortArea(benchmark::State& state, const PreparedInput& prepared) {
  UINT16 order[MaxHexRecords];
  for (auto _ : state) {
    OrderHexRecords(prepared.unsortedArea.get(), prepared.count, order);
    benchmark::DoNotOptimize(order);
    benchmark::ClobberMemory();
  }
  SetCounters(state, prepared);
}

// The temporary file as the sorter uses it: written in blocks of the
// sorter's buffer, closed, reopened for reading; closed and removed by the
// builder.
void SortFileWrite(benchmark::State& state, const PreparedInput& prepared) {
  const std::string sortPath = SortFilePath();
  for (auto _ : state) {
    FILE* output = std::fopen(sortPath.c_str(), "wb");
    for (size_t at = 0; at < prepared.sortedText.size(); at += TextBufferSize) {
      const size_t size = std::min<size_t>(TextBufferSize, prepared.sortedText.size() - at);
      std::fwrite(prepared.sortedText.data() + at, 1, size, output);
    }
    std::fclose(output);
    FILE* input = std::fopen(sortPath.c_str(), "rb");
    benchmark::DoNotOptimize(input);
    std::fclose(input);
    std::remove(sortPath.c_str());
  }
  SetCounters(state, prepared);
}

// Reading the temporary file back in blocks of the builder's buffer,
// without parsing.
void SortFileReadBack(benchmark::State& state, const PreparedInput& prepared) {
  static char buffer[TextBufferSize];
  for (auto _ : state) {
    FILE* input = std::fopen(prepared.readBackPath.c_str(), "rb");
    size_t total = 0;
    for (size_t read = 1; read != 0; total += read) {
      read = std::fread(buffer, 1, sizeof(buffer), input);
    }
    benchmark::DoNotOptimize(total);
    std::fclose(input);
  }
  SetCounters(state, prepared);
}

}  // namespace

void RegisterImageBenchmarks() {
  using Body = void (*)(benchmark::State&, const PreparedInput&);
  const struct {
    const char* name;
    Body body;
  } families[] = {
      {"BM_BuildFlashImage", BuildImage},
      {"BM_SortFlashFile", SortFile},
      {"BM_SortArea", SortArea},
      {"BM_SortFileWrite", SortFileWrite},
      {"BM_SortFileReadBack", SortFileReadBack},
  };
  std::vector<std::shared_ptr<const PreparedInput>> inputs;
  for (BenchInput& input : AllInputs()) {
    auto prepared = std::make_shared<PreparedInput>();
    prepared->input = std::move(input);
    prepared->problem = Prepare(*prepared);
    inputs.push_back(prepared);
  }
  for (const auto& family : families) {
    for (const auto& prepared : inputs) {
      const Body body = family.body;
      const std::string name = std::string(family.name) + "/" + prepared->input.name;
      WithMinimum(benchmark::RegisterBenchmark(name.c_str(), [body,
                                                              prepared](benchmark::State& state) {
        if (!prepared->problem.empty()) {
          state.SkipWithError(prepared->problem.c_str());
          return;
        }
        body(state, *prepared);
      }))->Unit(benchmark::kMicrosecond);
    }
  }
}

}  // namespace bench
