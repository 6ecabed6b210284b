// The walked-controller record: the host controllers already walked in one
// discovery walk, known by their driver key names. A controller can be
// reached both by its numbered name and through its device interface; the
// record keeps it from being walked twice. No system calls.
#pragma once

#include <windows.h>

constexpr ULONG MaxWalkedControllers = 20;

struct WalkedControllerRecord {
  ULONG Count;
  char* DriverKeys[MaxWalkedControllers];  // owned; released by the walk
};

// True when a controller with this driver key name has been recorded.
BOOL IsControllerRecorded(const WalkedControllerRecord& record, const char* driverKey);

// Records a driver key name and takes it over. FALSE when the record is full:
// the name stays the caller's, and later controllers are still compared with
// the ones recorded.
BOOL RecordController(WalkedControllerRecord& record, char* driverKey);
