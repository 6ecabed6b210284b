// Checking a scenario's expectations: at an `expect` step and at the end of
// the run. Each expectation checked is an outcome (a JUnit test case).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness/user_agent.h"
#include "machine/machine.h"
#include "scenario.h"
#include "scenario_result.h"
#include "usb/usb_bus.h"

namespace quillsim {

// What the user last saw of the program.
struct Seen {
  std::vector<std::string> messageBoxes;  // every box so far, in order
  std::string status;
  std::vector<std::string> devices;
  int selection = -1;
  int progressLow = 0;
  int progressHigh = 0;
  int progressPos = 0;
  std::vector<winsim::ControlView> controls;  // of the main dialog
  bool minimized = false;
};

// What the update-mode devices that have been on a port received, in order
// (the source of the run's closing summary too): the Q417's update-mode
// requests in normal mode, then each OUT transfer and pipe reset.
struct PortRequests {
  uint32_t triggerRequests = 0;
  int64_t outTransfers = 0;
  int64_t pipeResets = 0;
  int64_t headers = 0;
  std::vector<std::string> sequence;  // "header EE 00 00 03 E8", "block 256 failed", "pipe reset"
  std::string lastHeader;             // hex
  std::vector<std::vector<uint8_t>> lastBlocks;  // the bytes of each block after it
  std::vector<uint32_t> lastCounts;              // each block's length
};
// arrival > 0: only the n-th update-mode device on the port, and the
// trigger requests of the normal-mode devices since the one before it.
PortRequests ReadPortRequests(winsim::usb::UsbBus& bus, const std::string& port,
                              int64_t arrival = 0);
// How many update-mode devices have been on the port.
int64_t UpdateModeArrivals(winsim::usb::UsbBus& bus, const std::string& port);
// The update-mode requests (configuration descriptor 0x55) a device in
// normal mode received: a Q417's own count, any other device's requests.
uint32_t UpdateModeRequests(const winsim::usb::UsbDevice& device);

class Checker {
 public:
  explicit Checker(std::vector<uint8_t> image) : image_(std::move(image)) {}

  // An `expect` step: one outcome for all its keys. Returns the failure.
  std::string AtStep(const std::string& name, const Expectations& expect, const Seen& seen,
                     winsim::Machine& machine, winsim::usb::UsbBus& bus);
  // The end of the run: one outcome per key (bus is null when the run hung).
  void AtEnd(const Expectations& expect, const Seen& seen, winsim::Machine& machine,
             winsim::usb::UsbBus* bus, bool endedDuringScript);
  void Add(std::string name, std::string failure) {
    outcomes_.push_back({std::move(name), std::move(failure), {}, {}});
  }

  const std::vector<Outcome>& Outcomes() const { return outcomes_; }
  std::vector<std::string> Failures() const;

 private:
  // An outcome of each key of `expect` that the moment can tell, named by
  // the key.
  std::vector<Outcome> CheckState(const Expectations& expect, const Seen& seen,
                                  winsim::Machine& machine, winsim::usb::UsbBus* bus) const;

  std::vector<uint8_t> image_;
  std::vector<Outcome> outcomes_;
};

// JUnit XML: one test suite, one test case per outcome.
bool WriteJUnit(const std::string& path, const std::string& suite,
                const std::vector<Outcome>& outcomes);

}  // namespace quillsim
