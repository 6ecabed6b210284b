// What the Win32 test programs run under Wine share: checks that print
// "PASS name" or "FAIL name: detail" (the exit code counts the failures),
// and the few calls that find and drive another process's windows.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace wine_checks {

inline int passed = 0;
inline int failed = 0;

// Wine starts slowly on a busy machine.
constexpr DWORD kWindowTimeoutMs = 60000;
constexpr DWORD kSendTimeoutMs = 30000;

inline void Check(const std::string& name, bool ok, const std::string& detail = {}) {
  if (ok) {
    std::printf("PASS %s\n", name.c_str());
    ++passed;
  } else {
    std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    ++failed;
  }
  std::fflush(stdout);
}

inline void Note(const std::string& text) {
  std::printf("note %s\n", text.c_str());
  std::fflush(stdout);
}

inline std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

inline void CheckText(const std::string& name, const std::string& got, const std::string& want) {
  Check(name, got == want, "got " + Quoted(got) + ", want " + Quoted(want));
}

inline void CheckNumber(const std::string& name, long long got, long long want) {
  Check(name, got == want, "got " + std::to_string(got) + ", want " + std::to_string(want));
}

// Polls until `condition` holds or the time is up; the other process runs on
// its own clock, so there is nothing to wait on but its windows.
inline bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kWindowTimeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(25);
  }
}

inline std::string ClassOf(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

// The text the system keeps for a window (a caption, a static's text). An
// edit control of another process keeps its own: send WM_GETTEXT for that.
inline std::string TextOf(HWND window) {
  char text[1024] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// The observation file shared by quill-wine-update.exe and the hook it puts
// into quillprog.exe (quill_wine_observe.cpp): its path is in this
// environment variable, which quillprog inherits.
inline constexpr char kObservedVariable[] = "QUILL_WINE_OBSERVED";

// Appends one line to `path`. Both processes append; the named mutex keeps a
// line whole and each writer's lines in the order it wrote them.
inline bool AppendLine(const char* path, const std::string& line) {
  HANDLE lock = CreateMutexA(nullptr, FALSE, "QuillWineObservedLock");
  if (lock != nullptr) WaitForSingleObject(lock, INFINITE);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = false;
  if (file != INVALID_HANDLE_VALUE) {
    const std::string text = line + "\n";
    DWORD written = 0;
    ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
         WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
    CloseHandle(file);
  }
  if (lock != nullptr) {
    ReleaseMutex(lock);
    CloseHandle(lock);
  }
  return ok;
}

inline LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result)) {
    std::printf("note: message 0x%04X to %p not answered\n", message, static_cast<void*>(window));
  }
  return static_cast<LRESULT>(result);
}

inline DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

struct WindowSearch {
  DWORD process;
  std::vector<HWND> found;
};

inline BOOL CALLBACK CollectVisibleOfProcess(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  if (ProcessOf(window) == search->process && IsWindowVisible(window)) {
    search->found.push_back(window);
  }
  return TRUE;
}

inline std::vector<HWND> VisibleTopWindows(DWORD process) {
  WindowSearch search{process, {}};
  EnumWindows(CollectVisibleOfProcess, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A message box as Windows builds it: a dialog whose text is the static
// control 0xFFFF.
inline bool IsMessageBox(HWND window) {
  return lstrcmpiA(ClassOf(window).c_str(), "#32770") == 0 && GetDlgItem(window, 0xFFFF) != nullptr;
}

// Presses a dialog's button the way its click reaches the dialog: a posted
// WM_COMMAND/BN_CLICKED, which does not block on a modal box it may open.
inline void PressButton(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// The program under test, started once; ended if still running when this
// goes.
class Program {
 public:
  explicit Program(const std::string& exe) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"";
    started_ = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info_) != FALSE;
  }
  ~Program() {
    if (!started_) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 1);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Started() const { return started_; }
  DWORD Id() const { return info_.dwProcessId; }
  bool WaitForExit(DWORD timeoutMs) const {
    return WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0;
  }

 private:
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

}  // namespace wine_checks
