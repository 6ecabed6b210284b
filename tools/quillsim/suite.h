// A suite of scenarios (`quillsim run PATH...`): which files are scenarios,
// which of them a run selects (-k, --shard), and the one JUnit file of the
// whole run.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "scenario_result.h"

namespace quillsim {

struct SuiteEntry {
  std::filesystem::path file;
  // The folder's path to it without ".json" ("updates/main-update"), or
  // the file's stem for a file named on the command line; a name already
  // taken becomes the file's path without ".json".
  std::string name;
};

// A path that names no file or folder, or a folder that holds no scenario.
class SuiteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every scenario the paths name: a file is one; a folder gives each .json
// file beneath it (machine descriptions and device scripts, JSON objects
// with neither "script" nor "machine", are left out), in path order. A file
// named twice runs once.
std::vector<SuiteEntry> CollectScenarios(const std::vector<std::string>& paths);

// -k: a pattern with *, ? or [ matches a whole name as a shell pattern;
// any other is a part of the name.
bool NameMatches(const std::string& name, const std::string& pattern);

// --shard I/N: the I-th of N shards, I from 1.
struct Shard {
  int index = 1;
  int count = 1;
};
std::optional<Shard> ParseShard(const std::string& text);

// The entries whose names match any of the patterns (all when there are
// none), then every N-th of them from the shard's own.
std::vector<SuiteEntry> SelectScenarios(const std::vector<SuiteEntry>& entries,
                                        const std::vector<std::string>& patterns,
                                        const std::optional<Shard>& shard);

// One JUnit file for the run: a test case per scenario with its time and
// the account in <system-out>; failed expectations as its <failure>, a
// scenario that could not be read (or run) as its <error>.
bool WriteSuiteJUnit(const std::string& path, const std::vector<ScenarioResult>& results);

}  // namespace quillsim
