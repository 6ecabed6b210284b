// kernel32: threads, events, waits and sleeps on winsim's scheduler and the
// machine's clock.
//
// A thread created here is a simulated thread: it runs when the threads
// before it block, and a wait or sleep hands the machine to the next ready
// thread. Times are virtual, so runs are deterministic.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "kernel32/kernel32_objects.h"
#include "kernel32/user_process.h"
#include "machine/machine.h"

namespace winsim::kernel32 {
namespace {

constexpr DWORD kFirstThreadId = 0x100;
constexpr DWORD kThreadIdStep = 4;

class ThreadObject final : public KernelObject {
 public:
  ThreadObject(DWORD id, bool suspended) : id_(id), suspendCount_(suspended ? 1 : 0) {}
  std::string_view Kind() const override { return "thread"; }
  std::string Describe() const override { return "thread " + std::to_string(id_); }
  bool TryAcquire() override {
    std::lock_guard guard(mutex_);
    return exited_;
  }

  DWORD Id() const { return id_; }
  void Exit(DWORD code) {
    std::lock_guard guard(mutex_);
    exited_ = true;
    exitCode_ = code;
  }
  bool Exited() {
    std::lock_guard guard(mutex_);
    return exited_;
  }
  DWORD ExitCode() {
    std::lock_guard guard(mutex_);
    return exited_ ? exitCode_ : static_cast<DWORD>(STILL_ACTIVE);
  }
  DWORD SuspendCount() {
    std::lock_guard guard(mutex_);
    return suspendCount_;
  }
  // Returns the previous suspend count.
  DWORD Resume() {
    std::lock_guard guard(mutex_);
    const DWORD previous = suspendCount_;
    if (suspendCount_ > 0) {
      --suspendCount_;
    }
    return previous;
  }
  // The address on which a suspended thread waits to be resumed.
  const void* ResumeKey() const { return &suspendCount_; }

 private:
  const DWORD id_;
  std::mutex mutex_;
  DWORD suspendCount_;
  bool exited_ = false;
  DWORD exitCode_ = 0;
};

class EventObject final : public KernelObject {
 public:
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  std::string_view Kind() const override { return "event"; }
  std::string Describe() const override {
    return manualReset_ ? "manual-reset event" : "auto-reset event";
  }
  bool TryAcquire() override {
    std::lock_guard guard(mutex_);
    if (!signaled_) {
      return false;
    }
    if (!manualReset_) {
      signaled_ = false;
    }
    return true;
  }
  void Set(bool signaled) {
    std::lock_guard guard(mutex_);
    signaled_ = signaled;
  }

 private:
  std::mutex mutex_;
  const bool manualReset_;
  bool signaled_;
};

// Thrown by ExitThread; caught where the thread's routine was called.
struct ExitThreadUnwind {
  DWORD code;
};

struct ThreadRegistry {
  std::mutex mutex;
  DWORD nextId = kFirstThreadId;
  std::vector<std::shared_ptr<ThreadObject>> created;  // by this application run
};

ThreadRegistry& Registry() {
  static ThreadRegistry registry;
  return registry;
}

DWORD AllocateThreadId() {
  ThreadRegistry& registry = Registry();
  std::lock_guard guard(registry.mutex);
  const DWORD id = registry.nextId;
  registry.nextId += kThreadIdStep;
  return id;
}

// What the calling host thread is to kernel32: its id (0 until first asked)
// and whether ExitThread may unwind it.
thread_local DWORD t_threadId = 0;
thread_local bool t_canExit = false;
[[maybe_unused]] const bool kThreadStateResets = ResetAtEachThreadStart([] {
  t_threadId = 0;
  t_canExit = false;
});

Scheduler& Sched() { return Machine::Current().Sched(); }

[[noreturn]] void Misuse(const char* what) {
  std::fprintf(stderr, "winsim: %s\n", what);
  std::abort();
}

void RequireSimulatedThread(const char* api) {
  if (Scheduler::Current() == nullptr) {
    std::fprintf(stderr, "winsim: %s called outside a simulated thread\n", api);
    std::abort();
  }
}

VirtualTime DeadlineAfter(DWORD milliseconds) {
  return Sched().Now() + static_cast<VirtualTime>(milliseconds) * kTicksPerMillisecond;
}

void RunThread(const std::shared_ptr<ThreadObject>& thread, LPTHREAD_START_ROUTINE start,
               LPVOID parameter) {
  t_threadId = thread->Id();
  t_canExit = true;
  while (thread->SuspendCount() > 0) {
    Sched().WaitOn(thread->ResumeKey(), -1, "suspended " + thread->Describe());
  }
  DWORD code = 0;
  try {
    code = start(parameter);
  } catch (const ExitThreadUnwind& exit) {
    code = exit.code;
  }
  thread->Exit(code);
  LogUser("thread ends",
          {{"thread", std::to_string(thread->Id())}, {"code", std::to_string(code)}});
  Sched().Wake(thread.get());
}

}  // namespace

void ResetThreadIds() {
  ThreadRegistry& registry = Registry();
  std::lock_guard guard(registry.mutex);
  registry.nextId = kFirstThreadId;
  registry.created.clear();
}

void RunMainThread(const std::function<void()>& main) {
  t_canExit = true;
  try {
    main();
  } catch (const ExitThreadUnwind&) {
  }
  t_canExit = false;
}

void WaitForApplicationThreads() {
  std::vector<std::shared_ptr<ThreadObject>> threads;
  {
    ThreadRegistry& registry = Registry();
    std::lock_guard guard(registry.mutex);
    threads = registry.created;
  }
  for (const auto& thread : threads) {
    while (!thread->Exited()) {
      if (thread->SuspendCount() > 0) {
        // Never resumed: it can only end by being resumed, which nobody will.
        LogUser("suspended thread never resumed", {{"thread", std::to_string(thread->Id())}});
        break;
      }
      Sched().WaitOn(thread.get(), -1, "the application's end waits for " + thread->Describe());
    }
  }
}

}  // namespace winsim::kernel32

using namespace winsim;
using namespace winsim::kernel32;

// The stack size is the scheduler's (8 MiB); security attributes are not
// kept.
extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) {
  RequireSimulatedThread("CreateThread");
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD id = AllocateThreadId();
  auto thread = std::make_shared<ThreadObject>(id, (dwCreationFlags & CREATE_SUSPENDED) != 0);
  {
    ThreadRegistry& registry = Registry();
    std::lock_guard guard(registry.mutex);
    registry.created.push_back(thread);
  }
  const HANDLE handle = InsertHandle(thread, CurrentCallSite("CreateThread"));
  LogUser("CreateThread", {{"thread", std::to_string(id)},
                           {"handle", HandleText(handle)},
                           {"suspended", (dwCreationFlags & CREATE_SUSPENDED) != 0 ? "1" : "0"}});
  Sched().CreateThread(
      "thread " + std::to_string(id),
      [thread, lpStartAddress, lpParameter] { RunThread(thread, lpStartAddress, lpParameter); },
      PASSIVE_LEVEL, false, true);
  if (lpThreadId != nullptr) {
    *lpThreadId = id;
  }
  return handle;
}

// Unwinds the calling thread's stack to where its routine was called (C++
// destructors run, which Windows would not do) and ends the thread.
extern "C" VOID WINAPI ExitThread(DWORD dwExitCode) {
  if (!t_canExit) {
    Misuse("ExitThread on a thread that kernel32 did not start");
  }
  throw ExitThreadUnwind{dwExitCode};
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
  const auto thread = LookupHandleAs<ThreadObject>(hThread);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  const DWORD previous = thread->Resume();
  if (previous == 1) {
    Sched().Wake(thread->ResumeKey());
  }
  return previous;
}

extern "C" WINBOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  const auto thread = LookupHandleAs<ThreadObject>(hThread);
  if (thread == nullptr || lpExitCode == nullptr) {
    SetLastError(thread == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

// Threads that kernel32 did not create (the application's main thread, the
// test's own) get an id when they first ask.
extern "C" DWORD WINAPI GetCurrentThreadId(VOID) {
  if (t_threadId == 0) {
    t_threadId = AllocateThreadId();
  }
  return t_threadId;
}

// Named events are not shared between callers: the name is ignored.
extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, WINBOOL bManualReset,
                                      WINBOOL bInitialState, LPCSTR) {
  auto event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
  const HANDLE handle = InsertHandle(std::move(event), CurrentCallSite("CreateEventA"));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

extern "C" WINBOOL WINAPI SetEvent(HANDLE hEvent) {
  if (Machine::CurrentOrNull() != nullptr) Sched().SwitchPoint("SetEvent");
  const auto event = LookupHandleAs<EventObject>(hEvent);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set(true);
  if (Machine::CurrentOrNull() != nullptr) {
    Sched().Wake(event.get());
  }
  return TRUE;
}

extern "C" WINBOOL WINAPI ResetEvent(HANDLE hEvent) {
  if (Machine::CurrentOrNull() != nullptr) Sched().SwitchPoint("ResetEvent");
  const auto event = LookupHandleAs<EventObject>(hEvent);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set(false);
  return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (Machine::CurrentOrNull() != nullptr) Sched().SwitchPoint("WaitForSingleObject");
  const auto object = LookupHandle(hHandle);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (object->TryAcquire()) {
    return WAIT_OBJECT_0;
  }
  if (dwMilliseconds == 0) {
    return WAIT_TIMEOUT;
  }
  RequireSimulatedThread("WaitForSingleObject");
  const VirtualTime deadline = dwMilliseconds == INFINITE ? -1 : DeadlineAfter(dwMilliseconds);
  const std::string where = "WaitForSingleObject(" + object->Describe() + ")";
  for (;;) {
    const bool woken = Sched().WaitOn(object.get(), deadline, where);
    if (object->TryAcquire()) {
      return WAIT_OBJECT_0;
    }
    if (!woken) {
      return WAIT_TIMEOUT;
    }
  }
}

extern "C" DWORD WINAPI SleepEx(DWORD dwMilliseconds, WINBOOL) {
  RequireSimulatedThread("SleepEx");
  if (dwMilliseconds == 0) {
    Sched().Yield();
  } else if (dwMilliseconds == INFINITE) {
    static const char kNeverWoken = 0;
    Sched().WaitOn(&kNeverWoken, -1, "SleepEx(INFINITE)");
  } else {
    Sched().SleepUntil(DeadlineAfter(dwMilliseconds));
  }
  return 0;
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }
