// winsim: whether this process's machines keep their event logs.
#pragma once

namespace winsim {

// On unless turned off. A fuzz target that never reads its machine's log
// turns it off for its whole process: events are then not kept, and the
// busiest places that write them (the I/O manager's IRP events, the bus's
// packets, user mode's calls and windows) do not build them either. The
// verifier keeps its findings either way.
void SetEventRecording(bool on);
bool EventRecording();

}  // namespace winsim
