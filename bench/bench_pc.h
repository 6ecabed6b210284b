// The simulated PC the download and walk benchmarks run on: a machine with a
// desktop, a USB tree, quillfw installed for the update-mode Q417, and
// quillprog's process with a main window whose control 1002 is the device
// list (what EnumerateUsbDevices fills).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "usb/models/models.h"
#include "usb/usb_bus.h"
#include "user32/desktop.h"

namespace bench {

class BenchPc {
 public:
  // Builds the machine and the bus (quillfw registered first).
  explicit BenchPc(winsim::usb::UsbTreeScript tree);
  // Shuts the bus down (devices removed, drivers unloaded).
  ~BenchPc();
  BenchPc(const BenchPc&) = delete;
  BenchPc& operator=(const BenchPc&) = delete;

  // Runs body as the application's main thread with the main window up
  // (its handle is the argument); the end-of-application checks follow.
  // Returns "" or what went wrong: a hang, or verifier findings.
  std::string RunApp(const std::function<void(HWND mainWindow)>& body);

  winsim::Machine& Machine() { return *machine_; }
  winsim::usb::UsbBus& Bus() { return *bus_; }

 private:
  std::unique_ptr<winsim::Machine> machine_;
  std::unique_ptr<winsim::Desktop> desktop_;
  std::unique_ptr<winsim::usb::UsbBus> bus_;
};

// Device ports for tree scripts.
winsim::usb::PortScript DevicePort(winsim::usb::DeviceScript device);
winsim::usb::PortScript HubPort(std::vector<winsim::usb::PortScript> ports);

}  // namespace bench
