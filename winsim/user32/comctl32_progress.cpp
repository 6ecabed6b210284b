// comctl32: the progress bar ("msctls_progress32"). The position always lies
// in the range: PBM_SETPOS and PBM_DELTAPOS stop at the nearest limit, and
// every position message answers the previous position.
#include <windows.h>
#include <commctrl.h>

#include "user32/user32_internal.h"

namespace winsim::user32 {

namespace {

int Clamp(int value, int low, int high) {
  if (value < low) value = low;
  if (value > high) value = high;
  return value;
}

// Every position message is logged, also one that leaves the bar where it
// is (a step past the maximum): the log tells each message the bar took.
// `message` names what moved it (PBM_SETPOS, PBM_DELTAPOS, PBM_STEPIT, or
// PBM_SETRANGE for a position the new range moved).
void SetPosition(Window& window, ProgressData& data, int position, const char* message) {
  data.pos = Clamp(position, data.low, data.high);
  LogWindow(window, "progress", {{"pos", std::to_string(data.pos)}, {"message", message}});
}

LRESULT SetRange(Window& window, ProgressData& data, int low, int high) {
  const LRESULT previous = MAKELRESULT(data.low, data.high);
  data.low = low;
  data.high = high;
  LogWindow(window, "progress range",
            {{"low", std::to_string(low)}, {"high", std::to_string(high)}});
  // A position outside the new range moves to its nearest limit.
  if (Clamp(data.pos, low, high) != data.pos) SetPosition(window, data, data.pos, "PBM_SETRANGE");
  return previous;
}

}  // namespace

LRESULT CALLBACK ProgressProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  if (message == WM_NCCREATE) window->control = std::make_unique<ProgressData>();
  auto* data = dynamic_cast<ProgressData*>(window->control.get());
  if (data == nullptr) return DefWindowProcA(hWnd, message, wParam, lParam);
  const int previous = data->pos;
  switch (message) {
    case PBM_SETRANGE:
      // Two unsigned 16-bit limits; the answer packs the previous ones so.
      return SetRange(*window, *data, LOWORD(lParam), HIWORD(lParam));
    case PBM_SETRANGE32:
      return SetRange(*window, *data, static_cast<int>(wParam), static_cast<int>(lParam));
    case PBM_SETPOS:
      SetPosition(*window, *data, static_cast<int>(wParam), "PBM_SETPOS");
      return previous;
    case PBM_DELTAPOS:
      SetPosition(*window, *data, data->pos + static_cast<int>(wParam), "PBM_DELTAPOS");
      return previous;
    case PBM_SETSTEP: {
      const int step = data->step;
      data->step = static_cast<int>(wParam);
      return step;
    }
    case PBM_STEPIT: {
      // Past the maximum the bar starts again from the minimum.
      int position = data->pos + data->step;
      if (position > data->high && data->high > data->low) {
        position = data->low + (position - data->low) % (data->high - data->low);
      }
      SetPosition(*window, *data, position, "PBM_STEPIT");
      return previous;
    }
    case PBM_GETPOS:
      return data->pos;
    case PBM_GETRANGE:
      if (lParam != 0) {
        auto* range = reinterpret_cast<PBRANGE*>(lParam);
        range->iLow = data->low;
        range->iHigh = data->high;
      }
      return wParam != 0 ? data->low : data->high;
    default:
      return DefWindowProcA(hWnd, message, wParam, lParam);
  }
}

}  // namespace winsim::user32
