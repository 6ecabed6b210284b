// A simulated PC for quillprog's discovery, trigger and download worker: a
// machine with a desktop and a USB bus, the application run with
// RunApplication (so its end checks run), a minimal main window whose
// control 1002 is the device list, and quillfw as the update-mode Q417's
// driver.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "usb/models/q417.h"
#include "usb/usb_bus.h"
#include "user32/desktop.h"

namespace apptest {

// A device script with a description of its own, so list order shows.
winsim::usb::DeviceScript Named(winsim::usb::DeviceScript device, const std::string& description);
winsim::usb::PortScript DevicePort(winsim::usb::DeviceScript device);
winsim::usb::PortScript HubPort(std::vector<winsim::usb::PortScript> ports);
winsim::usb::PortScript Q417Port(winsim::usb::Q417Script q417 = {});
winsim::usb::ControllerScript Controller(std::vector<winsim::usb::PortScript> ports,
                                         bool numbered = true, bool deviceInterface = true);

class AppMachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the bus (quillfw registered first) on the machine.
  void StartBus(winsim::usb::UsbTreeScript script);
  // Runs main as the application's main thread, with the main window up;
  // the end-of-application checks follow.
  void RunApp(const std::function<void()>& main);

  // The device list's items (on the application's thread).
  static std::vector<std::string> ListItems();
  // User-mode log events with this text.
  std::vector<winsim::Event> UserEvents(const std::string& text) const;

  std::unique_ptr<winsim::Machine> machine_;
  std::unique_ptr<winsim::Desktop> desktop_;
  std::unique_ptr<winsim::usb::UsbBus> bus_;
};

}  // namespace apptest
