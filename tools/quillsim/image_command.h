// `quillsim image FILE [--output BIN]`, apart from the option parser: the
// command a user runs most, started with nothing it does not need.
#pragma once

#include <string>

namespace quillsim {

struct ImageOptions {
  std::string input;
  std::string output;  // empty: no image file
};

// Builds the image as the Program button does and prints it; the exit status.
int RunImage(const ImageOptions& options);

// Reads the plain forms of an image command line, argv[1] being "image":
// FILE, with `--output BIN`, `-o BIN` or `--output=BIN` before or after it.
// False for anything else (help, a second FILE or output, an empty one,
// any other argument that starts with '-'); the option parser then reads
// the line, with its errors and help.
bool ReadPlainImageCommand(int argc, const char* const* argv, ImageOptions& options);

// Makes the simulated machine's folder, which every command uses; false,
// with the reason on standard error, when it cannot be made (TMPDIR naming
// a missing or read-only folder, say).
bool MakeMachineFolder();

}  // namespace quillsim
