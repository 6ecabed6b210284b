// winsim: the simulated machine.
#include "machine/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "kernel/kernel_state.h"

namespace winsim {

namespace {
std::atomic<Machine*> currentMachine{nullptr};
}

Machine::Machine(MachineConfig config)
    : config_(config),
      scheduler_(std::make_unique<Scheduler>(log_, config.clock)),
      kernel_(std::make_unique<KernelState>()) {
  scheduler_->Explore(config_.explore);
  Machine* expected = nullptr;
  if (!currentMachine.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "winsim: only one Machine may exist at a time\n");
    std::abort();
  }
  KdDebuggerEnabled = config_.kernelDebugger ? TRUE : FALSE;
}

void Machine::SetKernelDebugger(bool enabled) {
  config_.kernelDebugger = enabled;
  KdDebuggerEnabled = enabled ? TRUE : FALSE;
}

Machine::~Machine() {
  kernel_.reset();
  currentMachine = nullptr;
}

Machine& Machine::Current() {
  Machine* machine = currentMachine.load();
  if (!machine) {
    std::fprintf(stderr, "winsim: a kernel service was called with no Machine\n");
    std::abort();
  }
  return *machine;
}

Machine* Machine::CurrentOrNull() { return currentMachine.load(); }

bool Machine::Run(std::function<void()> body) {
  const bool completed = scheduler_->Run("main", std::move(body));
  kernel_->OnRunEnded(!completed && !scheduler_->Halted());
  // A bug check was reported where it struck.
  if (!completed && !scheduler_->Halted()) {
    verifier_.Report(rule::kHang, "scheduler", "a wait that nothing can satisfy any more");
  }
  return completed;
}

}  // namespace winsim
