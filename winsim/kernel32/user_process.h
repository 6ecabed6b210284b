// winsim: the application's process, for the app runner (quillsim, tests)
// and the rest of winsim's user mode.
//
// One application runs at a time. Its process state (the handle table, the
// GlobalAlloc blocks, thread ids) starts fresh with BeginApplication and is
// checked and released by EndApplication, as Windows releases a process's
// handles and memory when it ends: every handle still open and every block
// not freed is a verifier finding that names what it is and where it was
// opened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

class Machine;

namespace rule {
inline constexpr std::string_view kHandleLeak = "handle-leak";  // open at the application's end
inline constexpr std::string_view kInvalidHandle =
    "invalid-handle";  // closed twice, or never opened
inline constexpr std::string_view kGlobalLeak = "global-memory-leak";  // GlobalAlloc never freed
inline constexpr std::string_view kGlobalBadFree = "global-bad-free";  // unknown or double free
inline constexpr std::string_view kInvalidParameter =
    "invalid-parameter";  // a call Windows would crash on
}  // namespace rule

namespace kernel32 {

// Runs main as the application's main thread on a simulated thread of the
// machine: BeginApplication, main, then (once main has returned or called
// ExitThread) it waits for every thread the application created with
// CreateThread, and EndApplication. Returns Machine::Run's result (false on
// a hang).
//
// Windows ends a process's other threads when its main thread returns from
// WinMain; winsim lets them finish, so that what they leave behind is
// reported rather than cut off.
bool RunApplication(Machine& machine, std::function<void()> main);

// The two halves of RunApplication, for tests that drive kernel32 directly.
// EndApplication must run on a simulated thread (it closes device handles).
void BeginApplication();
void EndApplication();

// What the application holds now.
struct OpenHandle {
  HANDLE handle = nullptr;
  std::string kind;      // "file", "thread", "event"
  std::string what;      // "\\.\QUILLDEV", "thread 8", "event"
  std::string openedBy;  // "CreateFileA on thread 'main' at 0.000000 s"
};
std::vector<OpenHandle> OpenHandles();
size_t OutstandingGlobalBlocks();

// Fault injection for sweeps: the ordinal-th GlobalAlloc of the next (or
// current) application run fails with ERROR_NOT_ENOUGH_MEMORY. Ordinals
// count from 1 since BeginApplication; the plans are dropped by
// EndApplication.
void FailGlobalAllocNth(uint64_t ordinal);
uint64_t GlobalAllocCount();

// The application's module. GetModuleFileNameA reports
// "C:\Program Files\Q417\quillprog.exe" unless a test names another.
inline constexpr std::string_view kDefaultModulePath = "C:\\Program Files\\Q417\\quillprog.exe";
void SetModulePath(std::string windowsPath);
std::string ModulePath();

}  // namespace kernel32
}  // namespace winsim
