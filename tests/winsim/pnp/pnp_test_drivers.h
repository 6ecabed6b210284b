// Small drivers for the Plug and Play tests: a bus that makes physical device
// objects and answers for them as a bus driver does, and a function driver
// that forwards Plug and Play and power requests the way WDM function drivers
// do (quillfw among them), with switches that make it refuse or fail.
#pragma once

#include <wdm.h>

#include <map>
#include <string>
#include <vector>

namespace pnp_test_drivers {

// ---------------------------------------------------------------- bus

struct PdoRecord {
  std::vector<std::string>
      requests;                 // "IRP_MN_START_DEVICE", "IRP_MN_SET_POWER D3", "IRP_MJ_CREATE"
  USHORT capabilitiesSize = 0;  // what IRP_MN_QUERY_CAPABILITIES arrived with
  USHORT capabilitiesVersion = 0;
  bool gone = false;  // the device has left the bus: delete at removal
  bool deleted = false;
};

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// A named PDO "\Device\TestPdo<index>" of the bus.
PDEVICE_OBJECT MakePdo(PDRIVER_OBJECT bus, int index);
PdoRecord& Pdo(PDEVICE_OBJECT pdo);
// Deletes the PDOs still there (the end of a test).
void DeleteRemainingPdos();

// ---------------------------------------------------------------- function driver

struct FunctionConfig {
  bool failStart = false;
  bool failAddDevice = false;
  int startMilliseconds = 0;  // virtual time the start takes after the lower drivers
  bool vetoQueryStop = false;
  bool vetoQueryRemove = false;
  bool vetoQueryPower = false;
  bool failSystemSetPower = false;       // completes system set-power IRPs with a failure (a fault)
  bool forgetStartNextPowerIrp = false;  // passes power IRPs down without PoStartNextPowerIrp
  // Detaches and deletes at surprise removal, before IRP_MN_REMOVE_DEVICE (a fault).
  bool deleteAtSurpriseRemoval = false;
};
extern FunctionConfig functionConfig;

// What the function driver saw. Its device n (0, 1, ... in AddDevice order)
// is "\Device\TestFn<n>" with the link "\DosDevices\TESTFN<n>"; its requests
// read as the bus's do, after "AddDevice".
struct FunctionRecord {
  std::vector<std::string> driverEvents;                   // DriverEntry, DriverUnload
  std::map<int, std::vector<std::string>> deviceRequests;  // by device number
  int devicesMade = 0;
};
FunctionRecord& Function();

NTSTATUS NTAPI FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Resets both records (per test).
void Reset();

}  // namespace pnp_test_drivers
