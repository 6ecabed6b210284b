// winsim: the machine description: a JSON file that describes a whole
// simulated PC (operating system, Windows directory, clock and the USB tree
// with every device and its script). docs/machine.md documents the format.
//
// A wrong description is refused before anything starts: parsing throws
// DescriptionError naming the JSON path ("/usb/controllers/0/ports/2/
// device/vendorId") and what is wrong.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "machine/machine.h"
#include "usb/description_error.h"
#include "usb/device_script.h"

namespace winsim {

struct MachineDescription {
  OsFamily os = OsFamily::WindowsNt;
  std::string windowsDirectory = "C:\\WINDOWS";
  ClockMode clock = ClockMode::Virtual;
  bool kernelDebugger = false;
  usb::UsbTreeScript usb;

  MachineConfig Config() const {
    MachineConfig config;
    config.os = os;
    config.clock = clock;
    config.kernelDebugger = kernelDebugger;
    return config;
  }
};

// Parses a description; throws DescriptionError.
MachineDescription ParseMachineDescription(std::string_view json);
// Reads and parses a file; a file that cannot be read is a DescriptionError
// with an empty path.
MachineDescription LoadMachineDescription(const std::string& fileName);

}  // namespace winsim
