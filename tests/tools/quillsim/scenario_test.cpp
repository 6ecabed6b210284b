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
       "/files/../a.hex: expected a plain file name"},
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
      {R"({"machine": {"os": "OS/2"}, "script": []})", "/machine: /os: expected one of"},
      {R"({"machine": "nowhere.json", "script": []})", "/machine: /: cannot"},
  };
  for (const auto& c : cases) {
    const std::string error = ErrorOf(c.json);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.json << "\n  gave: " << error;
  }
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
