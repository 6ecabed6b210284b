// winsim: setupapi's winsim-side view, for tests.
#pragma once

#include <windef.h>

namespace winsim::setupapi {
// The Windows error code of the last setupapi call that failed (until
// kernel32 keeps a per-thread last error, setupapi keeps its own).
DWORD LastError();
}  // namespace winsim::setupapi
