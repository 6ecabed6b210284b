// quillsim's subcommands.
#pragma once

#include <CLI/CLI.hpp>

namespace quillsim {

// `quillsim image FILE [--output BIN]`: builds the firmware image as the
// Program button does and prints its length, blocks, range and header.
void AddImageCommand(CLI::App& app, int& exitCode);

}  // namespace quillsim
