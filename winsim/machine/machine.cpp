// winsim: the simulated machine.
#include "machine/machine.h"

#include "kernel/kernel_state.h"

namespace winsim {

Machine::Machine(MachineConfig config) : Ground(config), kernel_(std::make_unique<KernelState>()) {
  Sched().Explore(Config().explore);
  BecomeCurrent(*kernel_);
  KdDebuggerEnabled = Config().kernelDebugger ? TRUE : FALSE;
}

void Machine::SetKernelDebugger(bool enabled) {
  MutableConfig().kernelDebugger = enabled;
  KdDebuggerEnabled = enabled ? TRUE : FALSE;
}

Machine::~Machine() {
  kernel_.reset();
  StopBeingCurrent();
}

bool Machine::Run(std::function<void()> body) {
  const bool completed = Sched().Run("main", std::move(body));
  Kernel().OnRunEnded(!completed && !Sched().Halted());
  // A bug check was reported where it struck.
  if (!completed && !Sched().Halted()) {
    Verify().Report(rule::kHang, "scheduler", "a wait that nothing can satisfy any more");
  }
  return completed;
}

}  // namespace winsim
