// `quillsim run` and `quillsim demo` as a user runs them: exit status, the
// reason on the last line, the event log and the snapshots.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_machine.h"

namespace {

struct RunResult {
  int exitCode;
  std::string output;  // stdout and stderr together
  std::string LastLine() const {
    std::string text = output;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
  }
};

// On a terminal (a pseudo-terminal that script(1) makes) quillsim draws its
// live line.
RunResult RunQuillsim(const std::string& arguments, bool terminal = false) {
  std::string command = std::string(QUILLSIM_PATH) + " " + arguments;
  command = (terminal ? "script -qec '" + command + "' /dev/null" : command) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  RunResult result{-1, {}};
  std::array<char, 256> chunk;
  while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) result.output += chunk.data();
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class RunCommandTest : public testing_support::ScratchMachineTest {
 protected:
  // A scenario on the main topology with the sample firmware.
  std::string Scenario(const std::string& name, const std::string& script,
                       const std::string& expect) {
    const std::string examples = QUILL_EXAMPLES;
    return WriteFile(name, R"({ "machine": ")" + examples + R"(/machines/default-nt.json",
      "files": { "sample.hex": ")" +
                               examples + R"(/firmware/sample.hex" },
      "script": )" + script + R"(, "expect": )" +
                               expect + "}");
  }
};

TEST_F(RunCommandTest, ExitStatusAndTheReasonOnTheLastLine) {
  const struct {
    std::string name;
    std::string script;
    std::string expect;
    int exitCode;
    std::string lastLine;  // its beginning
  } cases[] = {
      {"unreadable", R"([{"press": "Tab"}])", "{}", 2, "/script/0/press: expected"},
      {"held", R"([{"answer": "OK"}, {"closeBox": true}])",
       R"({"status": "", "flash": "untouched", "applicationEnded": true})", 0, "PASSED"},
      {"wrong-status", R"([{"answer": "OK"}, {"closeBox": true}])", R"({"status": "Error"})", 1,
       "FAILED: status line was \"\", expected \"Error\""},
      {"impossible-step", R"([{"answer": "OK"}, {"select": "No Such Device"}])", "{}", 1,
       "FAILED: step 1 (/script/1): the device list has no such item"},
      // quillsim closes the program after the script: it did end, but not
      // within the script.
      {"program-left-open", R"([{"answer": "OK"}])", R"({"applicationEnded": true})", 1,
       "FAILED: the program did not end within the script (it was still running when the "
       "script ended)"},
      {"ended-within-the-script", R"([{"answer": "OK"}, {"closeBox": true}])",
       R"({"applicationEnded": false})", 1, "FAILED: the program ended within the script"},
      {"flash-written",
       R"([{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"}, {"click": "Program"},
           {"waitFor": "Complete!"}, {"answer": "OK"}, {"click": "Close"}])",
       R"({"flash": "untouched"})", 1, "FAILED: the flash of device 1/1/2 was written"},
      // A disabled button fails an expectation; the script goes on to its end.
      {"disabled-click",
       R"([{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"}, {"click": "Program"},
           {"click": "Refresh"}, {"waitFor": "Complete!"}, {"answer": "OK"}, {"click": "Close"}])",
       R"({"applicationEnded": true})", 1, "FAILED: step 4 (/script/4): Refresh is disabled"},
      {"expect-step", R"([{"answer": "OK"}, {"expect": {"controls": {"Program": "disabled"}}}])",
       "{}", 1, "FAILED: step 1 (/script/1): Program is enabled, expected disabled"},
      {"wrong-boxes", R"([{"answer": "OK"}, {"click": "Program"}, {"answer": "OK"}])",
       R"({"messageBoxes": ["Complete!"]})", 1, "FAILED: message boxes were ["},
      // Texts in part or as patterns; the device's requests per arrival.
      {"patterns",
       R"([{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"}, {"click": "Program"},
           {"waitFor": {"messageBox": {"regex": "^Compl.te!$"}}}, {"answer": "OK"},
           {"waitFor": {"contains": "Update Comp"}, "timeoutMs": 0}, {"click": "Close"}])",
       R"({"messageBoxes": [{"contains": "removable media"}, {"regex": "^Complete!$"}],
           "requests": {"arrival": 1, "triggerRequests": 10, "outTransfers": 13}})",
       0, "PASSED"},
      {"pattern-differs", R"([{"answer": "OK"}, {"closeBox": true}])",
       R"({"messageBoxes": [{"regex": "^removable"}]})", 1,
       "FAILED: message boxes were [\"If the device contains removable media, please remove "
       "the disk."},
      {"no-second-arrival",
       R"([{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"}, {"click": "Program"},
           {"waitFor": "Complete!"}, {"answer": "OK"}, {"click": "Close"}])",
       R"({"requests": {"arrival": 2, "outTransfers": 13}})", 1,
       "FAILED: device 1/1/2: no update-mode arrival 2 (1 so far)"},
      // The trigger's requests reach whichever device is selected; any
      // device counts them.
      {"trigger-to-a-mouse",
       R"([{"answer": "OK"}, {"select": 0}, {"browse": "sample.hex"}, {"click": "Program"},
           {"wait": 5000}, {"expect": {"requests": {"port": "0/1", "triggerRequests": 10}}}])",
       "{}", 0, "PASSED"},
      // A wait that times out tells what was on screen.
      {"wait-times-out", R"([{"answer": "OK"}, {"waitFor": "Never", "timeoutMs": 1000}])", "{}", 1,
       "FAILED: step 1 (/script/1): \"Never\" was not shown in time; on screen: \"Q417 Firmware "
       "Programmer\" showing \"Close\", \"Program\""},
      {"box-on-screen", R"([{"waitFor": {"progress": 3}, "timeoutMs": 1000}])", "{}", 1,
       "FAILED: step 0 (/script/0): the progress bar did not reach 3 in time; on screen: message "
       "box \"quillprog\": \"If the device contains removable media"},
      {"no-block", R"([{"answer": "OK"}, {"waitFor": {"block": 1}, "timeoutMs": 1000}])", "{}", 1,
       "FAILED: step 1 (/script/1): block 1 was not sent to port 1/1/2 in time (0 since the last "
       "header); on screen: \"Q417 Firmware Programmer\""},
  };
  for (const auto& c : cases) {
    const std::string file = Scenario(c.name + ".json", c.script, c.expect);
    const RunResult result = RunQuillsim("run " + file);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.output;
    EXPECT_NE(result.LastLine().find(c.lastLine), std::string::npos)
        << c.name << "\n  last line: " << result.LastLine();
  }
  // The waits on events end when the event comes: an update-mode device
  // arrives 2 s after the trigger, before anything is sent to it; block 3,
  // and the bar's fifth step, are caught as they come.
  const std::string events = Scenario("events.json", R"([{"answer": "OK"}, {"select": 2},
      {"browse": "sample.hex"}, {"click": "Program"},
      {"waitFor": {"updateMode": "1/1/2"}},
      {"expect": {"requests": {"outTransfers": 0, "triggerRequests": 10}}},
      {"waitFor": {"block": 3}}, {"expect": {"requests": {"blocks": [256, 256, 256]}}},
      {"waitFor": {"progress": 5}}, {"expect": {"progress": {"pos": 5}}},
      {"waitFor": {"messageBox": "Complete!"}}, {"answer": "OK"}, {"click": "Close"}])",
                                      R"({"applicationEnded": true})");
  const RunResult waits = RunQuillsim("run " + events);
  EXPECT_EQ(waits.exitCode, 0) << waits.output;
  EXPECT_NE(waits.output.find("user: waits for an update-mode device on port 1/1/2\n"
                              "[   2.023 s] expectations hold"),
            std::string::npos)
      << waits.output;

  const RunResult missing = RunQuillsim("run " + (scratch_ / "absent.json").string());
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.LastLine().find("cannot read"), std::string::npos) << missing.output;
}

// run --schedules: every schedule a whole run with its own verdict; each
// distinct outcome told once with its first schedule, which --seed replays.
TEST_F(RunCommandTest, SchedulesTellEachOutcomeAndItsReplay) {
  const std::string update =
      R"([{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"}, {"click": "Program"},
          {"waitFor": "Complete!"}, {"answer": "OK"}, {"click": "Close"}])";
  const struct {
    std::string name;
    std::string expect;
    std::string arguments;
    int exitCode;
    std::vector<std::string> told;
  } cases[] = {
      {"explored-update",
       R"({"flash": "image", "applicationEnded": true})",
       "--schedules 3",
       0,
       {"3 schedules in ", " s, 1 outcome\n",
        "3 of 3 schedules, first PCT seed 1 (--seed 1):\n"
        "PASSED: the script ran to its end and every expectation held\n"
        "schedule: PCT seed 1 (--seed 1), "}},
      {"explored-from-seed",
       R"({"flash": "image"})",
       "--schedules 2 --seed 40",
       0,
       {"2 of 2 schedules, first PCT seed 40 (--seed 40):\nPASSED"}},
      {"explored-failure",
       R"({"flash": "untouched"})",
       "--schedules 2",
       1,
       {"2 of 2 schedules, first PCT seed 1 (--seed 1):\n"
        "FAILED: the flash of device 1/1/2 was written\nschedule: PCT seed 1"}},
      {"replayed-failure",
       R"({"flash": "untouched"})",
       "--seed 2",
       1,
       {"the device's flash equals the image\n", "schedule: PCT seed 2 (--seed 2), ",
        "FAILED: the flash of device 1/1/2 was written\n"}},
      {"preemption-bounded",
       R"({"flash": "image"})",
       "--schedules 2 --preemptions 1",
       0,
       {"2 schedules in ", "2 of 2 schedules, first no preemption:\nPASSED"}},
  };
  for (const auto& c : cases) {
    const std::string file = Scenario(c.name + ".json", update, c.expect);
    const RunResult result = RunQuillsim("run " + file + " " + c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.output;
    for (const std::string& text : c.told) {
      EXPECT_NE(result.output.find(text), std::string::npos)
          << c.name << ": no \"" << text << "\" in\n"
          << result.output;
    }
  }
}

TEST_F(RunCommandTest, WritesTheEventLogAndSnapshots) {
  const std::string file = Scenario("log.json", R"([{"answer": "OK"}, {"click": "Close"}])", "{}");
  const std::string log = (scratch_ / "events.jsonl").string();
  const std::string svg = (scratch_ / "svg").string();
  const RunResult result = RunQuillsim("run " + file + " --json " + log + " --snapshots " + svg);
  ASSERT_EQ(result.exitCode, 0) << result.output;

  std::ifstream in(log);
  std::string line;
  std::vector<nlohmann::json> records;
  while (std::getline(in, line)) records.push_back(nlohmann::json::parse(line));  // one a line
  ASSERT_GT(records.size(), 10u);
  // The format's version first, the verdict last, each expectation before it.
  EXPECT_EQ(records.front().at("kind"), "Run");
  EXPECT_EQ(records.front().at("fields").at("schemaVersion"), "1");
  EXPECT_EQ(records.back().at("kind"), "Verdict");
  EXPECT_EQ(records.back().at("fields").at("verdict"), "passed");
  EXPECT_EQ(records[records.size() - 2].at("kind"), "Expectation");
  EXPECT_EQ(records[records.size() - 2].at("text"), "script");
  std::set<std::string> kinds;
  for (size_t i = 1; i < records.size(); ++i) {
    kinds.insert(records[i].at("kind").get<std::string>());
    EXPECT_GT(records[i].at("sequence").get<uint64_t>(),
              records[i - 1].at("sequence").get<uint64_t>());
    EXPECT_TRUE(records[i].at("fields").is_object());
  }
  EXPECT_EQ(kinds.count("User"), 1u);
  EXPECT_EQ(kinds.count("Urb"), 1u);  // the device list walks the hubs

  // Each snapshot is named with its order, its step and its time.
  size_t snapshots = 0;
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(svg)) {
    std::ifstream picture(entry.path());
    std::stringstream text;
    text << picture.rdbuf();
    EXPECT_NE(text.str().find("<svg"), std::string::npos) << entry.path();
    names.insert(entry.path().filename().string());
    ++snapshots;
  }
  EXPECT_GE(snapshots, 2u);  // the warning, then the dialog
  EXPECT_EQ(names.count("0001-start-0.000s.svg"), 1u) << testing::PrintToString(names);
  EXPECT_EQ(names.count("0002-step0-0.000s.svg"), 1u) << testing::PrintToString(names);
}

// Two logs of the same run are the same bytes: the IRPs, the program's
// pointers and the driver's are numbered, not printed.
TEST_F(RunCommandTest, TheEventLogIsTheSameForTheSameRun) {
  std::string logs[2];
  for (int i = 0; i < 2; ++i) {
    const std::string path = (scratch_ / ("demo" + std::to_string(i) + ".jsonl")).string();
    ASSERT_EQ(RunQuillsim("demo --json " + path).exitCode, 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    logs[i] = text.str();
  }
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_NE(logs[0].find(R"("irp":"@1")"), std::string::npos);
  EXPECT_NE(logs[0].find("Entering DriverEntry: DriverObject @"), std::string::npos);
  // The driver prints a pointer cut to 32 bits; it has the number of the
  // same address in the IRP records.
  const std::string dispatch = "Dispatch DeviceControl, IRP:@";
  const size_t at = logs[0].find(dispatch);
  ASSERT_NE(at, std::string::npos);
  const std::string number = logs[0].substr(
      at + dispatch.size(),
      logs[0].find_first_not_of("0123456789", at + dispatch.size()) - (at + dispatch.size()));
  EXPECT_NE(logs[0].find(R"("irp":"@)" + number + R"(","major":"IRP_MJ_DEVICE_CONTROL")"),
            std::string::npos)
      << "IRP @" << number;
}

// One scenario's report: its account as printed, its verdict, the capture.
TEST_F(RunCommandTest, OneScenariosReport) {
  const std::string file =
      Scenario("one.json", R"([{"answer": "OK"}, {"click": "Close"}])", R"({"status": "x"})");
  const std::string report = (scratch_ / "one.html").string();
  const RunResult result = RunQuillsim("run " + file + " --report " + report + " --pcap " +
                                       (scratch_ / "one.pcap").string());
  EXPECT_EQ(result.exitCode, 1) << result.output;
  const std::string html = ReadFile(report);
  EXPECT_NE(html.find("data-name=\"one\" data-verdict=\"failed\""), std::string::npos);
  EXPECT_NE(html.find("FAILED: status line was &quot;&quot;, expected &quot;x&quot;"),
            std::string::npos);
  EXPECT_NE(html.find("href=\"data:application/vnd.tcpdump.pcap;base64,"), std::string::npos);
  EXPECT_EQ(html.find("<section", html.find("<section") + 1), std::string::npos);
  // Without a capture asked for, the report still lists the update's USB
  // transfers, read from the whole event log.
  const std::string update =
      Scenario("update.json",
               R"([{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"}, {"click": "Program"},
          {"waitFor": "Complete!"}, {"answer": "OK"}, {"click": "Close"}])",
               "{}");
  const std::string alone = (scratch_ / "update.html").string();
  EXPECT_EQ(RunQuillsim("run " + update + " --report " + alone).exitCode, 0);
  const std::string aloneHtml = ReadFile(alone);
  EXPECT_NE(aloneHtml.find("<table class=\"usb\">"), std::string::npos);
  EXPECT_EQ(aloneHtml.find("No USB transfers."), std::string::npos);
}

// The account tells what the event log recorded, in its order and at its
// time: lines of different kinds do not swap, a change is stamped when it
// happened (not at the next look), and a progress step that leaves the bar
// full still has its line.
TEST_F(RunCommandTest, TheAccountFollowsTheEventLog) {
  const std::string waits = Scenario("wait.json", R"([{"answer": "OK"}, {"select": 2},
      {"browse": "sample.hex"}, {"click": "Program"}, {"wait": 5000}, {"answer": "OK"}])",
                                     "{}");
  const std::string answers = Scenario("answer.json", R"([{"answer": "OK"}, {"select": 2},
      {"browse": "sample.hex"}, {"click": "Program"}, {"answer": "OK"}])",
                                       "{}");
  const struct {
    std::string arguments;
    std::vector<std::string> lines;  // parts of lines that follow in this order
    bool terminal = false;
  } cases[] = {
      {"demo",
       {"progress range 0..100", "progress 0/100", "device list: 0 ", "main dialog",
        "user: clicks Program", "progress 0/100\n", "[   0.000 s] status line: \"Please Wait...\"",
        "animation plays", "progress range 0..11", "progress 1/11 (block 1 of 12)\n",
        "progress 11/11 (block 11 of 12)\n", "progress 11/11 (block 12 of 12)\n",
        "status line: \"Firmware Update Complete.\"", "animation stopped",
        "message box: \"Complete!\"",
        "(update mode, arrival 1): 13 OUT transfers (1 header, 12 blocks), 3005 bytes",
        "image 3000 bytes in 12 blocks: 11 of 256 bytes and one of 184",
        "the device's flash equals the image"}},
      // The blocks are counted anew for each download; Refresh's reset of
      // the bar sends none.
      {"run " + std::string(QUILL_EXAMPLES) + "/scenarios/second-update.json",
       {"progress 11/11 (block 12 of 12)\n", "user: clicks Refresh", "progress 0/11\n",
        "progress range 0..11", "progress 1/11 (block 1 of 12)\n"}},
      // A 64 KiB image: the bar's range is empty, the blocks still count,
      // the last one empty; on a terminal the bar fills by blocks.
      {"run " + std::string(QUILL_EXAMPLES) + "/scenarios/full-flash.json",
       {"image file full-flash.hex: 65536 bytes in 257 blocks: 256 of 256 bytes and an empty one",
        "progress range 0..0", "progress 0/0 (block 1 of 257)\n",
        "progress 0/0 (block 257 of 257)\n",
        "258 OUT transfers (1 header, 257 blocks, 1 of them empty), 65541 bytes"}},
      {"run " + std::string(QUILL_EXAMPLES) + "/scenarios/full-flash.json",
       {"progress [########################################] 0/0, block 257 of 257"},
       true},
      {"run -v " + waits,
       {"user: waits 5000 ms", "QUILLDEV - ", "progress range 0..11", "progress 1/11"}},
      {"run " + answers,
       {"user: clicks Program", "waits for a message box [", "progress [",
        "message box: \"Complete!\""},
       true},
      {"run " + waits, {"waits 5000 ms [", "progress [", "waits 5000 ms ["}, true},
      // Each planned failure where it struck.
      {"run " + std::string(QUILL_EXAMPLES) + "/scenarios/failed-allocations.json",
       {"user: clicks Program", "allocation fails: GlobalAlloc, ", "user: clicks Program",
        "allocation fails: MDL", "user: clicks Program", "allocation fails: C heap, "}},
  };
  for (const auto& c : cases) {
    const RunResult result = RunQuillsim(c.arguments, c.terminal);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    size_t at = 0;
    for (const std::string& line : c.lines) {
      at = result.output.find(line, at);
      ASSERT_NE(at, std::string::npos) << c.arguments << ": \"" << line << "\" not in its place\n"
                                       << result.output;
      at = result.output.find('\n', at);
    }
  }
}

}  // namespace

// `quillsim run PATH...` as a suite: -k and --shard choose the scenarios
// (their names are their paths in the folder), a line each and a summary;
// exit status 0 only when every one passed, 2 when the command line cannot
// be followed.
TEST(RunSuiteTest, SelectsRunsAndSums) {
  const std::string failing = QUILL_FAILING_SCENARIOS;
  const std::string examples = std::string(QUILL_EXAMPLES) + "/scenarios";
  const struct {
    std::string arguments;
    int exitCode;
    std::vector<std::string> ran;  // "VERDICT name", in name order
    std::string said;              // part of the output
  } cases[] = {
      {"run " + examples + " -k about-box -j 2", 0, {"PASSED about-box"}, "1 scenarios in"},
      {"run " + failing + " -k wrong-s",
       1,
       {"FAILED wrong-sequence", "FAILED wrong-status"},
       ": 0 passed, 2 failed, 0 could not be read or run"},
      {"run " + failing + " -k '*read*' -k impossible",
       1,
       {"FAILED impossible-step", "ERROR unreadable"},
       "ERROR: " + failing + "/unreadable.json"},
      // The 2nd of every 3 among the names -k chose.
      {"run " + failing + " -k wrong --shard 2/3",
       1,
       {"FAILED wrong-sequence"},
       "1 scenarios (shard 2/3 of 3)"},
      {"run " + failing + " " + examples + "/about-box.json --shard 3/3",
       1,
       {"ERROR unreadable", "FAILED wrong-status"},
       "(shard 3/3 of 7)"},
      {"run " + failing + " -j 3",
       1,
       {"FAILED expect-step", "FAILED impossible-step", "ERROR unreadable",
        "FAILED wrong-message-boxes", "FAILED wrong-sequence", "FAILED wrong-status"},
       "6 scenarios, 3 at a time"},
      {"run " + failing + " --shard 3/2", 2, {}, "--shard 3/2: expected I/N"},
      {"run " + failing + " -k no-such-scenario", 2, {}, "no scenario's name matches -k"},
      {"run " + failing + " " + failing + "/absent", 2, {}, "absent: no such file or folder"},
  };
  for (const auto& c : cases) {
    const RunResult result = RunQuillsim(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
    std::vector<std::string> ran;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] != '[') continue;
      std::istringstream words(line.substr(line.find(']') + 1));
      std::string verdict, name;
      words >> verdict >> name;
      if (name.back() == ':') name.pop_back();
      ran.push_back(verdict + " " + name);
    }
    std::sort(ran.begin(), ran.end(), [](const std::string& a, const std::string& b) {
      return a.substr(a.find(' ')) < b.substr(b.find(' '));
    });
    EXPECT_EQ(ran, c.ran) << c.arguments << "\n" << result.output;
    EXPECT_NE(result.output.find(c.said), std::string::npos) << c.arguments << "\n"
                                                             << result.output;
  }
}
