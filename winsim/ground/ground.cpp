// winsim: the ground of the machine that exists now.
#include "ground/ground.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "ground/call_site.h"

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

CallSite CurrentCallSite(std::string api) {
  CallSite site;
  site.api = std::move(api);
  if (Ground* machine = Ground::CurrentOrNull()) {
    site.onMachine = true;
    site.thread = Scheduler::CurrentName();
    site.time = machine->Sched().Now();
  }
  return site;
}

std::string CallSite::Text() const {
  if (!onMachine) return api;
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.6f s",
                static_cast<double>(time) / (1000.0 * kTicksPerMillisecond));
  return api + " on thread '" + thread + "' at " + seconds;
}

std::string CallPlace(std::string_view api) {
  Ground* machine = Ground::CurrentOrNull();
  if (machine == nullptr) return std::string(api);
  return CallSite{std::string(api), true, Scheduler::CurrentName(), machine->Sched().Now()}.Text();
}

}  // namespace winsim
