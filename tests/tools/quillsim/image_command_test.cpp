// `quillsim image` as a user runs it: output, exit status and messages.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "hex_text.h"
#include "scratch_machine.h"

namespace {

struct RunResult {
  int exitCode;
  std::string output;  // stdout and stderr together
};

RunResult RunQuillsim(const std::string& arguments) {
  const std::string command = std::string(QUILLSIM_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  RunResult result{-1, {}};
  std::array<char, 256> chunk;
  while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) {
    result.output += chunk.data();
  }
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class ImageCommandTest : public testing_support::ScratchMachineTest {};

TEST_F(ImageCommandTest, PrintsTheImageOrTheDialogsMessage) {
  const auto bytes = testing_support::PatternBytes(300, 4);
  const std::string good = WriteFile("good.hex", testing_support::HexFileFor(bytes, 32, 9));
  const std::string bad = WriteFile("bad.hex", testing_support::DataLine(0, {1}));
  const struct {
    std::string arguments;
    int exitCode;
    std::string output;
  } cases[] = {
      {"image '" + good + "'", 0, "length: 300\nblocks: 2\nrange: 1\nheader: EE 00 00 01 2C\n"},
      {"image '" + bad + "'", 1,
       "Error processing input Flash ROM file, (probably longer than 2000 lines)\n"},
      {"image '" + (scratch_ / "absent.hex").string() + "'", 1,
       "The input file cannot be opened.  Please make sure the file is correct and try "
       "again.\n"},
  };
  for (const auto& c : cases) {
    const RunResult result = RunQuillsim(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
    EXPECT_EQ(result.output, c.output) << c.arguments;
  }
}

TEST_F(ImageCommandTest, WritesTheImageBytes) {
  const auto bytes = testing_support::PatternBytes(1000, 8);
  const std::string input = WriteFile("in.hex", testing_support::HexFileFor(bytes, 16, 2));
  const std::string output = (scratch_ / "out.bin").string();
  written_.push_back("out.bin");
  ASSERT_EQ(RunQuillsim("image '" + input + "' --output '" + output + "'").exitCode, 0);
  EXPECT_EQ(ReadFile(output), std::string(bytes.begin(), bytes.end()));
}

TEST(ImageCommand, SampleFirmwareBuilds) {
  const RunResult result = RunQuillsim(std::string("image '") + SAMPLE_FIRMWARE + "'");
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("header: EE 00 00 "), std::string::npos) << result.output;
}

}  // namespace
