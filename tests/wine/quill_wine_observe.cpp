// quill-wine-observe.dll: records quillprog's status line from inside its
// process, in the order the program sets it. quill-wine-update.exe hooks
// the main dialog's thread with WH_CALLWNDPROCRET from this DLL; Wine loads
// the DLL into quillprog.exe and calls the hook on that thread right after
// each message the dialog's windows have processed. After a WM_SETTEXT to
// the status line (id 1008) the hook reads the control's text on the thread
// that owns it, so no later change can come between, and appends
// "status "TEXT"" to the file named by the environment variable
// QUILL_WINE_OBSERVED (inherited from the test, which writes its own lines,
// such as the Program press, to the same file). A named mutex keeps each
// line whole between the two processes. docs/windows.md, "Observation in
// program order".
#include <windows.h>

#include <string>

#include "wine_checks.h"

namespace {

constexpr int kStatusId = 1008;

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    QuillObserveCallWndProcRet(int code, WPARAM wParam, LPARAM lParam) {
  const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && message != nullptr && message->message == WM_SETTEXT &&
      GetDlgCtrlID(message->hwnd) == kStatusId) {
    char path[MAX_PATH] = "";
    const DWORD length = GetEnvironmentVariableA(wine_checks::kObservedVariable, path, sizeof path);
    if (length > 0 && length < sizeof path) {
      wine_checks::AppendLine(path,
                              "status " + wine_checks::Quoted(wine_checks::TextOf(message->hwnd)));
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
