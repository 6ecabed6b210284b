#include "progress_bar.h"

#include <algorithm>
#include <cstdio>

namespace quillsim {

bool ShowsWaitBar(bool terminal, const WaitState& wait) {
  if (!terminal) return false;
  return wait.fixedLength ? wait.length >= kLongWait : wait.elapsed >= kLongWait;
}

std::string FilledBar(int64_t done, int64_t total, int width) {
  const int64_t clamped = total <= 0 ? 1 : std::clamp<int64_t>(done, 0, total);
  const int64_t whole = total <= 0 ? 1 : total;
  const int filled = static_cast<int>(clamped * width / whole);
  return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

std::string MovingBar(winsim::VirtualTime elapsed, int width) {
  constexpr int kBlock = 3;
  const int travel = std::max(1, width - kBlock);  // cells the block moves before it turns
  const int64_t step = std::max<int64_t>(0, elapsed / kBarStep) % (2 * travel);
  const int at = static_cast<int>(step <= travel ? step : 2 * travel - step);
  std::string cells(width, '.');
  for (int i = at; i < std::min(width, at + kBlock); ++i) cells[i] = '#';
  return "[" + cells + "]";
}

std::string SecondsText(winsim::VirtualTime time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(time) / 1e7);
  return text;
}

std::string WaitBarText(const WaitState& wait, int width) {
  if (wait.fixedLength) {
    return wait.what + " " + FilledBar(wait.elapsed, wait.length, width) + " " +
           SecondsText(std::min(wait.elapsed, wait.length));
  }
  const std::string moving =
      wait.what + " " + MovingBar(wait.elapsed, width) + " " + SecondsText(wait.elapsed);
  if (wait.length < 0) return moving;
  return moving + ", time-out in " +
         SecondsText(std::max<winsim::VirtualTime>(0, wait.length - wait.elapsed));
}

namespace {

// "block 6 of 12", "block 6", or "" before the first block.
std::string BlocksText(const DownloadFigures& figures) {
  if (figures.blocksSent == 0) return "";
  return "block " + std::to_string(figures.blocksSent) +
         (figures.imageBlocks > 0 ? " of " + std::to_string(figures.imageBlocks) : "");
}

}  // namespace

std::string DownloadBarText(const DownloadFigures& figures, int width) {
  const bool emptyRange = figures.high <= figures.low;
  const std::string bar =
      emptyRange ? FilledBar(figures.imageBlocks > 0 ? figures.blocksSent : 0,
                             std::max(figures.imageBlocks, 1), width)
                 : FilledBar(figures.pos - figures.low, figures.high - figures.low, width);
  const std::string blocks = BlocksText(figures);
  return "progress " + bar + " " + std::to_string(figures.pos) + "/" +
         std::to_string(figures.high) + (blocks.empty() ? "" : ", " + blocks);
}

std::string DownloadLineText(const DownloadFigures& figures) {
  const std::string blocks = BlocksText(figures);
  return "progress " + std::to_string(figures.pos) + "/" + std::to_string(figures.high) +
         (blocks.empty() ? "" : " (" + blocks + ")");
}

}  // namespace quillsim
