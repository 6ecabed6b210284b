// comctl32: the animation control ("SysAnimate32"). ACM_OPEN reads a clip
// (an "AVI" resource of the module, or a file); ACM_PLAY shows its frames at
// the clip's rate on the machine clock: each frame is a scheduled event, as
// the control's own playing thread would draw it on Windows.
//
// Knowing difference: a clip playing for ever would keep a stalled machine
// busy for ever (the clock always has a next event). When nothing else has
// happened in the window system for ten virtual minutes, winsim pauses the
// clip (logged) and resumes it with the next message, so such a run ends in a
// hang report instead.
#include <windows.h>
#include <commctrl.h>

#include <fstream>
#include <iterator>

#include "machine/machine.h"
#include "user32/user32_internal.h"

namespace winsim::user32 {

using resources::AviClip;
using resources::ResourceEntry;
using resources::ResourceFile;
using resources::ResourceFormatError;
using resources::ResourceName;

namespace {

constexpr VirtualTime kStallAfter = 10LL * 60 * 1000 * kTicksPerMillisecond;
constexpr uint32_t kForever = 0xFFFFFFFFu;

// Play generations are unique for the whole process, so that a tick left
// over from an earlier desktop never matches a new control.
uint64_t g_nextGeneration = 1;

struct TickState {
  uint64_t activity = 0;
  VirtualTime since = 0;
};

VirtualTime FramePeriod(const AviClip& clip) {
  long long microseconds = clip.MicrosecondsPerFrame();
  if (clip.Rate() != 0 && clip.Scale() != 0) {
    microseconds = 1'000'000LL * clip.Scale() / clip.Rate();
  }
  if (microseconds <= 0) microseconds = 100'000;
  return microseconds * kTicksPerMillisecond / 1000;
}

void ScheduleTick(HWND hwnd, uint64_t generation, TickState state);

void StopPlaying(Window& window, AnimateData& data) {
  if (!data.playing) return;
  data.playing = false;
  data.generation = g_nextGeneration++;
  LogWindow(window, "animation stopped", {{"frame", std::to_string(data.frame)}});
  NotifyParent(window, ACN_STOP);
}

void Tick(HWND hwnd, uint64_t generation, TickState state) {
  if (Desktop::CurrentOrNull() == nullptr) return;
  Window* window = Find(hwnd);
  auto* data = window != nullptr ? dynamic_cast<AnimateData*>(window->control.get()) : nullptr;
  if (data == nullptr || !data->playing || data->generation != generation) return;
  WindowSystem& sys = System();
  const VirtualTime now = Machine::Current().Sched().Now();
  if (sys.activity != state.activity) {
    state = TickState{sys.activity, now};
  } else if (now - state.since >= kStallAfter) {
    LogWindow(*window, "animation paused", {{"reason", "nothing else happens"}});
    sys.stalledWork.push_back([hwnd, generation] {
      ScheduleTick(hwnd, generation,
                   TickState{System().activity, Machine::Current().Sched().Now()});
    });
    return;
  }
  uint32_t next = data->frame + 1;
  if (next > data->to) {
    if (data->repeatsLeft != kForever && --data->repeatsLeft == 0) {
      StopPlaying(*window, *data);
      return;
    }
    next = data->from;
  }
  ShowAnimationFrame(*data, next);
  LogWindow(*window, "animation frame", {{"frame", std::to_string(next)}});
  ScheduleTick(hwnd, generation, state);
}

void ScheduleTick(HWND hwnd, uint64_t generation, TickState state) {
  auto* data = Control<AnimateData>(hwnd);
  if (data == nullptr || !data->clip) return;
  Machine::Current().Sched().Schedule(
      FramePeriod(*data->clip), "SysAnimate32",
      [hwnd, generation, state] { Tick(hwnd, generation, state); }, true);
}

std::vector<uint8_t> ClipBytes(LPARAM source, std::string& name) {
  const ResourceFile* resources = ModuleResources();
  const ResourceName type(std::u16string_view(u"AVI"));
  if (IS_INTRESOURCE(source)) {
    const ResourceName resource(LOWORD(static_cast<uintptr_t>(source)));
    name = resource.Describe();
    const ResourceEntry* entry = resources != nullptr ? resources->Find(type, resource) : nullptr;
    return entry != nullptr ? entry->data : std::vector<uint8_t>{};
  }
  // A resource name first, then a file.
  name = reinterpret_cast<LPCSTR>(source);
  if (resources != nullptr) {
    if (const ResourceEntry* entry = resources->Find(type, ResourceName::FromAnsi(name))) {
      return entry->data;
    }
  }
  std::ifstream file(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

void ShowAnimationFrame(AnimateData& data, uint32_t index) {
  if (!data.clip || index >= data.clip->FrameCount()) return;
  // Run-length frames change only what they code: the picture is built by
  // decoding the frames in order.
  if (index + 1 < data.decoded || data.decoded == 0) {
    data.pixels.assign(static_cast<size_t>(data.clip->Width()) * data.clip->Height(), 0);
    data.decoded = 0;
  }
  try {
    while (data.decoded <= index) data.clip->DecodeFrame(data.decoded++, data.pixels);
  } catch (const ResourceFormatError& error) {
    Log("animation frame not decoded", {{"frame", std::to_string(index)}, {"error", error.what()}});
  }
  data.frame = index;
}

LRESULT CALLBACK AnimateProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  if (message == WM_NCCREATE) window->control = std::make_unique<AnimateData>();
  auto* data = dynamic_cast<AnimateData*>(window->control.get());
  if (data == nullptr) return DefWindowProcA(hWnd, message, wParam, lParam);
  switch (message) {
    case ACM_OPENA: {
      StopPlaying(*window, *data);
      if (lParam == 0) {
        data->clip.reset();
        data->source.clear();
        LogWindow(*window, "animation closed");
        return TRUE;
      }
      // Opening closes the clip that was open, whether or not the new one opens.
      data->clip.reset();
      data->source.clear();
      std::string name;
      const std::vector<uint8_t> bytes = ClipBytes(lParam, name);
      std::shared_ptr<AviClip> clip;
      try {
        if (!bytes.empty()) clip = std::make_shared<AviClip>(AviClip::Parse(bytes));
      } catch (const ResourceFormatError& error) {
        LogWindow(*window, "animation open failed", {{"clip", name}, {"error", error.what()}});
        return FALSE;
      }
      if (!clip || clip->FrameCount() == 0) {
        LogWindow(*window, "animation open failed", {{"clip", name}});
        return FALSE;
      }
      data->clip = std::move(clip);
      data->source = name;
      data->decoded = 0;
      ShowAnimationFrame(*data, 0);
      LogWindow(*window, "animation opened",
                {{"clip", name},
                 {"frames", std::to_string(data->clip->FrameCount())},
                 {"size", std::to_string(data->clip->Width()) + "x" +
                              std::to_string(data->clip->Height())}});
      if ((window->style & ACS_AUTOPLAY) != 0) {
        SendMessageA(hWnd, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
      }
      return TRUE;
    }
    case ACM_PLAY: {
      if (!data->clip) return FALSE;
      const uint32_t last = data->clip->FrameCount() - 1;
      const uint32_t from = LOWORD(lParam);
      uint32_t to = HIWORD(lParam);
      if (to == 0xFFFF || to > last) to = last;
      if (from > to) return FALSE;
      StopPlaying(*window, *data);
      ShowAnimationFrame(*data, from);
      const auto repeat = static_cast<uint32_t>(wParam);
      // One frame, or no repetition: the frame is shown, nothing plays.
      if (from == to || repeat == 0) return TRUE;
      data->playing = true;
      data->from = from;
      data->to = to;
      data->repeatsLeft = repeat;
      data->generation = g_nextGeneration++;
      LogWindow(
          *window, "animation playing",
          {{"from", std::to_string(from)},
           {"to", std::to_string(to)},
           {"repeat", repeat == kForever ? std::string("for ever") : std::to_string(repeat)}});
      NotifyParent(*window, ACN_START);
      if (Find(hWnd) != nullptr && data->playing) {
        ScheduleTick(hWnd, data->generation,
                     TickState{System().activity, Machine::Current().Sched().Now()});
      }
      return TRUE;
    }
    case ACM_STOP:
      StopPlaying(*window, *data);
      return TRUE;
    case ACM_ISPLAYING:
      return data->playing ? TRUE : FALSE;
    case WM_DESTROY:
      data->playing = false;
      data->generation = g_nextGeneration++;
      return 0;
    default:
      return DefWindowProcA(hWnd, message, wParam, lParam);
  }
}

}  // namespace winsim::user32
