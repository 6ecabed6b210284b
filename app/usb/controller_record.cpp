#include <string.h>

#include "controller_record.h"

BOOL IsControllerRecorded(const WalkedControllerRecord& record, const char* driverKey) {
  for (ULONG i = 0; i < record.Count && i < MaxWalkedControllers; ++i) {
    if (strcmp(record.DriverKeys[i], driverKey) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

BOOL RecordController(WalkedControllerRecord& record, const char* driverKey) {
  const size_t length = strlen(driverKey);
  if (record.Count >= MaxWalkedControllers || length >= MaxControllerKeyLength) {
    return FALSE;
  }
  memcpy(record.DriverKeys[record.Count++], driverKey, length + 1);
  return TRUE;
}
