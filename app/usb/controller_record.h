// The walked-controller record: the host controllers already walked in one
// discovery walk, known by their root hubs' symbolic names. A controller can
// be reached both by its numbered name and through its device interface; the
// record keeps it from being walked twice. No system calls.
//
// The root hub's name, not the controller's driver key: a controller is
// walked only when its root hub's name has been read, so a controller whose
// name the walk could not read (a request or an allocation failed) has no
// devices listed, and cannot be listed twice.
#pragma once

#include <windows.h>

constexpr ULONG MaxWalkedControllers = 20;
// Room for a recorded name and its NUL; root hub names are far shorter.
constexpr ULONG MaxControllerNameLength = 256;

// Names are held in place: recording one never needs memory.
struct WalkedControllerRecord {
  ULONG Count;
  char Names[MaxWalkedControllers][MaxControllerNameLength];
};

// True when a controller with this name has been recorded.
BOOL IsControllerRecorded(const WalkedControllerRecord& record, const char* name);

// Records a copy of a name. FALSE when the record is full or the name too
// long to hold: later controllers are still compared with the ones recorded.
BOOL RecordController(WalkedControllerRecord& record, const char* name);
