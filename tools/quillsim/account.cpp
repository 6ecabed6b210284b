// The account of a run: what the user saw, and the live line (account.h).
#include "account.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "harness/snapshot.h"
#include "resource.h"

namespace quillsim {
namespace {

namespace fs = std::filesystem;

std::string Seconds(winsim::VirtualTime time) {
  char text[32];
  std::snprintf(text, sizeof text, "[%8.3f s] ", static_cast<double>(time) / 1e7);
  return text;
}

bool IsTrace(winsim::EventKind kind) {
  return kind == winsim::EventKind::DbgPrint || kind == winsim::EventKind::IrpSent ||
         kind == winsim::EventKind::IrpCompleted || kind == winsim::EventKind::Urb ||
         kind == winsim::EventKind::Pnp;
}

// The events the account tells of.
bool IsTold(const winsim::Event& event) {
  return event.kind == winsim::EventKind::User ||
         (event.kind == winsim::EventKind::Note && event.text == "allocation fails");
}

bool IsToldOrTrace(const winsim::Event& event) { return IsTold(event) || IsTrace(event.kind); }

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

// The number a field starts with (as std::stoi reads it), or 0 when it has
// none or it is out of range. Most fields asked are not numbers (a window
// without a control id): without exceptions, since a throw costs more than
// the rest of the account.
int Number(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE || value < INT_MIN || value > INT_MAX) return 0;
  return static_cast<int>(value);
}

// The control id that user32 puts after the class in a child's "window"
// field ("Static 1008").
int IdOf(const std::string& described) {
  const size_t space = described.rfind(' ');
  return space == std::string::npos ? 0 : Number(described.substr(space + 1));
}

}  // namespace

std::string WithoutMnemonic(std::string text) {
  std::string plain;
  for (char c : text) {
    if (c != '&') plain += c;
  }
  return plain;
}

Observer::Observer(winsim::UserAgent& agent, winsim::Machine& machine, std::string snapshots,
                   bool verbose)
    : agent_(agent),
      machine_(machine),
      snapshots_(std::move(snapshots)),
      verbose_(verbose),
      // The live line is redrawn in place: only on a terminal, and not
      // among -v's trace lines. Elsewhere (ctest, pipes) every step is a
      // line of its own and waits print nothing while they last.
      live_(isatty(STDOUT_FILENO) != 0 && !verbose) {
  if (!live_) return;
  agent.SetWaitTick(kBarStep, [this](winsim::VirtualTime waited) {
    ShowWait({"waits until the program is idle", waited, -1, false});
  });
}

void Observer::Say(const std::string& line) {
  Drain();
  Print(machine_.Sched().Now(), line);
}

void Observer::Print(winsim::VirtualTime time, const std::string& line) {
  FlushDeviceList();
  EndBar();
  std::cout << Seconds(time) << line << '\n' << std::flush;
  if (keep_) lines_.push_back({time, step_, line});
  told_ = true;
}

void Observer::Drain() {
  Follow();
  // Drain is called when the program is idle (or has ended): a list being
  // filled is full.
  FlushDeviceList();
}

void Observer::Follow() {
  // Only what the account tells is copied out of the log: with -v the trace
  // too, otherwise not the bus's traffic, which is most of a download's log.
  std::vector<winsim::Event> events;
  logSeen_ = machine_.Log().Since(logSeen_, verbose_ ? IsToldOrTrace : IsTold, events);
  for (const winsim::Event& event : events) {
    if (IsTold(event)) {
      Tell(event);
    } else {
      std::string line = event.Format();
      while (!line.empty() && line.back() == '\n') line.pop_back();
      // A list being filled is told once, full, before the next line of
      // the account (the trace of its filling comes first).
      EndBar();
      std::cout << "    " << line << '\n';
    }
  }
}

int Observer::ControlOf(const winsim::Event& event) const {
  const auto it = windows_.find(event.Field("hwnd"));
  return it != windows_.end() && !dialog_.empty() && it->second.parent == dialog_ ? it->second.id
                                                                                  : 0;
}

void Observer::Tell(const winsim::Event& event) {
  const std::string& what = event.text;
  const std::string hwnd = event.Field("hwnd");
  if (what == "window created") {
    Window window{event.Field("class"), IdOf(event.Field("window")), event.Field("parent"),
                  event.Field("text")};
    if (window.className == "ComboBox" && window.id == IDC_DEVICE_LIST) dialog_ = window.parent;
    windows_[hwnd] = std::move(window);
    created_.push_back(hwnd);
    return;
  }
  if (what == "window destroyed") {
    windows_.erase(hwnd);
    std::erase(created_, hwnd);
    return;
  }
  if (what == "message box shown") {
    boxes_.push_back(event.Field("text"));
    Print(event.time, "message box: \"" + Escaped(event.Field("text")) + "\"");
    return;
  }
  // Allocations that fail, the planned ones among them (failAllocation).
  if (what == "GlobalAlloc fails" || what == "malloc fails") {
    Print(event.time, std::string("allocation fails: ") +
                          (what == "malloc fails" ? "C heap, " : "GlobalAlloc, ") +
                          event.Field("bytes") + " bytes");
    return;
  }
  if (what == "allocation fails") {
    const std::string kind = event.Field("kind");
    Print(event.time, "allocation fails: " +
                          (kind == "Pool"  ? "pool, tag '" + event.Field("tag") + "'"
                           : kind == "Irp" ? std::string("IRP")
                           : kind == "Mdl" ? std::string("MDL")
                                           : std::string("the I/O manager's IRP of a request")));
    return;
  }
  if (what == "file dialog shown") {
    Print(event.time, "file dialog open");
    return;
  }
  if (what == "shown" && windows_.count(hwnd) != 0) {
    const Window& window = windows_[hwnd];
    if (hwnd == dialog_ && view_.dialog == nullptr) {
      view_.dialog = reinterpret_cast<HWND>(std::stoull(hwnd, nullptr, 16));
      Print(event.time, "main dialog \"" + window.text + "\"");
    } else if (window.parent == "0x0" && window.text.rfind("About", 0) == 0) {
      std::string line = "about box \"" + window.text + "\":";
      for (const std::string& child : created_) {
        const Window& control = windows_[child];
        if (control.parent == hwnd && !control.text.empty()) {
          line += " \"" + WithoutMnemonic(control.text) + "\"";
        }
      }
      Print(event.time, line);
    }
    return;
  }
  if (what == "text" && windows_.count(hwnd) != 0) windows_[hwnd].text = event.Field("text");
  switch (ControlOf(event)) {
    case IDC_STATUS:
      if (what == "text") {
        view_.status = event.Field("text");
        Print(event.time, "status line: \"" + view_.status + "\"");
      }
      break;
    case IDC_FILE_PATH:
      if (what == "text") Print(event.time, "file box: \"" + event.Field("text") + "\"");
      break;
    case IDC_DEVICE_LIST:
      if (what == "items cleared") view_.devices.clear();
      if (what == "item added") {
        const size_t index = static_cast<size_t>(std::max(0, Number(event.Field("index"))));
        view_.devices.insert(view_.devices.begin() + std::min(index, view_.devices.size()),
                             event.Field("text"));
      }
      if (what == "item deleted") {
        const size_t index = static_cast<size_t>(std::max(0, Number(event.Field("index"))));
        if (index < view_.devices.size()) view_.devices.erase(view_.devices.begin() + index);
      }
      if (what == "items cleared" || what == "item added" || what == "item deleted") {
        listChanged_ = true;
        listTime_ = event.time;
      }
      if (what == "selection" && Number(event.Field("index")) >= 0) {
        Print(event.time, "selected: \"" + event.Field("text") + "\"");
      }
      break;
    case IDC_ANIMATION:
      if (what == "animation playing") Print(event.time, "animation plays");
      if (what == "animation stopped") Print(event.time, "animation stopped");
      break;
    case IDC_PROGRESS:
      if (what == "progress range") {
        progressHigh_ = Number(event.Field("high"));
        progressLow_ = Number(event.Field("low"));
        blocksSent_ = 0;
        Print(event.time,
              "progress range " + event.Field("low") + ".." + std::to_string(progressHigh_));
      }
      if (what == "progress") {
        // The worker moves the bar by one once a block has gone: those
        // messages since the range was set count the blocks sent.
        const bool blockSent = event.Field("message") == "PBM_DELTAPOS";
        if (blockSent) ++blocksSent_;
        ShowProgress(event.time, Number(event.Field("pos")), blockSent);
      }
      break;
    default:
      break;
  }
}

void Observer::FlushDeviceList() {
  if (!listChanged_) return;
  listChanged_ = false;
  std::string line = "device list:";
  for (size_t i = 0; i < view_.devices.size(); ++i) {
    line += (i ? ", " : " ") + std::to_string(i) + " \"" + view_.devices[i] + "\"";
  }
  if (view_.devices.empty()) line += " (empty)";
  Print(listTime_, line);
}

quillsim::Seen Observer::Seen() const {
  quillsim::Seen seen = controls_;
  seen.messageBoxes = boxes_;
  seen.status = view_.status;
  seen.devices = view_.devices;
  return seen;
}

void Observer::ReadControls() {
  if (view_.dialog == nullptr || !agent_.Control(view_.dialog, IDC_STATUS)) return;
  controls_.controls = agent_.Controls(view_.dialog);
  controls_.minimized = agent_.IsMinimized(view_.dialog);
  if (auto combo = agent_.Combo(view_.dialog, IDC_DEVICE_LIST))
    controls_.selection = combo->selection;
  if (auto progress = agent_.Progress(view_.dialog, IDC_PROGRESS)) {
    controls_.progressPos = progress->pos;
    controls_.progressLow = progress->low;
    controls_.progressHigh = progress->high;
  }
}

void Observer::Look() {
  Drain();
  ReadControls();
  if (told_ && !snapshots_.empty()) WriteSnapshot();
  if (told_ && keep_) {
    std::string svg = winsim::SnapshotScreen();
    if (pictures_.empty() || pictures_.back().svg != svg) {
      pictures_.push_back({machine_.Sched().Now(), step_, lines_.size(), std::move(svg)});
    }
  }
  told_ = false;
}

void Observer::EndBar() {
  if (shown_ == Shown::Download) std::cout << '\n';
  if (shown_ == Shown::Wait) std::cout << "\r\x1b[K" << std::flush;
  shown_ = Shown::Nothing;
}

void Observer::ShowWait(const WaitState& wait) {
  if (!live_) return;
  Follow();
  if (!ShowsWaitBar(live_, wait)) return;
  // The download's bar keeps the line while it moves (the position says
  // nothing: a range may be shorter than the steps, or 0); once it has
  // rested for kLongWait it stays above the wait's bar.
  if (shown_ == Shown::Download && machine_.Sched().Now() - progressTime_ < kLongWait) return;
  if (shown_ == Shown::Download) EndBar();
  Draw(Shown::Wait, machine_.Sched().Now(), WaitBarText(wait));
}

void Observer::EndWait() {
  if (shown_ == Shown::Wait) EndBar();
}

void Observer::Draw(Shown kind, winsim::VirtualTime time, const std::string& text) {
  std::cout << '\r' << Seconds(time) << text << "\x1b[K" << std::flush;
  shown_ = kind;
}

void Observer::ShowProgress(winsim::VirtualTime time, int pos, bool blockSent) {
  progressTime_ = time;
  // Only the worker's steps tell blocks; a reset to 0 (Program, Refresh)
  // tells none.
  const DownloadFigures figures{pos, progressLow_, progressHigh_, blockSent ? blocksSent_ : 0,
                                imageBlocks_};
  if (live_) {
    FlushDeviceList();
    Draw(Shown::Download, time, DownloadBarText(figures));
    if (keep_) lines_.push_back({time, step_, DownloadLineText(figures)});
    told_ = true;
  } else {
    Print(time, DownloadLineText(figures));
  }
}

void Observer::WriteSnapshot() {
  char name[64];
  const std::string step = step_ >= 0    ? "step" + std::to_string(step_)
                           : stepsBegun_ ? std::string("end")
                                         : std::string("start");
  std::snprintf(name, sizeof name, "%04d-%s-%.3fs.svg", ++snapshotCount_, step.c_str(),
                static_cast<double>(machine_.Sched().Now()) / 1e7);
  std::ofstream(fs::path(snapshots_) / name) << winsim::SnapshotScreen();
}

}  // namespace quillsim
