// winsim: the ground of the machine that exists now: its settings, event
// log, verifier, fault injection, scheduler and clock, the kernel's state
// and the per-machine state of the parts. Everything below the machine's
// assembly (the kernel, Plug and Play, the bus) reaches the machine through
// Ground::Current() and so includes nothing of winsim/machine; the Machine
// (machine/machine.h) is a Ground that also owns the kernel and runs.
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <typeindex>

#include "ground/event_log.h"
#include "ground/scheduler.h"
#include "ground/verifier.h"

namespace winsim {

// Windows98: WDM 1.0 only. Windows2000: WDM 1.0 and 1.10. WindowsNt: WDM
// 1.0 to 1.30 (Windows XP). NoWdm: no WDM version at all (a test setting).
// Windows98SE and WindowsMe answer WDM versions as Windows98 does here; they
// differ in the routines their kernels export (kernel/os_exports.txt).
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

// "CreateFileA on thread 'main' at 0.250000 s": where a call was made (the
// name alone with no machine).
std::string CallPlace(std::string_view api);

class KernelState;  // the kernel's objects (kernel/kernel_state.h)

class Ground {
 public:
  Ground(const Ground&) = delete;
  Ground& operator=(const Ground&) = delete;

  // The machine that exists now; aborts when there is none.
  static Ground& Current();
  static Ground* CurrentOrNull();

  const MachineConfig& Config() const { return config_; }
  void SetOs(OsFamily os) { config_.os = os; }
  void SetAdministrator(bool administrator) { config_.administrator = administrator; }
  EventLog& Log() { return log_; }
  Verifier& Verify() { return verifier_; }
  FaultInjector& Faults() { return faults_; }
  Scheduler& Sched() { return *scheduler_; }
  KernelState& Kernel() { return *kernelState_; }

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

 protected:
  explicit Ground(MachineConfig config);
  MachineConfig& MutableConfig() { return config_; }
  ~Ground();

  // The machine makes itself the current one once its kernel exists (aborts
  // when another machine exists), and stops being it once its kernel is gone.
  void BecomeCurrent(KernelState& kernel);
  void StopBeingCurrent();

 private:
  MachineConfig config_;
  EventLog log_;
  Verifier verifier_;
  FaultInjector faults_;
  std::unique_ptr<Scheduler> scheduler_;
  KernelState* kernelState_ = nullptr;  // the Machine's
  std::recursive_mutex partsMutex_;
  std::map<std::type_index, std::shared_ptr<void>> parts_;
};

}  // namespace winsim
