// Collecting, selecting and reporting a suite of scenarios (suite.h).
#include "suite.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "harness/xml_text.h"

namespace quillsim {
namespace {

namespace fs = std::filesystem;

// A JSON file beneath a folder is a scenario unless it is plainly something
// else: an object with neither of a scenario's required keys. One that is
// no JSON at all is a scenario that cannot be read, and says so when run.
bool LooksLikeScenario(const fs::path& file) {
  std::ifstream in(file);
  const nlohmann::json value = nlohmann::json::parse(in, nullptr, false);
  return !value.is_object() || value.contains("script") || value.contains("machine");
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

}  // namespace

std::vector<SuiteEntry> CollectScenarios(const std::vector<std::string>& paths) {
  std::vector<SuiteEntry> entries;
  std::set<fs::path> seen;
  std::set<std::string> names;
  auto add = [&](const fs::path& file, std::string name) {
    if (!seen.insert(fs::weakly_canonical(file)).second) return;
    // Names are the JUnit test cases and the names of the files a scenario
    // writes: a second "main-update" is known by its path.
    if (names.count(name) != 0) name = fs::path(file).replace_extension().generic_string();
    for (int n = 2; names.count(name) != 0; ++n) name += "#" + std::to_string(n);
    names.insert(name);
    entries.push_back({file, std::move(name)});
  };
  for (const std::string& path : paths) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_regular_file(status)) {
      add(path, fs::path(path).stem().string());
      continue;
    }
    if (!fs::is_directory(status)) throw SuiteError(path + ": no such file or folder");
    std::vector<fs::path> files;
    for (const auto& item : fs::recursive_directory_iterator(path, error)) {
      if (item.is_regular_file() && item.path().extension() == ".json") {
        files.push_back(item.path());
      }
    }
    std::sort(files.begin(), files.end());
    size_t found = 0;
    for (const fs::path& file : files) {
      if (!LooksLikeScenario(file)) continue;
      ++found;
      fs::path name = file.lexically_relative(path);
      name.replace_extension();
      add(file, name.generic_string());
    }
    if (found == 0) throw SuiteError(path + ": no scenario (.json) in this folder");
  }
  return entries;
}

bool NameMatches(const std::string& name, const std::string& pattern) {
  if (pattern.find_first_of("*?[") != std::string::npos) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
  }
  return name.find(pattern) != std::string::npos;
}

std::optional<Shard> ParseShard(const std::string& text) {
  Shard shard;
  char end = 0;
  if (std::sscanf(text.c_str(), "%d/%d%c", &shard.index, &shard.count, &end) != 2) {
    return std::nullopt;
  }
  if (shard.count < 1 || shard.index < 1 || shard.index > shard.count) return std::nullopt;
  return shard;
}

std::vector<SuiteEntry> SelectScenarios(const std::vector<SuiteEntry>& entries,
                                        const std::vector<std::string>& patterns,
                                        const std::optional<Shard>& shard) {
  std::vector<SuiteEntry> named;
  for (const SuiteEntry& entry : entries) {
    const bool matches =
        patterns.empty() || std::any_of(patterns.begin(), patterns.end(),
                                        [&](const auto& p) { return NameMatches(entry.name, p); });
    if (matches) named.push_back(entry);
  }
  if (!shard) return named;
  std::vector<SuiteEntry> mine;
  for (size_t i = 0; i < named.size(); ++i) {
    if (static_cast<int>(i % static_cast<size_t>(shard->count)) == shard->index - 1) {
      mine.push_back(named[i]);
    }
  }
  return mine;
}

bool WriteSuiteJUnit(const std::string& path, const std::vector<ScenarioResult>& results) {
  size_t failures = 0;
  size_t errors = 0;
  double seconds = 0;
  for (const ScenarioResult& result : results) {
    failures += result.verdict == Verdict::Failed ? 1 : 0;
    errors += result.verdict == Verdict::Error ? 1 : 0;
    seconds += result.seconds;
  }
  const std::string counts = "tests=\"" + std::to_string(results.size()) + "\" failures=\"" +
                             std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                             "\" time=\"" + Seconds(seconds) + "\"";
  std::ofstream out(path, std::ios::trunc);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=\"quillsim\" " << counts << ">\n"
      << "  <testsuite name=\"quillsim\" " << counts << ">\n";
  for (const ScenarioResult& result : results) {
    out << "    <testcase classname=\"quillsim\" name=\"" << winsim::XmlText(result.name)
        << "\" file=\"" << winsim::XmlText(result.file) << "\" time=\"" << Seconds(result.seconds)
        << "\">\n";
    if (result.verdict == Verdict::Error) {
      out << "      <error message=\"" << winsim::XmlText(result.error) << "\">"
          << winsim::XmlText(result.error) << "</error>\n";
    } else if (result.verdict == Verdict::Failed) {
      const std::vector<std::string> failed = result.Failures();
      std::string message = failed.empty() ? "the run failed" : failed.front();
      if (failed.size() > 1) message += " (and " + std::to_string(failed.size() - 1) + " more)";
      std::string text;
      for (const std::string& failure : failed) text += failure + "\n";
      out << "      <failure message=\"" << winsim::XmlText(message) << "\">"
          << winsim::XmlText(text) << "</failure>\n";
    }
    out << "      <system-out>" << winsim::XmlText(result.output) << "</system-out>\n"
        << "    </testcase>\n";
  }
  out << "  </testsuite>\n</testsuites>\n";
  return static_cast<bool>(out);
}

}  // namespace quillsim
