// A small USB function driver for the bus tests, standing in for a client
// driver: at start it reads the device descriptor and selects the first
// configuration; IOCTL_USBTEST_WRITE sends its input on the first bulk OUT
// pipe; stop deconfigures; removal detaches and deletes its device. A system
// IRP_MN_SET_POWER, once the bus has taken it, makes it request the matching
// device power IRP with PoRequestPowerIrp, as WDM function drivers do.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace usb_test_driver {

#define IOCTL_USBTEST_WRITE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Its device is "\Device\UsbTest" with the link "\DosDevices\USBTEST".
struct Record {
  // "DriverEntry", "AddDevice", "configured PID_F001 pipes 2", "IRP_MN_STOP_DEVICE",
  // "system S4", "device D3", "device D3 done", "IRP_MN_REMOVE_DEVICE", "DriverUnload"...
  std::vector<std::string> events;
};
Record& Seen();
void Reset();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace usb_test_driver
