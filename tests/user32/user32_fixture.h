// A simulated machine with a desktop whose program module is quillprog's
// compiled resources, and helpers to run a program thread against the user
// agent.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness/user_agent.h"
#include "sim_machine.h"
#include "user32/desktop.h"

namespace user32_testing {

inline constexpr winsim::VirtualTime kMillisecond = winsim::kTicksPerMillisecond;

class User32Test : public testing_support::SimMachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs `program` on a simulated thread "ui" and `user` on the test's own
  // simulated thread, which plays the user; expects no hang.
  void Play(std::function<void()> program, std::function<void(winsim::UserAgent&)> user);

  // Registers the progress bar and the animation control.
  static void InitControls(DWORD classes = ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS);

  // The texts of the event log's User events, in order.
  std::vector<std::string> UserEvents() const;
  // Whether a User event with this text (and field value, if given) exists.
  bool Logged(const std::string& text, const std::string& field = "",
              const std::string& value = "") const;

  std::unique_ptr<winsim::Desktop> desktop_;
};

// A top-level window of a class whose procedure records what it receives.
struct Recorder {
  struct Entry {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::string thread;
  };
  std::vector<Entry> entries;
  std::vector<UINT> Messages(UINT only = 0) const;
};
// Creates a recording window on the calling thread (class "Recorder").
HWND CreateRecorder(Recorder& recorder, HWND parent = nullptr);

}  // namespace user32_testing
