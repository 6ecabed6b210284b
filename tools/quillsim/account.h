// The account of a `quillsim run`: what the user saw, stamped with virtual
// time, and the live line (the download's bar, a long wait's bar) on a
// terminal.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "harness/user_agent.h"
#include "machine/machine.h"
#include "progress_bar.h"

namespace quillsim {

// What the user sees of the program at one moment.
struct View {
  HWND dialog = nullptr;
  std::string topCaption;
  HWND messageBox = nullptr;
  std::string messageText;
  std::string status;
  std::string file;
  std::vector<std::string> devices;
  int selection = -1;
  int progressPos = 0;
  int progressHigh = 0;
  bool animationPlaying = false;
  std::vector<std::string> aboutTexts;
};

std::string WithoutMnemonic(std::string text);

// Watches the screen from the user's thread and tells each visible change.
class Observer {
 public:
  Observer(winsim::UserAgent& agent, winsim::Machine& machine, std::string snapshots, bool verbose);

  bool Live() const { return live_; }

  HWND Dialog() const { return view_.dialog; }
  const View& Last() const { return view_; }
  const std::vector<std::string>& MessageBoxes() const { return boxes_; }

  void Say(const std::string& line);
  void SayAt(winsim::VirtualTime time, const std::string& line);

  // Tells what the log gained since the last look: each progress step, as
  // the bar took it, and with -v the driver's trace and the traffic.
  void Drain();

  // Looks at the screen; prints what changed since the last look.
  void Look();

  // Ends the live line: the download's bar stays on screen, a wait's bar
  // is erased (what the wait came to is told by the lines that follow).
  void EndBar();

  // Draws a long wait's bar, unless the download's bar is running.
  void ShowWait(const WaitState& wait);
  void EndWait();

 private:
  enum class Shown { Nothing, Download, Wait };

  void Tell(const View& now);
  int downloadHigh() const { return progressHigh_ > 0 ? progressHigh_ : 100; }
  void Draw(Shown kind, winsim::VirtualTime time, const std::string& text);
  // On a terminal one bar, redrawn; otherwise a line a step.
  void ShowProgress(winsim::VirtualTime time, int pos);
  void WriteSnapshot();

  winsim::UserAgent& agent_;
  winsim::Machine& machine_;
  std::string snapshots_;
  bool verbose_;
  bool live_;
  Shown shown_ = Shown::Nothing;
  int downloadPos_ = 0;
  size_t logSeen_ = 0;
  int progressHigh_ = 0;
  int snapshotCount_ = 0;
  View view_;
  std::vector<std::string> boxes_;
};

}  // namespace quillsim
