// comctl32: registration of the common control classes. Like comctl32, winsim
// registers a class only when the program asks for it, so a dialog that uses
// the progress bar or the animation control without InitCommonControlsEx
// fails to be created, on the host as on Windows.
#include <windows.h>
#include <commctrl.h>

#include "user32/user32_internal.h"

namespace winsim::user32 {
LRESULT CALLBACK ProgressProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK AnimateProc(HWND, UINT, WPARAM, LPARAM);
}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
  if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
  if ((picce->dwICC & ICC_PROGRESS_CLASS) != 0) {
    RegisterSystemClass(PROGRESS_CLASSA, &ProgressProc, 0);
  }
  if ((picce->dwICC & ICC_ANIMATE_CLASS) != 0) {
    RegisterSystemClass(ANIMATE_CLASSA, &AnimateProc, 0);
  }
  Log("common controls registered", {{"classes", Hex(picce->dwICC)}});
  return TRUE;
}

extern "C" void WINAPI InitCommonControls(void) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
}
