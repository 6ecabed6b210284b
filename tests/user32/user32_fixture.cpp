#include "user32_fixture.h"

#include "machine/machine.h"

namespace user32_testing {

void User32Test::SetUp() {
  SimMachineTest::SetUp();
  winsim::DesktopConfig config;
  config.module_resources = QUILLPROG_RES;
  desktop_ = std::make_unique<winsim::Desktop>(config);
}

void User32Test::TearDown() {
  desktop_.reset();
  SimMachineTest::TearDown();
}

void User32Test::Play(std::function<void()> program, std::function<void(winsim::UserAgent&)> user) {
  RunOnMachine([&] {
    machine().Sched().CreateThread("ui", program);
    winsim::UserAgent agent;
    user(agent);
  });
}

void User32Test::InitControls(DWORD classes) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), classes};
  ASSERT_TRUE(InitCommonControlsEx(&controls));
}

std::vector<std::string> User32Test::UserEvents() const {
  return machine_->Log().Texts(winsim::EventKind::User);
}

bool User32Test::Logged(const std::string& text, const std::string& field,
                        const std::string& value) const {
  for (const winsim::Event& event : machine_->Log().OfKind(winsim::EventKind::User)) {
    if (event.text == text && (field.empty() || event.Field(field) == value)) return true;
  }
  return false;
}

std::vector<UINT> Recorder::Messages(UINT only) const {
  std::vector<UINT> messages;
  for (const Entry& entry : entries) {
    if (only == 0 || entry.message == only) messages.push_back(entry.message);
  }
  return messages;
}

namespace {

LRESULT CALLBACK RecorderProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
  if (recorder != nullptr && message >= WM_USER) {
    recorder->entries.push_back({message, wParam, lParam, winsim::Scheduler::CurrentName()});
  } else if (recorder != nullptr && (message == WM_COMMAND || message == WM_CLOSE)) {
    recorder->entries.push_back({message, wParam, lParam, winsim::Scheduler::CurrentName()});
  }
  return DefWindowProcA(hWnd, message, wParam, lParam);
}

}  // namespace

HWND CreateRecorder(Recorder& recorder, HWND parent) {
  WNDCLASSA cls{};
  cls.lpfnWndProc = &RecorderProc;
  cls.lpszClassName = "Recorder";
  RegisterClassA(&cls);  // once per desktop; later calls fail harmlessly
  return CreateWindowExA(0, "Recorder", "recorder",
                         parent != nullptr ? WS_CHILD | WS_VISIBLE : WS_POPUP, 0, 0, 100, 100,
                         parent, nullptr, nullptr, &recorder);
}

}  // namespace user32_testing
