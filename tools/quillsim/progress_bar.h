// quillsim's live line on a terminal: the bar of a long wait and the
// download's bar, as text. Pure functions of the state, so the rendering is
// tested without a terminal; run_command.cpp decides when to draw them
// (stdout a terminal) and redraws them in place.
#pragma once

#include <cstdint>
#include <string>

#include "ground/scheduler.h"

namespace quillsim {

// A wait shows its bar once it has lasted this long (a "wait" action of at
// least this length shows it from the start)...
inline constexpr winsim::VirtualTime kLongWait = 1000 * winsim::kTicksPerMillisecond;
// ...and the bar is redrawn at this step of virtual time.
inline constexpr winsim::VirtualTime kBarStep = 100 * winsim::kTicksPerMillisecond;

struct WaitState {
  std::string what;             // "waits 5.0 s", "waits for \"Complete!\""
  winsim::VirtualTime elapsed;  // since the wait began
  winsim::VirtualTime length;   // a "wait": its length; otherwise the time-out (< 0: none)
  bool fixedLength;             // a "wait" (ends at length) or an open wait
};

// Whether the wait's bar is shown: on a terminal, for a "wait" of kLongWait
// or more, or an open wait that has lasted kLongWait.
bool ShowsWaitBar(bool terminal, const WaitState& wait);

// "[#####.....]": width cells, filled in proportion done/total (clamped to
// 0..total; a total of 0 or less counts as done).
std::string FilledBar(int64_t done, int64_t total, int width);

// "[...###....]": a block of 3 cells that moves one cell a kBarStep and
// turns at the ends, for a wait whose end is not known.
std::string MovingBar(winsim::VirtualTime elapsed, int width);

// The live line of a wait:
//   a "wait":   waits 5.0 s [############..................] 2.0 s
//   open wait:  waits for "Complete!" [.....###.................] 3.1 s, time-out in 596.9 s
//   no time-out: waits until the program is idle [..###......] 1.2 s
std::string WaitBarText(const WaitState& wait, int width = 30);

// What the download's bar and its lines tell: the bar's position and range
// as the program set them, and the blocks sent so far (the worker's steps
// since the range was set) of the image's blocks (0: not known).
struct DownloadFigures {
  int pos = 0;
  int low = 0;
  int high = 0;
  int blocksSent = 0;
  int imageBlocks = 0;
};

// The live line of the download:
//   progress [####....] 5/11, block 6 of 12
// The bar fills as the position moves in its range; an empty range (0..0,
// the range the program sets for a 64 KiB image) fills it by blocks sent.
std::string DownloadBarText(const DownloadFigures& figures, int width = 40);
// The line of a progress step where there is no live line:
//   progress 5/11 (block 6 of 12)
std::string DownloadLineText(const DownloadFigures& figures);

// Seconds with one decimal: "2.0 s".
std::string SecondsText(winsim::VirtualTime time);

}  // namespace quillsim
