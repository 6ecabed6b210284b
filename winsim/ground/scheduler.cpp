// winsim: the scheduler (one simulated thread runs at a time) and the
// virtual clock.
#include "ground/scheduler.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include "ground/event_log.h"
#include "ground/thread_end.h"

namespace winsim {

struct SimThread {
  enum class State { Ready, Running, Waiting, Ended };
  uint32_t id = 0;
  std::string name;
  std::function<void()> body;
  KIRQL irql = PASSIVE_LEVEL;
  bool daemon = false;
  bool userMode = false;
  int kernelDepth = 0;  // nested KernelEntry scopes
  HostWorker* worker = nullptr;
  State state = State::Ready;
  const void* waitObject = nullptr;
  std::string where;
  bool timedOut = false;
  bool unwind = false;
  int spinLocksHeld = 0;
};

struct HostWorker {
  // Set under the pool's lock: the scheduler it serves; nullptr while parked.
  Scheduler* scheduler = nullptr;
  // The rest under its scheduler's lock.
  SimThread* thread = nullptr;  // the simulated thread it carries; nullptr when idle
  bool exit = false;            // its scheduler lets it go
  bool attached = false;        // in its scheduler's WorkerMain
  // Bumped (then the host thread woken) when the baton passes to its
  // simulated thread and when its scheduler lets it go: a word of its own, so
  // that only the host thread that runs next wakes.
  std::atomic<uint32_t> signal{0};
  // Signalled when a scheduler takes it out of the pool.
  std::condition_variable parked;
  // Set as it is made, then touched only by this host thread: the processor
  // it keeps to (-1: none) and the mask it goes back to when it leaves its
  // scheduler, that of the host (not simulated) thread that started it all.
  int pinnedCpu = -1;
  cpu_set_t unpinned{};
};

namespace {

thread_local SimThread* tlsCurrent = nullptr;
thread_local KIRQL tlsHostIrql = PASSIVE_LEVEL;

void InterlockedOperationSwitchPoint() {
  if (tlsCurrent) tlsCurrent->worker->scheduler->SwitchPoint("an interlocked operation");
}

// Simulated threads need room: the product keeps large buffers on the stack.
constexpr size_t kStackBytes = 8 * 1024 * 1024;

// Host threads whose scheduler has gone, parked for the next one: a run
// under many schedules makes a machine, so a scheduler, for each, and
// making a host thread (its stack mapped, faulted in and unmapped at its
// end) costs more than the simulated threads of a short run do. Never
// destroyed: parked threads outlive every static.
struct HostPool {
  std::mutex mutex;
  std::vector<HostWorker*> parked;
};

HostPool& Pool() {
  static HostPool* const pool = new HostPool;
  return *pool;
}

// -1 until read from QUILL_SIM_ONE_CPU ("0" turns keeping to one processor off).
std::atomic<int> keepToOneCpu{-1};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

// Sleeps while the worker's signal still reads `seen`; returns early when it
// changed, on a spurious wake-up or a signal: the caller checks again.
void SleepWhileUnsignalled(HostWorker* worker, uint32_t seen) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&worker->signal), FUTEX_WAIT_PRIVATE, seen,
          nullptr, nullptr, 0);
}

void Signal(HostWorker* worker) {
  worker->signal.fetch_add(1, std::memory_order_release);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&worker->signal), FUTEX_WAKE_PRIVATE, 1, nullptr,
          nullptr, 0);
}

bool KeepsToOneCpu() {
  int keep = keepToOneCpu.load(std::memory_order_relaxed);
  if (keep < 0) {
    const char* setting = std::getenv("QUILL_SIM_ONE_CPU");
    keep = setting && std::strcmp(setting, "0") == 0 ? 0 : 1;
    keepToOneCpu.store(keep, std::memory_order_relaxed);
  }
  return keep == 1;
}

// The processor the calling host thread is on (so one it may run on); -1
// when switched off or unknown.
int PickHostCpu() {
  if (!KeepsToOneCpu()) return -1;
  const int cpu = sched_getcpu();
  return cpu >= 0 && cpu < CPU_SETSIZE ? cpu : -1;
}

// Called by the worker's own host thread: keeps it to `cpu` (-1: back to its
// unpinned mask). A failure leaves it where it is, which costs time only.
void KeepWorkerTo(HostWorker* worker, int cpu) {
  if (cpu == worker->pinnedCpu) return;
  cpu_set_t mask;
  if (cpu >= 0) {
    CPU_ZERO(&mask);
    CPU_SET(cpu, &mask);
  } else {
    mask = worker->unpinned;
  }
  if (pthread_setaffinity_np(pthread_self(), sizeof mask, &mask) == 0) worker->pinnedCpu = cpu;
}

}  // namespace

template <typename HoldsBaton>
void Scheduler::AwaitBatonLocked(std::unique_lock<std::mutex>& lock, HostWorker* worker,
                                 HoldsBaton holdsBaton) {
  // The next host thread is woken only once the lock is free: woken with the
  // lock still held, it would run (on this processor, before its waker) only
  // to block on the lock again.
  HostWorker* next = std::exchange(handOff_, nullptr);
  while (!holdsBaton()) {
    // Read under the lock: a signal for a later pass of the baton changes it.
    const uint32_t seen = worker->signal.load(std::memory_order_relaxed);
    lock.unlock();
    if (next && next != worker) Signal(next);
    next = nullptr;
    SleepWhileUnsignalled(worker, seen);
    lock.lock();
  }
  if (next && next != worker) {
    lock.unlock();
    Signal(next);
    lock.lock();
  }
}

void Scheduler::KeepHostThreadsToOneCpu(bool keep) {
  keepToOneCpu.store(keep ? 1 : 0, std::memory_order_relaxed);
}

Scheduler::Scheduler(EventLog& log, ClockMode mode) : log_(log), mode_(mode) {}

Scheduler::~Scheduler() {
  std::unique_lock lock(mutex_);
  for (auto& worker : workers_) {
    worker->exit = true;
    Signal(worker.get());
  }
  // Each leaves WorkerMain for the pool; none touches this scheduler after.
  cv_.wait(lock, [this] {
    return std::none_of(workers_.begin(), workers_.end(),
                        [](const auto& worker) { return worker->attached; });
  });
  // The pool owns them from here.
  for (auto& worker : workers_) static_cast<void>(worker.release());
}

namespace {

// Trivially destructible, so that it outlives every static: a machine kept in
// a static (a fuzz target's) may still run threads while statics are torn down.
constexpr size_t kMaxThreadStartResets = 8;
void (*threadStartResets[kMaxThreadStartResets])() = {};
size_t threadStartResetCount = 0;
constexpr size_t kMaxThreadEndCleanUps = 8;
void (*threadEndCleanUps[kMaxThreadEndCleanUps])() = {};
size_t threadEndCleanUpCount = 0;

}  // namespace

bool ResetAtEachThreadStart(void (*reset)()) {
  if (threadStartResetCount == kMaxThreadStartResets) {
    throw std::logic_error("too many thread-start resets");
  }
  threadStartResets[threadStartResetCount++] = reset;
  return true;
}

bool CleanUpAtEachThreadEnd(void (*cleanUp)()) {
  if (threadEndCleanUpCount == kMaxThreadEndCleanUps) {
    throw std::logic_error("too many thread-end clean-ups");
  }
  threadEndCleanUps[threadEndCleanUpCount++] = cleanUp;
  return true;
}

SimThread* Scheduler::Current() { return tlsCurrent; }

std::string Scheduler::CurrentName() { return tlsCurrent ? tlsCurrent->name : "host"; }

KIRQL Scheduler::CurrentIrql() { return tlsCurrent ? tlsCurrent->irql : tlsHostIrql; }

void Scheduler::SetCurrentIrql(KIRQL irql) {
  if (tlsCurrent) {
    tlsCurrent->irql = irql;
  } else {
    tlsHostIrql = irql;
  }
}

VirtualTime Scheduler::Now() const { return now_.load(); }

void Scheduler::Advance(VirtualTime ticks) { now_ += std::max<VirtualTime>(ticks, 0); }

bool Scheduler::HangDetected() const {
  std::lock_guard lock(mutex_);
  return hang_;
}

bool Scheduler::UserModeHeld() const {
  std::lock_guard lock(mutex_);
  return userModeHeld_;
}

void Scheduler::SetUserModeHeld(bool held) {
  std::lock_guard lock(mutex_);
  userModeHeld_ = held;
}

bool Scheduler::Halted() const {
  std::lock_guard lock(mutex_);
  return halted_;
}

void Scheduler::Halt() {
  std::lock_guard lock(mutex_);
  halted_ = true;
  timers_.clear();
  UnwindAllLocked();
}

// Every thread that has not ended unwinds when it next runs (one that never
// started skips its body); waiting ones become ready for it.
void Scheduler::UnwindAllLocked() {
  tearingDown_ = true;
  for (const auto& thread : threads_) {
    if (thread->state == SimThread::State::Ended) continue;
    thread->unwind = true;
    if (thread->state != SimThread::State::Waiting) continue;
    thread->waitObject = nullptr;
    thread->state = SimThread::State::Ready;
    ready_.push_back(thread.get());
  }
  waiters_.clear();
}

bool Scheduler::RunnableLocked(const SimThread* thread) const {
  return !userModeHeld_ || !thread->userMode || thread->kernelDepth > 0 || thread->unwind;
}

Scheduler::KernelEntry::KernelEntry() {
  if (tlsCurrent) ++tlsCurrent->kernelDepth;
}

Scheduler::KernelEntry::~KernelEntry() noexcept(false) {
  SimThread* self = tlsCurrent;
  if (!self || --self->kernelDepth > 0 || !self->userMode || std::uncaught_exceptions() > 0) {
    return;
  }
  self->worker->scheduler->ReturnToUserMode(self);
}

void Scheduler::ReturnToUserMode(SimThread* self) {
  std::unique_lock lock(mutex_);
  if (!userModeHeld_ || tearingDown_) return;
  // Ready, but not dispatched until user mode is released.
  self->state = SimThread::State::Ready;
  ready_.push_back(self);
  BlockLocked(lock, self);
}

bool Scheduler::HasPendingWork() const {
  std::lock_guard lock(mutex_);
  return !ready_.empty() || !timers_.empty();
}

bool Scheduler::Run(std::string name, std::function<void()> body) {
  if (tlsCurrent) throw std::logic_error("Scheduler::Run called from a simulated thread");
  // Picked again for every run, where the system has put the caller now, so
  // that parallel machines spread over the processors.
  const int cpu = PickHostCpu();
  {
    std::unique_lock lock(mutex_);
    hostCpu_ = cpu;
    // A machine that has bug-checked runs nothing any more.
    if (halted_) return false;
    hang_ = false;
    tearingDown_ = false;
    finished_ = false;
    CreateThreadLocked(std::move(name), std::move(body), PASSIVE_LEVEL, false);
    if (!running_) DispatchLocked(lock);
    if (HostWorker* next = std::exchange(handOff_, nullptr)) {
      lock.unlock();
      Signal(next);
      lock.lock();
    }
    cv_.wait(lock, [this] { return finished_; });
  }
  // Every simulated thread has ended and its host thread is back in the pool.
  std::lock_guard lock(mutex_);
  threads_.clear();
  ready_.clear();
  waiters_.clear();
  timers_.clear();
  return !hang_ && !halted_;
}

uint32_t Scheduler::CreateThread(std::string name, std::function<void()> body, KIRQL irql,
                                 bool daemon, bool userMode) {
  std::lock_guard lock(mutex_);
  return CreateThreadLocked(std::move(name), std::move(body), irql, daemon, userMode);
}

uint32_t Scheduler::CreateThreadLocked(std::string name, std::function<void()> body, KIRQL irql,
                                       bool daemon, bool userMode) {
  auto thread = std::make_unique<SimThread>();
  thread->id = nextId_++;
  thread->name = std::move(name);
  thread->body = std::move(body);
  thread->irql = irql;
  thread->daemon = daemon;
  thread->userMode = userMode;
  thread->unwind = tearingDown_;
  SimThread* raw = thread.get();
  HostWorker* worker = nullptr;
  if (!idleWorkers_.empty()) {
    worker = idleWorkers_.back();
    idleWorkers_.pop_back();
  } else {
    // A host thread parked by a scheduler that has gone, or a new one.
    HostPool& pool = Pool();
    std::unique_ptr<HostWorker> taken;
    {
      std::lock_guard lock(pool.mutex);
      if (!pool.parked.empty()) {
        taken.reset(pool.parked.back());
        pool.parked.pop_back();
        taken->scheduler = this;
        taken->parked.notify_one();
      }
    }
    if (!taken) {
      taken = std::make_unique<HostWorker>();
      taken->scheduler = this;
      // It starts with its creator's mask; a simulated creator's pin is the
      // machine's, its unpinned mask that of the host thread behind it.
      if (tlsCurrent) {
        taken->pinnedCpu = tlsCurrent->worker->pinnedCpu;
        taken->unpinned = tlsCurrent->worker->unpinned;
      } else if (pthread_getaffinity_np(pthread_self(), sizeof taken->unpinned, &taken->unpinned) !=
                 0) {
        throw std::runtime_error("cannot read the host thread's processor mask");
      }
      pthread_attr_t attributes;
      pthread_attr_init(&attributes);
      pthread_attr_setstacksize(&attributes, kStackBytes);
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
      pthread_t host{};
      const int error = pthread_create(
          &host, &attributes,
          [](void* argument) -> void* {
            auto* self = static_cast<HostWorker*>(argument);
            HostPool& hostPool = Pool();
            for (;;) {
              Scheduler* scheduler = nullptr;
              {
                std::unique_lock lock(hostPool.mutex);
                self->parked.wait(lock, [&] { return self->scheduler != nullptr; });
                scheduler = self->scheduler;
              }
              scheduler->WorkerMain(self);
            }
            return nullptr;
          },
          taken.get());
      pthread_attr_destroy(&attributes);
      if (error != 0) throw std::runtime_error("cannot create a simulated thread");
    }
    // Attached from here: the scheduler's destructor waits until it has left.
    taken->attached = true;
    worker = taken.get();
    workers_.push_back(std::move(taken));
  }
  worker->thread = raw;
  raw->worker = worker;
  threads_.push_back(std::move(thread));
  ready_.push_back(raw);
  if (explorer_) explorer_->ThreadCreated(raw->id);
  return raw->id;
}

void Scheduler::WorkerMain(HostWorker* worker) {
  std::unique_lock lock(mutex_);
  for (;;) {
    AwaitBatonLocked(lock, worker, [&] {
      return worker->exit || (worker->thread && running_ == worker->thread);
    });
    if (worker->exit) {
      // Before it counts as gone: no host thread stays pinned once its
      // machine has gone.
      KeepWorkerTo(worker, -1);
      worker->exit = false;
      worker->attached = false;
      cv_.notify_all();
      lock.unlock();
      // The scheduler may be gone from here on.
      HostPool& pool = Pool();
      std::lock_guard parking(pool.mutex);
      worker->scheduler = nullptr;
      pool.parked.push_back(worker);
      return;
    }
    SimThread* self = worker->thread;
    const int cpu = hostCpu_;
    lock.unlock();
    KeepWorkerTo(worker, cpu);
    RunBody(self);
    lock.lock();
    self->state = SimThread::State::Ended;
    self->body = nullptr;
    worker->thread = nullptr;
    idleWorkers_.push_back(worker);
    running_ = nullptr;
    DispatchLocked(lock);
  }
}

void Scheduler::RunBody(SimThread* self) {
  tlsCurrent = self;
  for (size_t i = 0; i < threadStartResetCount; ++i) threadStartResets[i]();
  if (!self->unwind) {
    log_.Add(EventKind::Scheduler, "thread starts");
    try {
      self->body();
    } catch (const ThreadUnwind&) {
      // Torn down after a hang.
    } catch (const std::exception& error) {
      log_.Add(EventKind::Note, std::string("thread ended by an exception: ") + error.what());
    }
  }
  for (size_t i = 0; i < threadEndCleanUpCount; ++i) threadEndCleanUps[i]();
  tlsCurrent = nullptr;
}

void Scheduler::DispatchLocked(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (SimThread* next = TakeReadyLocked("dispatch", nullptr)) {
      PassBatonLocked(next);
      return;
    }
    if (!timers_.empty()) {
      auto first = timers_.begin();
      const VirtualTime deadline = first->first;
      if (mode_ == ClockMode::RealTime && deadline > now_) {
        const auto wait = std::chrono::nanoseconds((deadline - now_) * 100);
        lock.unlock();
        std::this_thread::sleep_for(wait);
        lock.lock();
      }
      Timer timer = std::move(first->second);
      timers_.erase(first);
      if (deadline > now_) now_ = deadline;
      if (timer.thread) {
        SimThread* waiter = timer.thread;
        auto& queue = waiters_[waiter->waitObject];
        queue.erase(std::remove(queue.begin(), queue.end(), waiter), queue.end());
        waiter->timedOut = true;
        waiter->waitObject = nullptr;
        waiter->state = SimThread::State::Ready;
        ready_.push_back(waiter);
      } else {
        log_.Add(EventKind::Scheduler, "scheduled event: " + timer.name);
        CreateThreadLocked(timer.name, std::move(timer.start), PASSIVE_LEVEL, false,
                           timer.userMode);
      }
      continue;
    }
    bool anyAlive = false;
    bool anyForeground = false;
    for (const auto& thread : threads_) {
      if (thread->state == SimThread::State::Ended) continue;
      anyAlive = true;
      anyForeground = anyForeground || !thread->daemon;
    }
    if (!anyAlive) {
      running_ = nullptr;
      finished_ = true;
      cv_.notify_all();
      return;
    }
    if (anyForeground && !tearingDown_) {
      ReportHangLocked();
      hang_ = true;
    }
    UnwindAllLocked();
  }
}

void Scheduler::ReportHangLocked() {
  std::string text = "no thread can run and nothing is scheduled:";
  for (const auto& thread : threads_) {
    if (thread->daemon) continue;
    if (thread->state == SimThread::State::Waiting) {
      text += " thread '" + thread->name + "' waits in " + thread->where + ";";
    } else if (thread->state == SimThread::State::Ready) {
      text += " user-mode thread '" + thread->name + "' is ready but the machine sleeps;";
    }
  }
  log_.Add(EventKind::Hang, text);
}

void Scheduler::BlockLocked(std::unique_lock<std::mutex>& lock, SimThread* self) {
  running_ = nullptr;
  DispatchLocked(lock);
  AwaitBatonLocked(lock, self->worker, [&] { return running_ == self; });
  if (self->unwind) throw ThreadUnwind{};
}

void Scheduler::PassBatonLocked(SimThread* next) {
  running_ = next;
  next->state = SimThread::State::Running;
  handOff_ = next->worker;
}

bool Scheduler::WaitOn(const void* object, VirtualTime deadline, std::string where) {
  SimThread* self = tlsCurrent;
  if (!self) throw std::logic_error("a wait outside a simulated thread: " + where);
  std::unique_lock lock(mutex_);
  if (tearingDown_) throw ThreadUnwind{};
  self->state = SimThread::State::Waiting;
  self->waitObject = object;
  self->where = std::move(where);
  self->timedOut = false;
  waiters_[object].push_back(self);
  if (deadline >= 0) {
    timers_.emplace(deadline, Timer{deadline, timerOrder_++, self, nullptr, {}});
  }
  BlockLocked(lock, self);
  if (!self->timedOut && deadline >= 0) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.thread == self) {
        timers_.erase(it);
        break;
      }
    }
  }
  return !self->timedOut;
}

size_t Scheduler::Wake(const void* object, size_t count) {
  std::lock_guard lock(mutex_);
  auto found = waiters_.find(object);
  if (found == waiters_.end()) return 0;
  size_t woken = 0;
  while (woken < count && !found->second.empty()) {
    SimThread* waiter = found->second.front();
    found->second.pop_front();
    waiter->waitObject = nullptr;
    waiter->state = SimThread::State::Ready;
    ready_.push_back(waiter);
    ++woken;
  }
  if (found->second.empty()) waiters_.erase(found);
  return woken;
}

void Scheduler::SleepUntil(VirtualTime deadline) {
  SimThread* self = tlsCurrent;
  char where[64];
  std::snprintf(where, sizeof where, "a sleep until %lld", static_cast<long long>(deadline));
  WaitOn(self, std::max<VirtualTime>(deadline, now_), where);
}

void Scheduler::Yield() {
  SimThread* self = tlsCurrent;
  if (!self) return;
  std::unique_lock lock(mutex_);
  if (tearingDown_) throw ThreadUnwind{};
  self->state = SimThread::State::Ready;
  ready_.push_back(self);
  if (explorer_) {
    // The explorer's priorities would pick a yielding thread again at once
    // and starve the rest; it runs after another ready thread instead.
    SimThread* next = TakeReadyLocked("Yield", self);
    if (!next) {
      // Nothing may run now (user mode held): wait like any other thread.
      BlockLocked(lock, self);
      return;
    }
    PassBatonLocked(next);
    AwaitBatonLocked(lock, self->worker, [&] { return running_ == self; });
    if (self->unwind) throw ThreadUnwind{};
    return;
  }
  BlockLocked(lock, self);
}

void Scheduler::Explore(ExploreConfig config) {
  std::lock_guard lock(mutex_);
  if (config.strategy != ExploreStrategy::None) {
    WinsimInterlockedSwitchPoint = InterlockedOperationSwitchPoint;
  }
  explorer_ = config.strategy == ExploreStrategy::None
                  ? nullptr
                  : std::make_unique<Explorer>(std::move(config));
  switches_.clear();
}

void Scheduler::CountSpinLock(int delta) {
  if (tlsCurrent) tlsCurrent->spinLocksHeld += delta;
}

std::vector<SwitchRecord> Scheduler::Switches() const {
  std::lock_guard lock(mutex_);
  return switches_;
}

void Scheduler::RecordSwitchLocked(const char* where, SimThread* from, SimThread* to) {
  switches_.push_back(
      {explorer_->Steps(), now_.load(), where, from ? from->name : "", to ? to->name : ""});
}

SimThread* Scheduler::TakeReadyLocked(const char* where, SimThread* avoid) {
  size_t index = 0;
  if (!explorer_) {
    // The default schedule: the first runnable one, FIFO.
    while (index < ready_.size() && !RunnableLocked(ready_[index])) ++index;
    if (index == ready_.size()) return nullptr;
  } else {
    // Kept across decisions (under the lock): an explored run takes one at
    // every dispatch and switch point.
    std::vector<size_t>& positions = scratchPositions_;
    positions.clear();
    for (size_t i = 0; i < ready_.size(); ++i) {
      if (RunnableLocked(ready_[i])) positions.push_back(i);
    }
    if (positions.empty()) return nullptr;
    std::vector<uint32_t>& candidates = scratchCandidates_;
    std::vector<size_t>& choices = scratchChoices_;
    candidates.clear();
    choices.clear();
    for (size_t i : positions) {
      if (ready_[i] == avoid && positions.size() > 1) continue;
      candidates.push_back(ready_[i]->id);
      choices.push_back(i);
    }
    index = choices[explorer_->Choose(candidates, false)];
    if (index != positions.front())
      RecordSwitchLocked(where, ready_[positions.front()], ready_[index]);
  }
  SimThread* next = ready_[index];
  ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
  return next;
}

void Scheduler::SwitchPoint(const char* where) {
  if (!explorer_) return;  // set only between runs
  SimThread* self = tlsCurrent;
  if (!self || self->spinLocksHeld > 0) return;
  std::unique_lock lock(mutex_);
  if (tearingDown_ || ready_.empty() || running_ != self) return;
  std::vector<uint32_t>& candidates = scratchCandidates_;
  std::vector<size_t>& positions = scratchPositions_;
  candidates.assign(1, self->id);
  positions.clear();
  for (size_t i = 0; i < ready_.size(); ++i) {
    if (!RunnableLocked(ready_[i])) continue;
    candidates.push_back(ready_[i]->id);
    positions.push_back(i);
  }
  if (positions.empty()) return;
  const size_t pick = explorer_->Choose(candidates, true);
  if (pick == 0) return;
  SimThread* next = ready_[positions[pick - 1]];
  RecordSwitchLocked(where, self, next);
  ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(positions[pick - 1]));
  self->state = SimThread::State::Ready;
  ready_.push_back(self);
  PassBatonLocked(next);
  AwaitBatonLocked(lock, self->worker, [&] { return running_ == self; });
  // A ready thread is never unwound: it goes on.
}

void Scheduler::Schedule(VirtualTime delay, std::string name, std::function<void()> fn,
                         bool userMode) {
  std::lock_guard lock(mutex_);
  if (halted_) return;
  const VirtualTime deadline = now_ + std::max<VirtualTime>(delay, 0);
  timers_.emplace(
      deadline, Timer{deadline, timerOrder_++, nullptr, std::move(fn), std::move(name), userMode});
}

}  // namespace winsim
