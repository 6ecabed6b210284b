// The fixture of quillfw's tests: a fresh machine per test, quillfw
// registered as the update-mode Q417's service, the USB bus built from a
// script, kernel32 for the application's side, and the verifier on (a
// finding the test did not expect fails it).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "pnp/pnp_manager.h"
#include "usb/device_script.h"
#include "quillfw_public.h"
#include "usb/usb_bus.h"

namespace driver_tests {

using Lines = std::vector<std::string>;

// Pool tag of every allocation quillfw makes, and of the library's
// configuration request.
inline constexpr ULONG kWdmTag = winsim::PoolTag("Wdm ");
inline constexpr ULONG kUsbdTag = winsim::PoolTag("USBD");

inline constexpr DWORD kIoctlWrite = IOCTL_FIRMWARE_WRITE;
inline constexpr DWORD kIoctlRead = IOCTL_FIRMWARE_READ;
inline constexpr char kDevicePath[] = QUILLFW_USER_PATH;
inline constexpr char kPort[] = "0/1";

// The update-mode Q417 as a plain device (OUT bytes are taken, not parsed as
// the download protocol), so that the driver's own behaviour shows.
winsim::usb::DeviceScript UpdateModeDevice();
// A machine's USB tree with that device on root port 1 of controller 0.
winsim::usb::UsbTreeScript TreeWith(const winsim::usb::DeviceScript& device,
                                    winsim::usb::CompletionMode mode);

// What a DeviceIoControl call gave back.
struct ControlResult {
  BOOL ok = FALSE;
  DWORD error = 0;     // GetLastError() after a failure
  DWORD returned = 0;  // lpBytesReturned
};

class DriverTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  // A new machine (the old one is checked first); for sweeps, and for
  // explored schedules. kernelDebugger: a breakpoint is recorded and the
  // machine goes on (else a bug check).
  void FreshMachine(winsim::OsFamily os = winsim::OsFamily::WindowsNt,
                    winsim::ExploreConfig explore = {}, bool kernelDebugger = false);
  // Checks the verifier and drops the bus and the machine.
  void CheckAndDropMachine();

  winsim::Machine& machine() { return *machine_; }
  winsim::usb::UsbBus& bus() { return *bus_; }

  // Runs body on the machine with quillfw registered and the bus built from
  // tree (devices arrive and start before body). Inside an application run
  // (kernel32 handles), closed at its end; then the bus shuts down (orderly
  // removal, driver unload). Returns false on a hang.
  bool RunBus(const winsim::usb::UsbTreeScript& tree, const std::function<void()>& body);

  // The driver's DbgPrint lines so far, with the addresses it prints
  // masked as "#".
  Lines Trace() const;
  // The status the Plug and Play manager logged for the last request named
  // request ("IRP_MN_START_DEVICE", "AddDevice"...), or "" if none.
  std::string PnpStatus(const std::string& request) const;

  // The update-mode device on the port (its recorded requests), the last one
  // that was there.
  const winsim::usb::UsbDevice& Device();
  // The bulk transfers the device saw: requested lengths, endpoints.
  std::vector<uint32_t> TransferLengths();
  std::vector<uint8_t> TransferEndpoints();
  size_t ResetCount();
  // The present Plug and Play node of the update-mode device.
  static winsim::pnp::DeviceNode* UpdateModeNode();

  // kernel32: open \\.\QUILLDEV, and one control request. in is copied into
  // a buffer of max(inLength, outLength) bytes.
  HANDLE OpenDevice();
  ControlResult Control(HANDLE device, DWORD code, const std::vector<uint8_t>& in, DWORD inLength,
                        DWORD outLength, std::vector<uint8_t>* out = nullptr);
  // A write of count payload bytes in an envelope of count + 8 bytes.
  ControlResult Write(HANDLE device, uint32_t count, uint8_t seed = 1);
  // The payload that Write sends for count and seed.
  static std::vector<uint8_t> Payload(uint32_t count, uint8_t seed = 1);

  std::unique_ptr<winsim::Machine> machine_;
  std::unique_ptr<winsim::usb::UsbBus> bus_;
};

// Win32 error for an NTSTATUS, as kernel32 reports it.
DWORD ErrorFor(NTSTATUS status);

}  // namespace driver_tests
