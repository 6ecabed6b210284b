// Runs a suite's scenarios in parallel, each in a quillsim process of its
// own (winsim runs one machine a process at a time): `quillsim run FILE
// --result RESULT` with the suite's options, its output kept for the
// reports.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scenario_result.h"
#include "suite.h"

namespace quillsim {

struct SuiteRun {
  std::vector<SuiteEntry> entries;
  int jobs = 1;
  // A scenario's own options, after `run FILE --result RESULT`.
  std::function<std::vector<std::string>(const SuiteEntry&)> arguments;
  // Told each result as its scenario ends (in the order they end), with
  // how many have ended.
  std::function<void(const ScenarioResult&, size_t ended)> ended;
};

// The results in the entries' order. A scenario whose process ends
// without a result (killed, crashed) is an Error with what it printed.
std::vector<ScenarioResult> RunSuite(const SuiteRun& run);

// How many processors this process may use.
int ProcessorCount();

}  // namespace quillsim
