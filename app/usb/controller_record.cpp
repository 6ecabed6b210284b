#include <string.h>

#include "controller_record.h"

BOOL IsControllerRecorded(const WalkedControllerRecord& record, const char* name) {
  for (ULONG i = 0; i < record.Count && i < MaxWalkedControllers; ++i) {
    if (strcmp(record.Names[i], name) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

BOOL RecordController(WalkedControllerRecord& record, const char* name) {
  const size_t length = strlen(name);
  if (record.Count >= MaxWalkedControllers || length >= MaxControllerNameLength) {
    return FALSE;
  }
  memcpy(record.Names[record.Count++], name, length + 1);
  return TRUE;
}
