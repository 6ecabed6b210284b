// The account of a run: what the user saw, and the live line (account.h).
#include "account.h"

#include <unistd.h>

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

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
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
      live_(isatty(STDOUT_FILENO) != 0 && !verbose) {}

void Observer::Say(const std::string& line) { SayAt(machine_.Sched().Now(), line); }

void Observer::SayAt(winsim::VirtualTime time, const std::string& line) {
  EndBar();
  std::cout << Seconds(time) << line << '\n' << std::flush;
}

void Observer::Drain() {
  for (const winsim::Event& event : machine_.Log().Since(logSeen_)) {
    ++logSeen_;
    if (event.kind == winsim::EventKind::User && event.text == "progress range") {
      progressHigh_ = std::stoi("0" + event.Field("high"));
    } else if (event.kind == winsim::EventKind::User && event.text == "progress") {
      ShowProgress(event.time, std::stoi("0" + event.Field("pos")));
    } else if (verbose_ && IsTrace(event.kind)) {
      std::string line = event.Format();
      while (!line.empty() && line.back() == '\n') line.pop_back();
      EndBar();
      std::cout << "    " << line << '\n';
    }
  }
}

void Observer::Look() {
  Drain();
  View now = view_;
  HWND top = agent_.TopWindow();
  now.topCaption = top != nullptr ? agent_.Caption(top) : "";
  if (top != nullptr && agent_.Control(top, IDC_DEVICE_LIST)) now.dialog = top;
  const auto box = agent_.MessageBox();
  now.messageBox = box ? box->window : nullptr;
  now.messageText = box ? box->text : "";
  now.aboutTexts.clear();
  if (top != nullptr && !box && now.topCaption.rfind("About", 0) == 0) {
    for (const auto& control : agent_.Controls(top)) {
      if (!control.text.empty()) now.aboutTexts.push_back(WithoutMnemonic(control.text));
    }
  }
  if (now.dialog != nullptr && agent_.Control(now.dialog, IDC_STATUS)) {
    now.status = agent_.Text(now.dialog, IDC_STATUS);
    now.file = agent_.Text(now.dialog, IDC_FILE_PATH);
    if (auto combo = agent_.Combo(now.dialog, IDC_DEVICE_LIST)) {
      now.devices = combo->items;
      now.selection = combo->selection;
    }
    if (auto progress = agent_.Progress(now.dialog, IDC_PROGRESS)) {
      now.progressPos = progress->pos;
      now.progressHigh = progress->high;
    }
    if (auto animation = agent_.Animation(now.dialog, IDC_ANIMATION)) {
      now.animationPlaying = animation->playing;
    }
  }
  Tell(now);
  view_ = std::move(now);
}

void Observer::EndBar() {
  if (shown_ == Shown::Download) std::cout << '\n';
  if (shown_ == Shown::Wait) std::cout << "\r\x1b[K" << std::flush;
  shown_ = Shown::Nothing;
}

void Observer::ShowWait(const WaitState& wait) {
  if (!ShowsWaitBar(live_, wait)) return;
  if (shown_ == Shown::Download && downloadPos_ < downloadHigh()) return;
  Draw(Shown::Wait, machine_.Sched().Now(), WaitBarText(wait));
}

void Observer::EndWait() {
  if (shown_ == Shown::Wait) EndBar();
}

void Observer::Tell(const View& now) {
  bool changed = false;
  auto note = [&](const std::string& line) {
    Say(line);
    changed = true;
  };
  if (now.messageBox != nullptr && now.messageBox != view_.messageBox) {
    boxes_.push_back(now.messageText);
    note("message box: \"" + Escaped(now.messageText) + "\"");
  }
  if (!now.aboutTexts.empty() && now.aboutTexts != view_.aboutTexts) {
    std::string line = "about box \"" + now.topCaption + "\":";
    for (const auto& text : now.aboutTexts) line += " \"" + text + "\"";
    note(line);
  }
  if (now.dialog != nullptr && view_.dialog == nullptr)
    note("main dialog \"" + now.topCaption + "\"");
  if (now.devices != view_.devices) {
    std::string line = "device list:";
    for (size_t i = 0; i < now.devices.size(); ++i) {
      line += (i ? ", " : " ") + std::to_string(i) + " \"" + now.devices[i] + "\"";
    }
    if (now.devices.empty()) line += " (empty)";
    note(line);
  }
  if (now.selection != view_.selection && now.selection >= 0 &&
      now.selection < static_cast<int>(now.devices.size())) {
    note("selected: \"" + now.devices[now.selection] + "\"");
  }
  if (now.file != view_.file) note("file box: \"" + now.file + "\"");
  if (now.status != view_.status) note("status line: \"" + now.status + "\"");
  if (now.animationPlaying != view_.animationPlaying) {
    note(now.animationPlaying ? "animation plays" : "animation stopped");
  }
  if (now.progressHigh != view_.progressHigh) {
    note("progress range 0.." + std::to_string(now.progressHigh));
  }
  changed = changed || now.progressPos != view_.progressPos;
  if (changed && !snapshots_.empty()) WriteSnapshot();
}

void Observer::Draw(Shown kind, winsim::VirtualTime time, const std::string& text) {
  std::cout << '\r' << Seconds(time) << text << "\x1b[K" << std::flush;
  shown_ = kind;
}

void Observer::ShowProgress(winsim::VirtualTime time, int pos) {
  downloadPos_ = pos;
  if (live_) {
    Draw(Shown::Download, time, DownloadBarText(pos, progressHigh_));
  } else {
    SayAt(time, "progress " + std::to_string(pos) + "/" + std::to_string(downloadHigh()));
  }
}

void Observer::WriteSnapshot() {
  char name[32];
  std::snprintf(name, sizeof name, "%04d.svg", ++snapshotCount_);
  std::ofstream(fs::path(snapshots_) / name) << winsim::SnapshotScreen();
}

}  // namespace quillsim
