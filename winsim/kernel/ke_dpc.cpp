// winsim: the DPC-level completion context: one daemon thread at
// DISPATCH_LEVEL that runs queued work in order.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

void DpcThread() {
  KernelState& state = State();
  for (;;) {
    while (!state.dpcQueue.empty()) {
      // Another processor's threads may run before each DPC.
      SwitchPoint("a DPC");
      auto [what, work] = std::move(state.dpcQueue.front());
      state.dpcQueue.pop_front();
      work();
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        Verify().Report(rule::kIrql, what,
                        "DPC work returned at IRQL " + std::to_string(KeGetCurrentIrql()));
        Scheduler::SetCurrentIrql(DISPATCH_LEVEL);
      }
    }
    // Idle: the thread parks without a time-out; being a daemon it does not
    // count as a hang.
    Ground::Current().Sched().WaitOn(&state.dpcQueue, -1, "the DPC queue (idle)");
  }
}

}  // namespace

void QueueDpc(std::string what, std::function<void()> work) {
  KernelState& state = State();
  state.dpcQueue.emplace_back(std::move(what), std::move(work));
  Scheduler& scheduler = Ground::Current().Sched();
  if (!state.dpcThreadRunning) {
    state.dpcThreadRunning = true;
    scheduler.CreateThread("dpc", DpcThread, DISPATCH_LEVEL, true);
  } else {
    scheduler.Wake(&state.dpcQueue);
  }
}

}  // namespace winsim::kernel
