// The walked-controller record: the host controllers already walked in one
// discovery walk, known by their driver key names. A controller can be
// reached both by its numbered name and through its device interface; the
// record keeps it from being walked twice. No system calls.
#pragma once

#include <windows.h>

constexpr ULONG MaxWalkedControllers = 20;
// Room for a recorded driver key name and its NUL. A controller's key is a
// class GUID and an instance number, far shorter.
constexpr ULONG MaxControllerKeyLength = 256;

// Held in place, so that knowing a controller never depends on memory being
// available: a walk short of memory must not walk a controller twice.
struct WalkedControllerRecord {
  ULONG Count;
  char DriverKeys[MaxWalkedControllers][MaxControllerKeyLength];
};

// True when a controller with this driver key name has been recorded.
BOOL IsControllerRecorded(const WalkedControllerRecord& record, const char* driverKey);

// Records a copy of a driver key name. FALSE when the record is full or the
// name too long to hold: later controllers are still compared with the ones
// recorded.
BOOL RecordController(WalkedControllerRecord& record, const char* driverKey);
