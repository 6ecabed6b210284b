// Fuzz target: any bytes as a quillsim scenario (JSON) through ParseScenario.
// The parser either returns a scenario or throws ScenarioError; any other
// exception, a crash or a sanitizer report is a finding. For an accepted
// scenario: every file it names is a regular file; each inline text is
// written to the scratch folder under its own name with exactly its text,
// and nothing else is written there; /image names one of the files.
//
// Paths in the scenario are relative to examples/scenarios (QUILL_EXAMPLE_SCENARIOS),
// so that the example scenarios, which are seeds, name machine descriptions
// and Flash ROM files that exist; the parser only reads there. The scratch
// folder is emptied after every input; it lives in /dev/shm (memory) unless
// TMPDIR says otherwise.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include <unistd.h>

#include "scenario.h"

namespace fs = std::filesystem;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "scenario: %s\n", what);
    std::abort();
  }
}

const fs::path folder = QUILL_EXAMPLE_SCENARIOS;  // the scenarios' folder
fs::path scratch;                                 // where inline texts go

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CheckAccepted(const quillsim::Scenario& scenario, const std::string& text) {
  const nlohmann::json root = nlohmann::json::parse(text);
  size_t inline_files = 0;
  for (const auto& [name, path] : scenario.files) {
    Require(fs::is_regular_file(path), "a named file is not a regular file");
    const nlohmann::json& item = root.at("files").at(name);
    if (item.is_object()) {
      ++inline_files;
      Require(path == scratch / name && path.parent_path() == scratch,
              "an inline text is not in the scratch folder under its name");
      Require(ReadFile(path) == item.at("text").get<std::string>(),
              "an inline text was not written exactly");
    }
  }
  size_t written = 0;
  std::error_code error;
  for (fs::directory_iterator it(scratch, error), end; !error && it != end; it.increment(error)) {
    ++written;
  }
  Require(written == inline_files, "the scratch folder holds files the scenario does not name");
  Require(scenario.image.empty() || scenario.files.count(scenario.image) == 1,
          "the image is not one of the files");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temporary = std::getenv("TMPDIR");
  const fs::path base =
      temporary != nullptr
          ? fs::path(temporary)
          : (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path());
  const fs::path root = base / ("scenario-fuzz-" + std::to_string(getpid()));
  scratch = root / "scratch";
  fs::create_directories(scratch);
  // Removed at exit, whatever the way out but a crash.
  static const struct Cleanup {
    fs::path root;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(root, ignored);
    }
  } cleanup{root};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const quillsim::Scenario scenario = quillsim::ParseScenario(text, folder, scratch);
    CheckAccepted(scenario, text);
  } catch (const quillsim::ScenarioError&) {
    // A clean refusal.
  }
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch, ignored)) {
    fs::remove_all(entry.path(), ignored);
  }
  return 0;
}
