// `quillsim run --report FILE.html`: one self-contained page (no network, no
// other files) of a run's scenarios: each one's verdict, its account as a
// timeline with the screen at each change, its USB transfers (and capture),
// and each expectation with its verdict; a failed one with the screen the
// user saw and a diff of the texts expected and seen.
#pragma once

#include <string>
#include <vector>

#include "scenario_result.h"

namespace quillsim {

// A line diff: ' ' both, '-' expected only, '+' seen only, in order.
struct DiffLine {
  char kind = ' ';
  std::string text;
};
std::vector<DiffLine> LineDiff(const std::string& expected, const std::string& actual);

std::string ReportHtml(const std::vector<ScenarioResult>& results);
bool WriteReport(const std::string& path, const std::vector<ScenarioResult>& results);

}  // namespace quillsim
