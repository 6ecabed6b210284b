// The account of a `quillsim run`: what the user saw, stamped with virtual
// time, and the live line (the download's bar, a long wait's bar) on a
// terminal.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "expectations.h"
#include "harness/user_agent.h"
#include "machine/machine.h"
#include "progress_bar.h"
#include "scenario_result.h"

namespace quillsim {

// What the program showed last.
struct View {
  HWND dialog = nullptr;  // the main dialog, once shown
  std::string status;
  std::vector<std::string> devices;
};

std::string WithoutMnemonic(std::string text);

// Tells what the program showed, from the machine's event log: one line for
// each change the log records (a message box, a text set, the device list
// filled, each message the progress bar took...), in the log's order and at
// its time, so lines of different kinds never swap places.
class Observer {
 public:
  // On a terminal it draws the bar of an action's wait for the program
  // (the agent's wait tick).
  Observer(winsim::UserAgent& agent, winsim::Machine& machine, std::string snapshots, bool verbose);

  bool Live() const { return live_; }

  // Keeps the account's lines and a picture of the screen at each change
  // (an unchanged screen is not kept again), for reports.
  void Keep() { keep_ = true; }
  // The script step the lines that follow belong to (-1: none), which also
  // names the snapshots.
  void SetStep(int step) {
    step_ = step;
    stepsBegun_ = stepsBegun_ || step >= 0;
  }
  const std::vector<AccountLine>& Lines() const { return lines_; }
  const std::vector<Picture>& Pictures() const { return pictures_; }
  // The blocks of the scenario's image (0: none), for the download's bar.
  void SetImageBlocks(int blocks) { imageBlocks_ = blocks; }

  HWND Dialog() const { return view_.dialog; }
  const View& Last() const { return view_; }
  const std::vector<std::string>& MessageBoxes() const { return boxes_; }
  // What the expectations look at: the texts as the log told them, and the
  // controls' state at the last look.
  quillsim::Seen Seen() const;

  // A line of quillsim's own (the user's actions), after what the log has
  // gained so far.
  void Say(const std::string& line);

  // Tells what the log gained since the last look; with -v also the
  // driver's trace and the traffic. Called when the program is idle.
  void Drain();

  // Drain, and a snapshot of the screen when something was told.
  void Look();

  // Ends the live line: the download's bar stays on screen, a wait's bar
  // is erased (what the wait came to is told by the lines that follow).
  void EndBar();

  // Tells what the log gained, then draws a long wait's bar, unless the
  // download's bar has moved within kLongWait.
  void ShowWait(const WaitState& wait);
  void EndWait();

 private:
  enum class Shown { Nothing, Download, Wait };

  // A window as the log described it.
  struct Window {
    std::string className;
    int id = 0;
    std::string parent;  // the parent's handle as logged; "0x0" for a top-level window
    std::string text;
  };

  // Drain, but a device list still being filled waits for its next line
  // (a wait's bar is drawn whenever its step ends, busy or not).
  void Follow();
  void Tell(const winsim::Event& event);
  // The main dialog's control id of the event's window; 0 for any other.
  int ControlOf(const winsim::Event& event) const;
  void Print(winsim::VirtualTime time, const std::string& line);
  // The device list is told once it is filled: before the next line.
  void FlushDeviceList();
  void Draw(Shown kind, winsim::VirtualTime time, const std::string& text);
  // On a terminal one bar, redrawn; otherwise a line a step.
  void ShowProgress(winsim::VirtualTime time, int pos, bool blockSent);
  void WriteSnapshot();
  // The main dialog's controls as the screen shows them (the program runs).
  void ReadControls();

  winsim::UserAgent& agent_;
  winsim::Machine& machine_;
  std::string snapshots_;
  bool verbose_;
  bool live_;
  Shown shown_ = Shown::Nothing;
  size_t logSeen_ = 0;
  std::map<std::string, Window> windows_;  // by handle, as logged
  std::vector<std::string> created_;       // handles in the order of creation
  std::string dialog_;                     // the main dialog's handle
  bool listChanged_ = false;
  winsim::VirtualTime listTime_ = 0;
  int progressHigh_ = 0;
  int progressLow_ = 0;
  int blocksSent_ = 0;  // position messages since the range was set: one a block
  int imageBlocks_ = 0;
  bool stepsBegun_ = false;               // a step has begun: a step of -1 is the script's end
  winsim::VirtualTime progressTime_ = 0;  // of the last position message
  bool told_ = false;                     // since the last snapshot
  int snapshotCount_ = 0;
  View view_;
  quillsim::Seen controls_;  // the controls' state at the last look
  std::vector<std::string> boxes_;
  bool keep_ = false;
  int step_ = -1;
  std::vector<AccountLine> lines_;
  std::vector<Picture> pictures_;
};

}  // namespace quillsim
