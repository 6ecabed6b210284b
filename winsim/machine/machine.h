// winsim: the simulated machine. One Machine exists at a time in a process
// (tests create one per test); kernel APIs reach it through Machine::Current().
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>

#include "ground/event_log.h"
#include "ground/scheduler.h"
#include "ground/verifier.h"

namespace winsim {

// Windows98: WDM 1.0 only. Windows2000: WDM 1.0 and 1.10. WindowsNt: WDM
// 1.0 to 1.30 (Windows XP). NoWdm: no WDM version at all (a test setting).
// Windows98SE and WindowsMe answer WDM versions as Windows98 does here; they
// differ in the routines their kernels export (machine/os_exports.txt).
enum class OsFamily { Windows98, WindowsNt, NoWdm, Windows2000, Windows98SE, WindowsMe };

struct MachineConfig {
  OsFamily os = OsFamily::WindowsNt;
  ClockMode clock = ClockMode::Virtual;
  // Schedule exploration (ground/exploration.h); none by default.
  ExploreConfig explore;
  // A kernel debugger is attached: a breakpoint is recorded (the finding
  // debug-break) and the machine goes on, as after the debugger's "go".
  // Without one, a breakpoint in kernel mode is a bug check.
  bool kernelDebugger = false;
  // The user of user mode is an administrator (devices restricted to
  // Administrators open; kernel::RestrictToAdministrators).
  bool administrator = true;
};

class KernelState;  // the kernel's objects (kernel/kernel_state.h)

class Machine {
 public:
  explicit Machine(MachineConfig config = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine that exists now; aborts when there is none.
  static Machine& Current();
  static Machine* CurrentOrNull();

  // Runs body on a simulated thread (PASSIVE_LEVEL) from the calling host
  // thread; returns when all simulated threads have ended (true) or a hang
  // was detected and recorded, or the machine stopped with a bug check
  // (false).
  bool Run(std::function<void()> body);

  const MachineConfig& Config() const { return config_; }
  void SetOs(OsFamily os) { config_.os = os; }
  void SetKernelDebugger(bool enabled);
  void SetAdministrator(bool administrator) { config_.administrator = administrator; }
  EventLog& Log() { return log_; }
  Verifier& Verify() { return verifier_; }
  FaultInjector& Faults() { return faults_; }
  Scheduler& Sched() { return *scheduler_; }
  KernelState& Kernel() { return *kernel_; }

  // Per-machine state of winsim's parts above the kernel (the Plug and Play
  // manager, user mode): one Part per machine, made on first use and
  // destroyed with the machine, after the kernel's state.
  template <class Part>
  Part& State() {
    std::lock_guard lock(partsMutex_);  // recursive: a Part may use another
    std::shared_ptr<void>& slot = parts_[std::type_index(typeid(Part))];
    if (!slot) slot = std::make_shared<Part>();
    return *static_cast<Part*>(slot.get());
  }

 private:
  MachineConfig config_;
  EventLog log_;
  Verifier verifier_;
  FaultInjector faults_;
  std::unique_ptr<Scheduler> scheduler_;
  std::unique_ptr<KernelState> kernel_;
  std::recursive_mutex partsMutex_;
  std::map<std::type_index, std::shared_ptr<void>> parts_;
};

}  // namespace winsim
