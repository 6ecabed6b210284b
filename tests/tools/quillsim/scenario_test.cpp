// The scenario format: what it accepts, and the JSON path of what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "scenario.h"
#include "harness/xml_text.h"
#include "scratch_machine.h"
#include "sha256.h"

namespace {

using quillsim::ActionKind;
using quillsim::ParseScenario;
using quillsim::ScenarioError;

class ScenarioTest : public testing_support::ScratchMachineTest {
 protected:
  quillsim::Scenario Parse(const std::string& json) {
    return ParseScenario(json, std::string(QUILL_EXAMPLES) + "/scenarios", scratch_ / "files");
  }
  std::string ErrorOf(const std::string& json) {
    try {
      Parse(json);
    } catch (const ScenarioError& error) {
      return error.what();
    }
    return "(accepted)";
  }
};

constexpr const char* kMachine = R"("machine": "../machines/default-nt.json")";

TEST_F(ScenarioTest, ReadsMachineFilesScriptAndExpectations) {
  const auto scenario = Parse(std::string("{") + kMachine + R"(,
    "files": { "sample.hex": "../firmware/sample.hex", "inline.hex": { "text": ":00000001FF\n" } },
    "image": "sample.hex",
    "script": [ { "answer": "OK" }, { "select": 2 }, { "select": "USB Mass Storage Device" },
                { "browse": "sample.hex", "timeoutMs": 5 }, { "press": "Alt+F4" },
                { "wait": 1500 }, { "unplug": "1/1/2" } ],
    "expect": { "status": "", "flash": "untouched", "findings": ["pool-leak"] } })");
  EXPECT_EQ(scenario.device, "1/1/2");  // found in the machine: hub on controller 1, port 2
  ASSERT_EQ(scenario.script.size(), 7u);
  EXPECT_EQ(scenario.script[1].index, 2);
  EXPECT_EQ(scenario.script[2].text, "USB Mass Storage Device");
  EXPECT_EQ(scenario.script[3].kind, ActionKind::Browse);
  EXPECT_EQ(scenario.script[3].timeoutMs, 5);
  EXPECT_EQ(scenario.script[5].milliseconds, 1500);
  EXPECT_EQ(scenario.script[6].kind, ActionKind::Unplug);
  // Names of files become host paths; inline texts are written out.
  EXPECT_TRUE(std::filesystem::is_regular_file(quillsim::ResolveFile(scenario, "inline.hex")));
  EXPECT_EQ(quillsim::ResolveFile(scenario, "C:\\other.hex"), "C:\\other.hex");
  EXPECT_EQ(scenario.expect.flash, "untouched");
}

TEST_F(ScenarioTest, RefusesWithThePathOfTheFault) {
  const std::string m = std::string(kMachine) + ",";
  const struct {
    std::string json;
    std::string error;
  } cases[] = {
      {"{", "/: not valid JSON"},
      {R"({"name": 1e999})", "/: not valid JSON"},  // a number no type holds
      {R"({"script": []})", "/machine: required"},
      {"{" + m + R"("script": [], "colour": 1})", "/colour: unknown key"},
      {"{" + m + R"("script": [{"jump": true}]})", "/script/0/jump: unknown action"},
      {"{" + m + R"("script": [{"click": "OK", "answer": "OK"}]})",
       "/script/0: expected exactly one action"},
      {"{" + m + R"("script": [{"press": "Tab"}]})", "/script/0/press: expected \"Enter\""},
      {"{" + m + R"("script": [{"wait": -1}]})", "/script/0/wait: expected milliseconds"},
      {"{" + m + R"("script": [{"select": -2}]})", "/script/0/select: expected a position"},
      {"{" + m + R"("script": {}})", "/script: expected an array"},
      {"{" + m + R"("files": {"a.hex": "no-such.hex"}, "script": []})",
       "/files/a.hex: no such file"},
      // A name the host cannot even look up (longer than a file name may be)
      // is refused like any missing file, and an inline text under such a
      // name like any text that cannot be written.
      {"{" + m + R"("files": {"a.hex": ")" + std::string(300, 'x') + R"("}, "script": []})",
       "/files/a.hex: no such file"},
      {"{" + m + R"("files": {")" + std::string(300, 'y') + R"(": {"text": "x"}}, "script": []})",
       "/files/" + std::string(300, 'y') + ": cannot write"},
      {"{" + m + R"("files": {"../a.hex": {"text": ""}}, "script": []})",
       "/files/..~1a.hex: expected a plain file name"},  // a JSON pointer escapes '/'

      // Folder names and a NUL are no file names either (the text would not
      // be written, or be written under a shorter name).
      {"{" + m + R"("files": {"..": {"text": "x"}}, "script": []})",
       "/files/..: expected a plain file name"},
      {"{" + m + R"("files": {".": {"text": "x"}}, "script": []})",
       "/files/.: expected a plain file name"},
      // (what() ends at the name's NUL)
      {"{" + m + R"("files": {"a\u0000b": {"text": "x"}}, "script": []})", "/files/a"},
      {"{" + m + R"("script": [], "expect": {"flash": "yes"}})",
       "/expect/flash: expected \"image\" or \"untouched\""},
      {"{" + m + R"("script": [], "expect": {"flash": "image"}})",
       "/expect/flash: needs an /image file"},
      {"{" + m + R"("script": [{"expect": {"applicationEnded": true}}]})",
       "/script/0/expect/applicationEnded: holds only at the end"},
      {"{" + m + R"("script": [], "expect": {"controls": {"Help": "enabled"}}})",
       "/expect/controls/Help: expected deviceList"},
      {"{" + m + R"("script": [], "expect": {"requests": {"header": "EE 0G"}}})",
       "/expect/requests/header: expected hex bytes"},
      {"{" + m + R"("script": [{"sleep": "S5"}]})", "/script/0/sleep: expected true"},
      {"{" + m + R"("script": [{"failAllocation": {"kind": "malloc"}}]})",
       "/script/0/failAllocation/kind: expected"},
      // Names the machine or quillsim knows are checked before the run,
      // with the nearest one.
      {"{" + m + R"("script": [{"click": "Programm"}]})",
       "/script/0/click: expected \"Program\", \"Refresh\", \"Browse\", \"Close\", \"OK\", "
       "\"Cancel\", \"Yes\" or \"No\" (did you mean \"Program\"?)"},
      {"{" + m + R"("script": [{"answer": "Ok"}]})",
       "/script/0/answer: expected \"OK\", "
       "\"Cancel\", \"Yes\" or \"No\" (did you "
       "mean \"OK\"?)"},
      {"{" + m + R"("script": [{"waitfor": "x"}]})",
       "/script/0/waitfor: unknown action (did you mean \"waitFor\"?)"},
      {"{" + m + R"("script": [], "expect": {"stauts": ""}})",
       "/expect/stauts: unknown key (did you mean \"status\"?)"},
      {"{" + m + R"("script": [], "expect": {"controls": {"Progam": "enabled"}}})",
       "/expect/controls/Progam: expected deviceList, fileBox, progressBar or a button: Program, "
       "Refresh, Browse, Close, OK (did you mean \"Program\"?)"},
      {"{" + m + R"("script": [], "expect": {"findings": ["pool-leek"]}})",
       "/expect/findings/0: no verifier rule \"pool-leek\" (did you mean \"pool-leak\"?)"},
      // Ports: absent, empty, or without the device the scenario means.
      {"{" + m + R"("script": [{"unplug": "1/1/9"}]})",
       "/script/0/unplug: the machine has no port 1/1/9 (did you mean \"1/1/"},
      {"{" + m + R"("script": [{"unplug": "1/1/3"}]})",
       "/script/0/unplug: port 1/1/3 of the machine is empty (did you mean \"1/1/2\"?)"},
      {"{" + m + R"("script": [{"replug": "1/1/1"}]})",
       "/script/0/replug: port 1/1/1 of the machine is empty (did you mean \"1/1/2\"?)"},
      {"{" + m + R"("device": "0/1", "script": []})",
       "/device: the device on port 0/1 is a \"mouse\", not a Q417 (did you mean \"1/1/2\"?)"},
      {"{" + m + R"("script": [], "expect": {"flash": {"1/9": "untouched"}}})",
       "/expect/flash/1~19: the machine has no port 1/9"},
      {"{" + m + R"("script": [], "expect": {"requests": {"port": "0/2", "headers": 1}}})",
       "/expect/requests/headers: the device on port 0/2 is no Q417"},
      {"{" + m + R"("script": [], "expect": {"requests": {"arrival": 0}}})",
       "/expect/requests/arrival: expected an integer >= 1"},
      // Waits on events and texts.
      {"{" + m + R"("script": [{"waitFor": {"regex": "(Complete"}}]})",
       "/script/0/waitFor/regex: not a regular expression"},
      {"{" + m + R"("script": [{"waitFor": {"progress": 1, "block": 2}}]})",
       "/script/0/waitFor: expected a text or one of"},
      {"{" + m + R"("script": [{"waitFor": {"progress": 1, "arrival": 2}}]})",
       "/script/0/waitFor/arrival: only with \"updateMode\""},
      {"{" + m + R"("script": [{"waitFor": {"updateMode": "0/2"}}]})",
       "/script/0/waitFor/updateMode: the device on port 0/2 is a \"keyboard\", not a Q417"},
      {"{" + m + R"("script": [{"waitFor": {"block": 0}}]})",
       "/script/0/waitFor/block: expected an integer >= 1"},
      {"{" + m + R"("script": [], "expect": {"messageBoxes": [{"contain": "x"}]}})",
       "/expect/messageBoxes/0/contain: unknown key (did you mean \"contains\"?)"},
      {R"({"machine": {"os": "OS/2"}, "script": []})", "/machine/os: expected one of"},
      {R"({"machine": {"usb": {"controllers": [{"ports": [{"device": {"kind": "mouze"}}]}]}},
          "script": []})",
       "/machine/usb/controllers/0/ports/0/device/kind: expected one of \"generic\", \"mouse\", "
       "\"keyboard\", \"storage\", \"hub\", \"q417\" (did you mean \"mouse\"?)"},
      {R"({"machine": "nowhere.json", "script": []})", "/machine: /: cannot"},
  };
  for (const auto& c : cases) {
    const std::string error = ErrorOf(c.json);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.json << "\n  gave: " << error;
  }
}

// What the checks before the run let through: any device counts its
// update-mode requests, and texts may be given whole, in part or as a
// pattern.
TEST_F(ScenarioTest, ReadsWaitsOnEventsAndTextPatterns) {
  const auto scenario = Parse(std::string("{") + kMachine + R"(,
    "script": [ { "waitFor": {"contains": "Compl"} }, { "waitFor": {"regex": "^C.m"} },
                { "waitFor": {"messageBox": "Complete!"} }, { "waitFor": {"progress": 5} },
                { "waitFor": {"block": 3} }, { "waitFor": {"updateMode": "1/1/2", "arrival": 2} } ],
    "expect": { "requests": [{"port": "0/1", "triggerRequests": 10}, {"arrival": 2, "headers": 1}],
                "messageBoxes": ["Complete!", {"contains": "plete"}, {"regex": "^Comp"}] } })");
  using Kind = quillsim::WaitCondition::Kind;
  using Mode = quillsim::TextMatch::Mode;
  const auto& script = scenario.script;
  ASSERT_EQ(script.size(), 6u);
  EXPECT_EQ(script[0].waitFor.kind, Kind::Text);
  EXPECT_EQ(script[0].waitFor.text.mode, Mode::Contains);
  EXPECT_EQ(script[1].waitFor.text.mode, Mode::Regex);
  EXPECT_EQ(script[2].waitFor.kind, Kind::MessageBox);
  EXPECT_EQ(script[3].waitFor.kind, Kind::Progress);
  EXPECT_EQ(script[3].waitFor.number, 5);
  EXPECT_EQ(script[4].waitFor.port, "1/1/2");  // the scenario's Q417
  EXPECT_EQ(script[5].waitFor.number, 2);
  EXPECT_EQ(scenario.expect.requests[1].arrival, 2);
  // A whole text, a part, a pattern found anywhere.
  const auto& boxes = *scenario.expect.messageBoxes;
  const struct {
    std::string shown;
    bool exact, contains, regex;
  } texts[] = {{"Complete!", true, true, true},
               {"Complete!  ", false, true, true},
               {"Incomplete!", false, true, false},
               {"Compl", false, false, true}};
  for (const auto& t : texts) {
    EXPECT_EQ(boxes[0].Matches(t.shown), t.exact) << t.shown;
    EXPECT_EQ(boxes[1].Matches(t.shown), t.contains) << t.shown;
    EXPECT_EQ(boxes[2].Matches(t.shown), t.regex) << t.shown;
  }
}

TEST(NearestTest, PicksTheClosestNameIgnoringCase) {
  const std::vector<std::string> names = {"Program", "Refresh", "Browse", "Close", "OK"};
  const struct {
    const char* name;
    const char* nearest;
  } cases[] = {{"program", "Program"}, {"Refesh", "Refresh"}, {"Brows", "Browse"},
               {"Clse", "Close"},      {"ok", "OK"},          {"Closed", "Close"}};
  for (const auto& c : cases) EXPECT_EQ(quillsim::Nearest(c.name, names), c.nearest) << c.name;
  EXPECT_EQ(quillsim::Nearest("x", {}), "");
}

TEST(Sha256Test, MatchesTheStandardsTestVectors) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000, 'a'),  // many blocks and a tail
       "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quillsim::Sha256Hex(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()),
              c.digest)
        << c.input.size() << " bytes";
  }
}

// The XML text of JUnit reports and SVG snapshots: always well-formed, UTF-8
// kept whole.
TEST(XmlTextTest, EscapesMarkupAndReplacesWhatXmlCannotCarry) {
  const struct {
    std::string text;
    const char* xml;
  } cases[] = {
      {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c'"},
      {"line\r\n\tnext", "line&#13;&#10;&#9;next"},
      {std::string("\x01\x1f", 2), "??"},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xE9t\xE9", "?t?"},  // an ANSI byte: not UTF-8
      {"\xC3", "?"},         // a sequence cut short by the end
      {"\xE2\x82x", "??x"},  // ... or by a character that does not continue it
      {"\xC0\xAF \xE0\x80\xAF \xF0\x80\x80\xAF", "?? ??? ????"},            // overlong
      {"\xED\xA0\x80 \xF4\x90\x80\x80 \xF5\x80\x80\x80", "??? ???? ????"},  // past the ranges
      {"\xED\x9F\xBF\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xF4\x8F\xBF\xBF"},     // just inside
  };
  for (const auto& c : cases) {
    EXPECT_EQ(winsim::XmlText(c.text), c.xml) << testing::PrintToString(c.text);
  }
}

}  // namespace
