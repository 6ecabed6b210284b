// winsim: the ground of the machine that exists now.
#include "ground/ground.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace winsim {

namespace {
std::atomic<Ground*> currentGround{nullptr};
}

Ground::Ground(MachineConfig config)
    : config_(config), scheduler_(std::make_unique<Scheduler>(log_, config.clock)) {}

Ground::~Ground() = default;

void Ground::BecomeCurrent(KernelState& kernel) {
  kernelState_ = &kernel;
  Ground* expected = nullptr;
  if (!currentGround.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "winsim: only one Machine may exist at a time\n");
    std::abort();
  }
}

void Ground::StopBeingCurrent() {
  kernelState_ = nullptr;
  currentGround = nullptr;
}

Ground& Ground::Current() {
  Ground* ground = currentGround.load();
  if (!ground) {
    std::fprintf(stderr, "winsim: a kernel service was called with no Machine\n");
    std::abort();
  }
  return *ground;
}

Ground* Ground::CurrentOrNull() { return currentGround.load(); }

std::string CallPlace(std::string_view api) {
  std::string place(api);
  Ground* machine = Ground::CurrentOrNull();
  if (machine == nullptr) {
    return place;
  }
  char time[32];
  std::snprintf(time, sizeof(time), "%.6f s",
                static_cast<double>(machine->Sched().Now()) / (1000.0 * kTicksPerMillisecond));
  return place + " on thread '" + Scheduler::CurrentName() + "' at " + time;
}

}  // namespace winsim
