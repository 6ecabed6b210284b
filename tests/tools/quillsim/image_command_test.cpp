// `quillsim image` as a user runs it: output, exit status and messages.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "hex_text.h"
#include "scratch_machine.h"

namespace {

struct RunResult {
  int exitCode;
  std::string output;  // stdout and stderr together
};

// environment: assignments for the shell to put before the command.
RunResult RunQuillsim(const std::string& arguments, const std::string& environment = "") {
  const std::string command = environment + QUILLSIM_PATH + " " + arguments + " 2>&1";
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
  // A length that is a multiple of 256 ends with an empty block: the worker
  // sends it as a zero-length request, and the run counts it as a block.
  const auto whole = testing_support::PatternBytes(512, 5);
  const std::string even = WriteFile("even.hex", testing_support::HexFileFor(whole, 32, 9));
  const struct {
    std::string arguments;
    int exitCode;
    std::string output;
  } cases[] = {
      {"image '" + good + "'", 0,
       "length: 300\nblocks: 2 (1 of 256 bytes and a last block of 44 bytes)\nrange: 1\n"
       "header: EE 00 00 01 2C\n"},
      {"image '" + even + "'", 0,
       "length: 512\nblocks: 3 (2 of 256 bytes and an empty last block, sent as a zero-length "
       "request)\nrange: 2\nheader: EE 00 00 02 00\n"},
      // A folder opens on the host: it is refused before it is read.
      {"image '" + scratch_.string() + "'", 1,
       scratch_.string() + ": a folder, not a Flash ROM file\n"},
      {"image '" + (scratch_ / "absent.hex").string() + "'", 1,
       "The input file cannot be opened.  Please make sure the file is correct and try "
       "again.\n"},
      // The image is printed, and the file it cannot write is named.
      {"image '" + good + "' --output '" + (scratch_ / "absent" / "out.bin").string() + "'", 1,
       "length: 300\nblocks: 2 (1 of 256 bytes and a last block of 44 bytes)\nrange: 1\n"
       "header: EE 00 00 01 2C\ncannot write " +
           (scratch_ / "absent" / "out.bin").string() + "\n"},
  };
  for (const auto& c : cases) {
    const RunResult result = RunQuillsim(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
    EXPECT_EQ(result.output, c.output) << c.arguments;
  }
}

// A refused file: where and why, at the first character that shows it.
TEST_F(ImageCommandTest, ExplainsARefusal) {
  const std::string eof = ":00000001FF\r\n";
  std::string records2000;
  for (int i = 0; i < 1999; ++i) {
    records2000 += ":0000000000\r\n";
  }
  const struct {
    std::string text;
    std::string explanation;  // after "FILE:"
  } cases[] = {
      {";00000001FF\r\n", "1:1: expected the record mark ':', found ';'"},
      {":00000001Ff\r\n", "1:11: expected an uppercase hex digit, found 'f'"},
      {":2100000000", "1:2: record of 33 bytes, longer than 32"},
      {":00000001FE\r\n", "1:10: checksum mismatch: expected FF, found FE"},
      {":00000001FF\n", "1:12: expected the line end CR LF, found 0x0A"},
      {":0100000055A", "1:13: input ends inside a record"},
      {":10000000ZZ\r\n" + eof, "1:10: expected an uppercase hex digit, found 'Z'"},
      {":02000000AA\r\n" + eof, "1:12: line ends inside a record of 2 bytes"},
      {":0100000055AA\r\n", "2:1: input ends before the end-of-file record"},
      {records2000 + eof,
       "2000:1: 2,000 records or more (at most 1,999, end-of-file record included)"},
      {":0100000055AA\r\n:0100000055AA\r\n" + eof, "2:4: data at 0000 overlaps earlier data"},
      {":020000021000EC\r\n" + eof,
       "1:8: address record of type 02 that a 16-bit image cannot honour"},
      {":00000006FA\r\n" + eof, "1:8: unknown record type 06"},
      {":02FFFF00AAAAAC\r\n" + eof, "1:4: data at FFFF takes the image past 65,536 bytes"},
  };
  for (const auto& c : cases) {
    const std::string path = WriteFile("refused.hex", c.text);
    const RunResult result = RunQuillsim("image '" + path + "'");
    EXPECT_EQ(result.exitCode, 1) << c.explanation;
    EXPECT_EQ(result.output, path + ":" + c.explanation + "\n");
  }
}

// The image file holds the image and nothing else, whatever was there.
TEST_F(ImageCommandTest, WritesTheImageBytes) {
  const auto bytes = testing_support::PatternBytes(1000, 8);
  const std::string input = WriteFile("in.hex", testing_support::HexFileFor(bytes, 16, 2));
  const std::string output = (scratch_ / "out.bin").string();
  for (const size_t before : {size_t{0}, size_t{10}, size_t{1000}, size_t{5000}}) {
    std::filesystem::remove(output);
    if (before > 0) WriteFile("out.bin", std::string(before, 'x'));
    written_.push_back("out.bin");
    ASSERT_EQ(RunQuillsim("image '" + input + "' --output '" + output + "'").exitCode, 0);
    EXPECT_EQ(ReadFile(output), std::string(bytes.begin(), bytes.end())) << before;
  }
}

// The plain forms are read without the option parser; everything else goes
// to it, with its errors and help. Both ways read a line alike.
TEST_F(ImageCommandTest, ReadsItsCommandLineAsTheOptionParserDoes) {
  const auto bytes = testing_support::PatternBytes(40, 3);
  const std::string in = "'" + WriteFile("in.hex", testing_support::HexFileFor(bytes, 16, 0)) + "'";
  const std::string out = (scratch_ / "out.bin").string();
  written_.push_back("out.bin");
  const std::string image = "length: 40\n";
  const struct {
    std::string arguments;
    int exitCode;
    std::string outputStart;
    bool writes;
  } cases[] = {
      {"image " + in, 0, image, false},
      {"image " + in + " --output '" + out + "'", 0, image, true},
      {"image --output '" + out + "' " + in, 0, image, true},
      {"image " + in + " -o '" + out + "'", 0, image, true},
      {"image " + in + " '--output=" + out + "'", 0, image, true},
      {"image -- " + in, 0, image, false},
      {"image " + in + " " + in, 2, "The following argument was not expected", false},
      {"image " + in + " -o '" + out + "' --output '" + out + "'", 2, "--output: At Most 1", false},
      {"image " + in + " --output", 2, "--output: 1 required TEXT missing", false},
      {"image " + in + " --output=", 2, "--output: 1 required TEXT missing", false},
      {"image -o '" + out + "'", 2, "FILE is required", false},
      {"image " + in + " --verbose", 2, "The following argument was not expected", false},
      {"image --help", 0, "Build the firmware image of a Flash ROM file", false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(out);
    const RunResult result = RunQuillsim(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
    EXPECT_EQ(result.output.rfind(c.outputStart, 0), 0u) << c.arguments << "\n" << result.output;
    EXPECT_EQ(std::filesystem::exists(out), c.writes) << c.arguments;
    if (c.writes) {
      EXPECT_EQ(ReadFile(out), std::string(bytes.begin(), bytes.end())) << c.arguments;
    }
  }
}

// Every process takes its machine folder with it: the image command's holds
// only its empty Windows directory at the end, a whole run's holds files.
TEST_F(ImageCommandTest, LeavesNoMachineFolderBehind) {
  const auto bytes = testing_support::PatternBytes(40, 3);
  const std::string good = WriteFile("in.hex", testing_support::HexFileFor(bytes, 16, 0));
  const std::string bad = WriteFile("bad.hex", ":0100000041BF\r\n:00000001FF\r\n");
  const std::string update = (std::filesystem::path(SAMPLE_FIRMWARE).parent_path().parent_path() /
                              "scenarios" / "main-update.json")
                                 .string();
  const std::filesystem::path temporary = scratch_ / "tmp";
  const struct {
    std::string arguments;
    int exitCode;
  } cases[] = {
      {"image '" + good + "'", 0},
      {"image '" + good + "' --output '" + (scratch_ / "out.bin").string() + "'", 0},
      {"image '" + bad + "'", 1},
      {"run '" + update + "'", 0},
  };
  written_.insert(written_.end(), {"tmp", "out.bin"});
  for (const auto& c : cases) {
    std::filesystem::create_directory(temporary);
    const RunResult result = RunQuillsim(c.arguments, "TMPDIR='" + temporary.string() + "' ");
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
    EXPECT_TRUE(std::filesystem::is_empty(temporary)) << c.arguments;
    std::filesystem::remove_all(temporary);
  }
}

// A TMPDIR that names no folder is told, with exit 1, before any command
// starts its machine: it used to end in an uncaught exception (exit 134).
TEST_F(ImageCommandTest, AMachineFolderThatCannotBeMadeIsTold) {
  const std::string good =
      WriteFile("in.hex", testing_support::HexFileFor(testing_support::PatternBytes(40, 3), 16, 0));
  const std::string update = (std::filesystem::path(SAMPLE_FIRMWARE).parent_path().parent_path() /
                              "scenarios" / "main-update.json")
                                 .string();
  const std::string missing = (scratch_ / "missing").string();
  for (const std::string& arguments : {"image '" + good + "'", "run '" + update + "'"}) {
    const RunResult result = RunQuillsim(arguments, "TMPDIR='" + missing + "' ");
    EXPECT_EQ(result.exitCode, 1) << arguments << "\n" << result.output;
    EXPECT_NE(result.output.find("quillsim: cannot make the machine's folder (TMPDIR=" + missing),
              std::string::npos)
        << arguments << "\n"
        << result.output;
  }
}

TEST(ImageCommand, SampleFirmwareBuilds) {
  const RunResult result = RunQuillsim(std::string("image '") + SAMPLE_FIRMWARE + "'");
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("header: EE 00 00 "), std::string::npos) << result.output;
}

}  // namespace
