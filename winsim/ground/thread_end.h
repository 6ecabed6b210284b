// winsim: clean-ups at the end of each simulated thread.
#pragma once

namespace winsim {

// A family that keeps state per simulated thread in tables of its own (not in
// thread_local variables: see ResetAtEachThreadStart) registers a clean-up
// once (at static initialisation), run on each simulated thread as it ends
// (its body returned or was unwound), so that a long-lived machine does not
// collect the state of threads that are gone. Returns true, for use as a
// static's initialiser.
bool CleanUpAtEachThreadEnd(void (*cleanUp)());

}  // namespace winsim
