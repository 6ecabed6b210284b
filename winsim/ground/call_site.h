// winsim: a call place kept in parts, for a text that is seldom read.
#pragma once

#include <string>

#include "ground/scheduler.h"

namespace winsim {

// What CallPlace (ground/ground.h) says, kept unformatted: a GlobalAlloc
// block's or a handle's place is read only when it leaks (or a test lists
// the handles), and a topology walk makes hundreds of blocks and opens. Text() formats it as
// CallPlace would have.
struct CallSite {
  std::string api;
  bool onMachine = false;  // false: the api's name alone
  std::string thread;
  VirtualTime time = 0;
  std::string Text() const;
};
CallSite CurrentCallSite(std::string api);

}  // namespace winsim
