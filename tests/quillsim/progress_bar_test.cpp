// The live line's text: when a wait shows a bar, how the bars fill and
// move, and the lines a wait and the download draw.
#include <gtest/gtest.h>

#include "progress_bar.h"

namespace {

using quillsim::kBarStep;
using quillsim::kLongWait;
using quillsim::WaitState;
constexpr winsim::VirtualTime kMs = winsim::kTicksPerMillisecond;

TEST(ProgressBar, ALongWaitShowsItsBarOnATerminalOnly) {
  struct Case {
    bool terminal;
    WaitState wait;
    bool shown;
  };
  const Case cases[] = {
      {true, {"waits 5000 ms", 0, 5000 * kMs, true}, true},  // a long "wait", from its start
      {true, {"waits 999 ms", 500 * kMs, 999 * kMs, true}, false},
      {true, {"waits 1000 ms", 0, kLongWait, true}, true},
      {true, {"waits for \"x\"", kLongWait - 1, 600'000 * kMs, false}, false},  // not long yet
      {true, {"waits for \"x\"", kLongWait, 600'000 * kMs, false}, true},
      {false, {"waits 5000 ms", 0, 5000 * kMs, true}, false},  // ctest, pipes
      {false, {"waits for \"x\"", 9000 * kMs, 600'000 * kMs, false}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quillsim::ShowsWaitBar(c.terminal, c.wait), c.shown)
        << c.wait.what << " at " << c.wait.elapsed << " terminal " << c.terminal;
  }
}

TEST(ProgressBar, FilledBarIsInProportionAndClamped) {
  struct Case {
    int64_t done;
    int64_t total;
    int width;
    const char* text;
  };
  const Case cases[] = {
      {0, 10, 10, "[..........]"},  {5, 10, 10, "[#####.....]"}, {10, 10, 10, "[##########]"},
      {3, 11, 10, "[##........]"},  // rounds down: full only when done
      {10, 11, 10, "[#########.]"}, {15, 10, 4, "[####]"},       {-2, 10, 4, "[....]"},
      {0, 0, 4, "[####]"},  // nothing to do is done
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quillsim::FilledBar(c.done, c.total, c.width), c.text)
        << c.done << "/" << c.total << " width " << c.width;
  }
}

TEST(ProgressBar, MovingBarStepsAndTurnsAtTheEnds) {
  struct Case {
    winsim::VirtualTime elapsed;
    const char* text;
  };
  // Width 6: the block of 3 travels 3 cells, then comes back.
  const Case cases[] = {
      {0, "[###...]"},
      {kBarStep - 1, "[###...]"},
      {kBarStep, "[.###..]"},
      {3 * kBarStep, "[...###]"},
      {4 * kBarStep, "[..###.]"},
      {6 * kBarStep, "[###...]"},  // back at the start
      {7 * kBarStep, "[.###..]"},
      {-5, "[###...]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quillsim::MovingBar(c.elapsed, 6), c.text) << c.elapsed;
  }
}

TEST(ProgressBar, WaitAndDownloadLines) {
  struct Case {
    std::string line;
    const char* expected;
  };
  const Case cases[] = {
      {quillsim::WaitBarText({"waits 5000 ms", 2000 * kMs, 5000 * kMs, true}, 10),
       "waits 5000 ms [####......] 2.0 s"},
      {quillsim::WaitBarText({"waits 5000 ms", 5100 * kMs, 5000 * kMs, true}, 10),
       "waits 5000 ms [##########] 5.0 s"},
      {quillsim::WaitBarText({"waits for \"Complete!\"", 3000 * kMs, 600'000 * kMs, false}, 6),
       "waits for \"Complete!\" [###...] 3.0 s, time-out in 597.0 s"},
      {quillsim::WaitBarText({"waits until the program is idle", 9 * kLongWait, kLongWait, false},
                             6),
       "waits until the program is idle [###...] 9.0 s, time-out in 0.0 s"},
      {quillsim::DownloadBarText(5, 11, 11), "progress [#####......] 5/11"},
      {quillsim::DownloadBarText(3, 0, 10), "progress [..........] 3/100"},  // range not yet set
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, c.expected);
}

}  // namespace
