// quillsim's subcommands.
#pragma once

#include <CLI/CLI.hpp>

namespace quillsim {

// `quillsim image FILE [--output BIN]`: builds the firmware image as the
// Program button does and prints its length, blocks, range and header; a
// refused file is explained on stderr as "FILE:LINE:COLUMN: reason", exit 1.
void AddImageCommand(CLI::App& app, int& exitCode);

// `quillsim run SCENARIO [-v] [--json FILE] [--snapshots DIR] [--realtime]`
// plays a scenario (docs/scenarios.md); `quillsim demo` plays the built-in
// one. Exit status 0: the script ran to its end and every expectation held;
// 1: it did not (the reason is the last line); 2: the scenario cannot be read.
// `quillsim run PATH... [-j N] [-k PATTERN] [--shard I/N]` runs a suite:
// 0 when every scenario passed, 1 when one did not, 2 for a command line it
// cannot follow.
void AddRunCommands(CLI::App& app, int& exitCode);

}  // namespace quillsim
