// user32: message queues, one per simulated thread. SendMessageA calls the
// window procedure directly on the window's own thread and is marshalled to
// the owner thread (the sender blocks, still answering messages sent to it)
// from another; PostMessageA queues from any thread; GetMessageA blocks in the
// scheduler until the queue has something to deliver, which makes the moment
// a user-interface thread is idle visible to the user agent.
#include <windows.h>

#include <cstdio>

#include "ground/thread_end.h"
#include "machine/machine.h"
#include "user32/user32_internal.h"

namespace winsim::user32 {

namespace {

DWORD MessageTime() {
  Machine* machine = Machine::CurrentOrNull();
  return machine != nullptr ? static_cast<DWORD>(machine->Sched().Now() / kTicksPerMillisecond) : 0;
}

std::string MessageName(UINT message) {
  switch (message) {
    case WM_CLOSE:
      return "WM_CLOSE";
    case WM_COMMAND:
      return "WM_COMMAND";
    case WM_SYSCOMMAND:
      return "WM_SYSCOMMAND";
    case WM_KEYDOWN:
      return "WM_KEYDOWN";
    case WM_KEYUP:
      return "WM_KEYUP";
    case WM_SYSKEYDOWN:
      return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP:
      return "WM_SYSKEYUP";
    case WM_QUIT:
      return "WM_QUIT";
    case BM_CLICK:
      return "BM_CLICK";
    case kAgentSelectItem:
      return "(user selects an item)";
    case kAgentTypeText:
      return "(user types a text)";
    default:
      break;
  }
  if (message >= WM_APP && message < 0xC000) return "WM_APP+" + std::to_string(message - WM_APP);
  if (message >= WM_USER && message < WM_APP) return "WM_USER+" + std::to_string(message - WM_USER);
  return Hex(message);
}

bool IsInside(HWND window, HWND ancestor) {
  for (Window* w = Find(window); w != nullptr; w = w->IsChild() ? Find(w->parent) : nullptr) {
    if (w->handle == ancestor) return true;
  }
  return false;
}

bool Matches(HWND messageWindow, UINT message, HWND filter, UINT low, UINT high) {
  if (filter == reinterpret_cast<HWND>(-1)) {
    if (messageWindow != nullptr) return false;
  } else if (filter != nullptr && !IsInside(messageWindow, filter)) {
    return false;
  }
  if (low == 0 && high == 0) return true;
  return message >= low && message <= high;
}

// What GetMessage and PeekMessage deliver, in Windows' order: sent messages
// (handled here), posted messages, WM_QUIT once the queue is empty, then
// WM_PAINT for a window that needs painting (generated, never queued).
bool PeekInternal(MessageQueue& queue, LPMSG msg, HWND filter, UINT low, UINT high, bool remove) {
  ProcessSentMessages(queue);
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(it->hwnd, it->message, filter, low, high)) continue;
    *msg = *it;
    if (remove) queue.posted.erase(it);
    return true;
  }
  // WM_QUIT belongs to no window: any window filter lets it through.
  if (queue.quit && Matches(nullptr, WM_QUIT, nullptr, low, high)) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, MessageTime(), {0, 0}};
    if (remove) queue.quit = false;
    return true;
  }
  for (const auto& [handle, window] : System().windows) {
    if (!window->alive || window->queue != &queue || !window->needsPaint) continue;
    if (!IsVisible(*window) || !Matches(window->handle, WM_PAINT, filter, low, high)) continue;
    *msg = MSG{window->handle, WM_PAINT, 0, 0, MessageTime(), {0, 0}};
    return true;
  }
  return false;
}

}  // namespace

namespace {

// As a simulated thread ends with every window it created destroyed, its
// queue goes, and so do those windows: nothing can reach them any more (a
// handle names no window once its record is gone, as it names none once it
// is dead). A thread that leaves a live window keeps all of it. The queue is
// keyed by the thread's address, so a queue left behind would also greet a
// later thread that happens to be made at the same address with the old
// thread's messages.

void ForgetEndedThread() {
  Desktop* desktop = Desktop::CurrentOrNull();
  if (desktop == nullptr) return;
  WindowSystem& sys = desktop->System();
  const auto found = sys.queues.find(Scheduler::Current());
  if (found == sys.queues.end()) return;
  const MessageQueue* queue = found->second.get();
  for (const auto& [handle, window] : sys.windows) {
    if (window->queue == queue && window->alive) return;
  }
  std::erase_if(sys.windows, [&](const auto& entry) { return entry.second->queue == queue; });
  sys.queues.erase(found);
}

[[maybe_unused]] const bool kQueueCleanUp = CleanUpAtEachThreadEnd(ForgetEndedThread);

}  // namespace

MessageQueue& QueueOf(SimThread* thread) {
  auto& slot = System().queues[thread];
  if (!slot) {
    slot = std::make_unique<MessageQueue>();
    slot->thread = thread;
  }
  return *slot;
}

MessageQueue& CurrentQueue() {
  MessageQueue& queue = QueueOf(Scheduler::Current());
  if (queue.threadName.empty()) queue.threadName = Scheduler::CurrentName();
  return queue;
}

void Block(const void* key, const char* where) {
  Machine::Current().Sched().WaitOn(key, -1, where);
}

void WakeAll(const void* key) { Machine::Current().Sched().Wake(key); }

void NoteActivity() {
  WindowSystem& sys = System();
  ++sys.activity;
  if (sys.stalledWork.empty()) return;
  std::vector<std::function<void()>> work = std::move(sys.stalledWork);
  sys.stalledWork.clear();
  for (auto& resume : work) resume();
}

void ProcessSentMessages(MessageQueue& queue) {
  while (!queue.sent.empty()) {
    std::shared_ptr<SentMessage> message = queue.sent.front();
    queue.sent.pop_front();
    Window* window = Find(message->hwnd);
    message->result = window != nullptr
                          ? CallProc(*window, message->message, message->wParam, message->lParam)
                          : 0;
    message->done = true;
    WakeAll(message->sender);
  }
}

void WaitForMessages(MessageQueue& queue) {
  queue.waiting = true;
  WakeAll(&System().idleSignal);
  Block(&queue, "GetMessage");
  queue.waiting = false;
}

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  MessageQueue& self = CurrentQueue();
  if (window->queue == &self) return CallProc(*window, Msg, wParam, lParam);

  NoteActivity();
  auto message = std::make_shared<SentMessage>();
  message->hwnd = hWnd;
  message->message = Msg;
  message->wParam = wParam;
  message->lParam = lParam;
  message->sender = &self;
  MessageQueue* target = window->queue;
  target->sent.push_back(message);
  WakeAll(target);
  // While it waits for the reply, the sender answers what others send it, so
  // two threads sending to each other do not deadlock.
  while (!message->done) {
    ProcessSentMessages(self);
    if (message->done) break;
    Block(&self, "SendMessage reply");
  }
  return message->result;
}

extern "C" BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  MessageQueue* queue = nullptr;
  if (hWnd == nullptr) {
    queue = &CurrentQueue();
  } else {
    Window* window = Find(hWnd);
    if (window == nullptr) return FALSE;  // ERROR_INVALID_WINDOW_HANDLE
    queue = window->queue;
  }
  queue->posted.push_back(MSG{hWnd, Msg, wParam, lParam, MessageTime(), {0, 0}});
  Log("posted", {{"window", Describe(hWnd)},
                 {"message", MessageName(Msg)},
                 {"wParam", Hex(wParam)},
                 {"lParam", Hex(static_cast<uintptr_t>(lParam))}});
  NoteActivity();
  WakeAll(queue);
  return TRUE;
}

extern "C" VOID WINAPI PostQuitMessage(int nExitCode) {
  MessageQueue& queue = CurrentQueue();
  queue.quit = true;
  queue.quitCode = nExitCode;
}

extern "C" BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (lpMsg == nullptr) return -1;
  MessageQueue& queue = CurrentQueue();
  while (!PeekInternal(queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true)) {
    WaitForMessages(queue);
  }
  NoteActivity();
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg) {
  if (lpMsg == nullptr) return FALSE;
  return PeekInternal(CurrentQueue(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax,
                      (wRemoveMsg & PM_REMOVE) != 0)
             ? TRUE
             : FALSE;
}

extern "C" BOOL WINAPI TranslateMessage(CONST MSG* lpMsg) {
  if (lpMsg == nullptr) return FALSE;
  if (lpMsg->message != WM_KEYDOWN && lpMsg->message != WM_SYSKEYDOWN) return FALSE;
  // winsim's keyboard has no shift state: letters come out in lower case.
  const WPARAM key = lpMsg->wParam;
  char character = 0;
  if (key == VK_RETURN || key == VK_ESCAPE || key == VK_BACK || key == VK_TAB || key == VK_SPACE ||
      (key >= '0' && key <= '9')) {
    character = static_cast<char>(key);
  } else if (key >= 'A' && key <= 'Z') {
    character = static_cast<char>(key - 'A' + 'a');
  }
  if (character == 0) return FALSE;
  Window* window = Find(lpMsg->hwnd);
  if (window == nullptr) return FALSE;
  // The character is the next message the thread reads.
  const UINT message = lpMsg->message == WM_KEYDOWN ? WM_CHAR : WM_SYSCHAR;
  window->queue->posted.push_front(MSG{lpMsg->hwnd, message, static_cast<WPARAM>(character),
                                       lpMsg->lParam, lpMsg->time, lpMsg->pt});
  return TRUE;
}

extern "C" LRESULT WINAPI DispatchMessageA(CONST MSG* lpMsg) {
  if (lpMsg == nullptr) return 0;
  Window* window = Find(lpMsg->hwnd);
  if (window == nullptr) return 0;
  return CallProc(*window, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}
