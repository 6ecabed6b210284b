// A test-only stand-in for the Plug and Play manager, used while the real
// one (winsim/pnp) is not in the tree. Its functions are weak: once the real
// manager is linked, its definitions win and these go unused.
#pragma once

#include <string>
#include <vector>

namespace fake_pnp {

// What the bus reported, in order: "add <instance>", "arrived <instance>",
// "removed <instance> surprise|orderly", "interface <path>".
std::vector<std::string>& Calls();
void Reset();

}  // namespace fake_pnp
