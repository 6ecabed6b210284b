// winsim: the simulated machine. One Machine exists at a time in a process
// (tests create one per test); kernel APIs reach it through its ground
// (ground/ground.h, Ground::Current()), the parts above them also through
// Machine::Current().
#pragma once

#include <functional>
#include <memory>

#include "ground/ground.h"

namespace winsim {

class Machine : public Ground {
 public:
  explicit Machine(MachineConfig config = {});
  ~Machine();

  // The machine that exists now; aborts when there is none.
  static Machine& Current() { return static_cast<Machine&>(Ground::Current()); }
  static Machine* CurrentOrNull() { return static_cast<Machine*>(Ground::CurrentOrNull()); }

  // Runs body on a simulated thread (PASSIVE_LEVEL) from the calling host
  // thread; returns when all simulated threads have ended (true) or a hang
  // was detected and recorded, or the machine stopped with a bug check
  // (false).
  bool Run(std::function<void()> body);

  // Attaches or detaches a kernel debugger (KD_DEBUGGER_ENABLED follows).
  void SetKernelDebugger(bool enabled);

 private:
  std::unique_ptr<KernelState> kernel_;
};

}  // namespace winsim
