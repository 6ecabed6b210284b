// winsim: the scheduler and the virtual clock.
//
// Simulated threads run on real host threads (8 MiB stacks) of which exactly
// one runs at a time: it holds the baton until it blocks (a wait, a sleep, its
// end). A host thread whose simulated thread has ended waits for the next one:
// making a host thread costs far more than a simulated thread's usual work (a
// scheduled event, a completion); when its scheduler goes it is parked for the
// next scheduler (a process-wide pool). Ready threads run in FIFO order, so a run is deterministic
// (under exploration, ground/exploration.h, the explorer picks, and a thread
// may also lose the baton at a switch point). With no
// thread ready, the clock jumps to the next timer; with no timer either and a
// thread still waiting for ever, that is a hang: it is logged (who waits
// where), the waiting threads are unwound and the run ends.
//
// All members are called by simulated threads (holding the baton) unless a
// comment says otherwise. Nothing here may be called at or above
// DISPATCH_LEVEL if it blocks.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ground/exploration.h"

namespace winsim {

class EventLog;

// Virtual time in 100-ns units (the unit of Windows' time-outs).
using VirtualTime = int64_t;
inline constexpr VirtualTime kTicksPerMillisecond = 10'000;

enum class ClockMode { Virtual, RealTime };

// Thrown out of a wait to unwind a simulated thread whose run is being torn
// down (after a hang). Only the thread trampoline catches it.
struct ThreadUnwind {};

struct SimThread;
struct HostWorker;

// Per-thread state that a family keeps in thread_local variables outlives
// the simulated thread on its pooled host thread: the family registers a
// reset once (at static initialisation), run as each simulated thread starts.
// Returns true, for use as a static's initialiser.
bool ResetAtEachThreadStart(void (*reset)());

class Scheduler {
 public:
  Scheduler(EventLog& log, ClockMode mode);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Called by a host (non-simulated) thread: starts body on a new simulated
  // thread and returns when every non-daemon thread has ended (daemons are
  // then unwound) or a hang was detected. Returns false on a hang.
  bool Run(std::string name, std::function<void()> body);

  // Creates a simulated thread that becomes ready after the ones already
  // ready. A daemon thread (the DPC-level completion thread, worker threads)
  // does not keep a run alive and is not reported when it idles at the end.
  // Returns the thread id.
  // A user-mode thread (an application's) does not run while user mode is
  // held (SetUserModeHeld).
  uint32_t CreateThread(std::string name, std::function<void()> body, KIRQL irql = PASSIVE_LEVEL,
                        bool daemon = false, bool userMode = false);

  // Runs fn on a new simulated thread at `delay` from now (virtual time);
  // userMode as for CreateThread.
  void Schedule(VirtualTime delay, std::string name, std::function<void()> fn,
                bool userMode = false);

  // While held (the machine sleeps), no user-mode thread is dispatched: one
  // that becomes ready (woken, or its time-out or scheduled start came due)
  // waits in the ready queue and runs once user mode is released. Kernel
  // threads and the clock go on.
  void SetUserModeHeld(bool held);
  bool UserModeHeld() const;

  // A user-mode thread inside a system call (the I/O manager's user-mode
  // entries) runs kernel code, which a held user mode does not stop (a
  // driver may wait for it to finish); it stops where the call returns to
  // user mode, until the release. Scopes nest.
  class KernelEntry {
   public:
    KernelEntry();
    ~KernelEntry() noexcept(false);  // may unwind a thread torn down meanwhile
    KernelEntry(const KernelEntry&) = delete;
    KernelEntry& operator=(const KernelEntry&) = delete;
  };

  // Ends the run at once (a bug check): no thread runs again but to unwind,
  // no timer fires, and Run returns false, now and for every later run. The
  // calling simulated thread must unwind next (throw ThreadUnwind).
  void Halt();
  bool Halted() const;

  // Blocking primitive for dispatcher objects: the caller registers itself
  // as a waiter on `object` (any address) and blocks until Wake(object) or the
  // time-out (absolute virtual time; < 0 means none). `where` says what it
  // waits for (reported in a hang). Returns true when woken, false on time-out.
  bool WaitOn(const void* object, VirtualTime deadline, std::string where);
  // Makes up to `count` waiters of object ready (FIFO); returns how many.
  size_t Wake(const void* object, size_t count = SIZE_MAX);
  // Sleeps until the absolute virtual time.
  void SleepUntil(VirtualTime deadline);
  // Lets every ready thread run once before the caller continues.
  void Yield();

  // Schedule exploration, chosen before Run (a host thread); the explorer
  // lives as long as the scheduler, across runs.
  void Explore(ExploreConfig config);
  const Explorer* Exploring() const { return explorer_.get(); }
  // Where a thread calls into the kernel or a driver: under exploration
  // another ready thread may run first, as on another processor. Not while
  // the thread holds a spin lock; no effect without exploration.
  void SwitchPoint(const char* where);
  // Spin locks held by the calling thread (+1 acquired, -1 released).
  static void CountSpinLock(int delta);
  // The switches that differ from the default schedule, so far.
  std::vector<SwitchRecord> Switches() const;

  VirtualTime Now() const;
  // Advances the clock without yielding (KeStallExecutionProcessor).
  void Advance(VirtualTime ticks);

  // The calling simulated thread, or nullptr on a host thread.
  static SimThread* Current();
  static std::string CurrentName();
  // IRQL of the calling thread (host threads have their own, PASSIVE_LEVEL).
  static KIRQL CurrentIrql();
  static void SetCurrentIrql(KIRQL irql);

  bool HangDetected() const;

  // Whether a machine's host threads keep to the processor its run started
  // on (picked at each Run); on unless QUILL_SIM_ONE_CPU=0. Process-wide,
  // for later runs; any host thread may call it.
  static void KeepHostThreadsToOneCpu(bool keep);

  // Whether something will happen without the caller: a thread ready to
  // run or a timer (a sleep, a wait's time-out, a scheduled event).
  bool HasPendingWork() const;

 private:
  struct Timer {
    VirtualTime deadline;
    uint64_t order;
    SimThread* thread;            // a waiter to time out, or
    std::function<void()> start;  // a scheduled event to start
    std::string name;
    bool userMode = false;  // the scheduled event's thread
  };
  void WorkerMain(HostWorker* worker);
  void RunBody(SimThread* self);
  void BlockLocked(std::unique_lock<std::mutex>& lock, SimThread* self);
  // Gives the baton to `next`, whose host thread the caller wakes as it
  // leaves the lock (AwaitBatonLocked, or Run).
  void PassBatonLocked(SimThread* next);
  // Leaves the lock until holdsBaton() (checked under it) is true, waking the
  // host thread the baton was passed to first.
  template <typename HoldsBaton>
  void AwaitBatonLocked(std::unique_lock<std::mutex>& lock, HostWorker* worker,
                        HoldsBaton holdsBaton);
  void DispatchLocked(std::unique_lock<std::mutex>& lock);
  uint32_t CreateThreadLocked(std::string name, std::function<void()> body, KIRQL irql, bool daemon,
                              bool userMode = false);
  void ReportHangLocked();
  // The ready thread to run next (and out of ready_), or null when none may
  // run now; avoid: a yielding thread that runs last if anything else is ready.
  SimThread* TakeReadyLocked(const char* where, SimThread* avoid);
  void RecordSwitchLocked(const char* where, SimThread* from, SimThread* to);
  // Whether a ready thread may run now (user mode is held while asleep).
  bool RunnableLocked(const SimThread* thread) const;
  void UnwindAllLocked();
  void ReturnToUserMode(SimThread* self);

  EventLog& log_;
  ClockMode mode_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<SimThread>> threads_;
  std::vector<std::unique_ptr<HostWorker>> workers_;
  std::vector<HostWorker*> idleWorkers_;
  std::deque<SimThread*> ready_;
  std::map<const void*, std::deque<SimThread*>> waiters_;
  std::multimap<VirtualTime, Timer> timers_;
  SimThread* running_ = nullptr;
  HostWorker* handOff_ = nullptr;     // whose host thread to wake as the lock is left
  std::atomic<VirtualTime> now_ = 0;  // read without the lock by the event log
  uint64_t timerOrder_ = 0;
  uint32_t nextId_ = 1;
  bool hang_ = false;
  bool tearingDown_ = false;
  bool finished_ = false;
  std::unique_ptr<Explorer> explorer_;
  // The explorer's candidates at a decision, kept to save an allocation a
  // decision.
  std::vector<uint32_t> scratchCandidates_;
  std::vector<size_t> scratchPositions_;
  std::vector<size_t> scratchChoices_;
  std::vector<SwitchRecord> switches_;
  bool userModeHeld_ = false;
  bool halted_ = false;
  // The processor this run's host threads keep to (-1: none), picked by Run.
  // One processor for all: the baton then passes on one. Across two idle
  // processors every hand-off would wake the next host thread on the other
  // one, and that wake-up (the processor leaving idle, the caches) more than
  // doubles a run's CPU time; a machine loses nothing by it, as one of its
  // threads runs at a time.
  int hostCpu_ = -1;
};

}  // namespace winsim
