// A suite's pieces: which files are its scenarios, which a run selects, the
// diff of a failed expectation's texts, a result handed between processes,
// and the report's escaping of what scenarios bring.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "report.h"
#include "scenario_result.h"
#include "suite.h"

namespace {

namespace fs = std::filesystem;
using quillsim::SuiteEntry;

std::vector<std::string> Names(const std::vector<SuiteEntry>& entries) {
  std::vector<std::string> names;
  for (const SuiteEntry& entry : entries) names.push_back(entry.name);
  return names;
}

class SuiteTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("quillsim-suite-test-" + std::to_string(getpid()));
    fs::remove_all(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Write(const std::string& name, const std::string& text) {
    const fs::path path = folder_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
  }

  fs::path folder_;
};

TEST_F(SuiteTest, AFolderGivesEveryScenarioBeneathItAndNothingElse) {
  Write("suite/b.json", R"({"machine": "pc.json", "script": []})");
  Write("suite/a/deep/c.json", R"({"script": []})");
  Write("suite/a/only-a-machine.json", R"({"machine": "pc.json"})");
  Write("suite/machines/pc.json", R"({"os": "nt", "usb": {}})");
  Write("suite/broken.json", "{ not json");  // a scenario that cannot be read
  Write("suite/notes.txt", "not a scenario");
  const std::string alone = Write("alone.json", R"({"script": []})");
  const std::string another = Write("other/b.json", R"({"script": []})");
  const std::vector<SuiteEntry> entries = quillsim::CollectScenarios(
      {(folder_ / "suite").string(), alone, (folder_ / "suite" / "b.json").string(), another});
  EXPECT_EQ(Names(entries),
            (std::vector<std::string>{"a/deep/c", "a/only-a-machine", "b", "broken", "alone",
                                      (folder_ / "other" / "b").generic_string()}));
  EXPECT_EQ(entries[4].file, alone);

  Write("empty/machines/pc.json", R"({"os": "nt"})");
  const struct {
    std::string path;
    std::string message;
  } refused[] = {{(folder_ / "absent").string(), "no such file or folder"},
                 {(folder_ / "empty").string(), "no scenario"}};
  for (const auto& c : refused) {
    try {
      quillsim::CollectScenarios({c.path});
      ADD_FAILURE() << c.path << " was taken";
    } catch (const quillsim::SuiteError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

TEST(SuiteSelection, NamesAndShards) {
  const struct {
    std::string name;
    std::string pattern;
    bool matches;
  } names[] = {
      {"updates/main-update", "main", true},       {"updates/main-update", "Main", false},
      {"updates/main-update", "main*", false},     {"updates/main-update", "*main*", true},
      {"updates/main-update", "updates/*", true},  {"block-failure", "block-failure?", false},
      {"block-failure", "block-[fx]ailure", true}, {"block-failure", "", true},
  };
  for (const auto& c : names) {
    EXPECT_EQ(quillsim::NameMatches(c.name, c.pattern), c.matches) << c.name << " / " << c.pattern;
  }

  const struct {
    std::string text;
    int index;  // 0: refused
    int count;
  } shards[] = {{"1/1", 1, 1}, {"2/4", 2, 4}, {"4/4", 4, 4},  {"0/4", 0, 0},  {"5/4", 0, 0},
                {"1/0", 0, 0}, {"2", 0, 0},   {"2/4x", 0, 0}, {"-1/4", 0, 0}, {"", 0, 0}};
  for (const auto& c : shards) {
    const auto shard = quillsim::ParseShard(c.text);
    EXPECT_EQ(shard.has_value(), c.index != 0) << c.text;
    if (shard && c.index != 0) {
      EXPECT_EQ(shard->index, c.index) << c.text;
      EXPECT_EQ(shard->count, c.count) << c.text;
    }
  }

  std::vector<SuiteEntry> entries;
  for (const char* name : {"a1", "b2", "a3", "b4", "a5", "b6", "a7"})
    entries.push_back({name, name});
  const struct {
    std::vector<std::string> patterns;
    std::optional<quillsim::Shard> shard;
    std::vector<std::string> selected;
  } selections[] = {
      {{}, std::nullopt, {"a1", "b2", "a3", "b4", "a5", "b6", "a7"}},
      {{"a"}, std::nullopt, {"a1", "a3", "a5", "a7"}},
      {{"1", "b*"}, std::nullopt, {"a1", "b2", "b4", "b6"}},
      // Every N-th from the shard's own, counted among the names selected.
      {{}, quillsim::Shard{1, 3}, {"a1", "b4", "a7"}},
      {{}, quillsim::Shard{3, 3}, {"a3", "b6"}},
      {{"a"}, quillsim::Shard{2, 2}, {"a3", "a7"}},
      {{"a"}, quillsim::Shard{5, 5}, {}},
  };
  for (const auto& c : selections) {
    EXPECT_EQ(Names(quillsim::SelectScenarios(entries, c.patterns, c.shard)), c.selected)
        << testing::PrintToString(c.patterns);
  }
}

TEST(ReportDiff, LinesExpectedAndSeenInOrder) {
  using Diff = std::vector<std::pair<char, std::string>>;
  const struct {
    std::string expected;
    std::string actual;
    Diff diff;
  } cases[] = {
      {"Complete!\n", "Complete!\n", {{' ', "Complete!"}}},
      {"Failed.\n", "Complete.\n", {{'-', "Failed."}, {'+', "Complete."}}},
      {"warning\nComplete!\n",
       "warning\nNo device\nComplete!\n",
       {{' ', "warning"}, {'+', "No device"}, {' ', "Complete!"}}},
      {"a\nb\nc\n", "a\nc\n", {{' ', "a"}, {'-', "b"}, {' ', "c"}}},
      {"", "one\n", {{'+', "one"}}},
      {"header\nblock 512\nblock 440\n",
       "header\nblock 256\nblock 256\n",
       {{' ', "header"},
        {'-', "block 512"},
        {'-', "block 440"},
        {'+', "block 256"},
        {'+', "block 256"}}},
  };
  for (const auto& c : cases) {
    Diff diff;
    for (const auto& line : quillsim::LineDiff(c.expected, c.actual)) {
      diff.emplace_back(line.kind, line.text);
    }
    EXPECT_EQ(diff, c.diff) << c.expected << "--\n" << c.actual;
  }
}

quillsim::ScenarioResult Hostile() {
  quillsim::ScenarioResult result;
  result.name = "x<b>y";
  result.file = "x&y.json";
  result.title = "<script>alert(1)</script>";
  result.verdict = quillsim::Verdict::Failed;
  result.seconds = 0.25;
  result.endTime = 30'590'000;
  result.output = "</pre><script>";
  result.outcomes = {{"/expect/status", "was \"<i>\"", "<u>expected</u>\n", "<img src=x>\n"}};
  result.lines = {{0, -1, "quillprog starts"}, {20'000, 0, "status line: \"</li><script>\""}};
  result.pictures = {{0, -1, 1, "<svg xmlns=\"http://www.w3.org/2000/svg\"><g id=\"1\"/></svg>"}};
  result.transfers = {{1, 2, 0, 30'000, "1.3", "0x80", "control", "0x0008", "8006000200000900",
                       "0x00000000", 9, "<&>"}};
  return result;
}

// What a scenario brings (names, texts it made the program show, expected
// texts) is text on the page, never markup.
TEST(Report, TextsOfTheScenarioAreNeverMarkup) {
  const std::string html = quillsim::ReportHtml({Hostile()});
  for (const char* raw : {"<script>alert", "<b>y", "</pre><script>", "<img src=x>", "<u>expected",
                          "</li><script>", "<i>", "<&>"}) {
    EXPECT_EQ(html.find(raw), std::string::npos) << raw;
  }
  for (const char* escaped : {"&lt;script&gt;alert(1)&lt;/script&gt;", "x&lt;b&gt;y",
                              "x&amp;y.json", "+ &lt;img src=x&gt;", "&lt;&amp;&gt;"}) {
    EXPECT_NE(html.find(escaped), std::string::npos) << escaped;
  }
  // The page's one script, and the picture as markup of its own.
  EXPECT_EQ(html.find("<script>"), html.rfind("<script>"));
  EXPECT_NE(html.find("<template data-svg=\"0\"><svg"), std::string::npos);
}

TEST(ScenarioResult, CrossesBetweenProcessesWhole) {
  const quillsim::ScenarioResult sent = Hostile();
  const quillsim::ScenarioResult got = quillsim::ResultFromJson(quillsim::ResultToJson(sent));
  EXPECT_EQ(quillsim::ResultToJson(got), quillsim::ResultToJson(sent));
  EXPECT_EQ(got.verdict, quillsim::Verdict::Failed);
  ASSERT_EQ(got.transfers.size(), 1u);
  EXPECT_EQ(got.transfers[0].completeFrame, 2u);
  ASSERT_EQ(got.pictures.size(), 1u);
  EXPECT_EQ(got.pictures[0].svg, sent.pictures[0].svg);
  EXPECT_THROW(quillsim::ResultFromJson("{\"name\": 1}"), std::exception);
}

}  // namespace
