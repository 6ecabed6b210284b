// Fuzz target: one device control request of any code, input and output
// length and content (a TransferRequest envelope for the driver's own codes)
// sent through kernel32's DeviceIoControl to quillfw, which drives a
// simulated update-mode Q417 on root port 1 of a simulated PC.
//
// Input: control code (4 bytes, little-endian), input length and output
// length (4 bytes each, taken modulo kLengthLimit + 1), then the buffer's
// bytes (the envelope: Count, payload, reserved; the rest of the buffer is
// 0xCC). Checked on every input:
//   - the request ends (no hang of the machine), with the result the driver
//     promises: a broken envelope fails with ERROR for
//     STATUS_INVALID_BUFFER_SIZE and sends nothing; a good write succeeds and
//     the device receives exactly the payload; a read returns 4 + n bytes, n
//     no more than Count, or nothing; any other code succeeds and does nothing;
//   - the device stays usable: a good write right after succeeds;
//   - nothing leaks: no handle left open, pool blocks, MDLs and IRPs back to
//     where they were, no verifier finding.
// The machine and its bus are made once per process (and again every
// 2,000 inputs); each input runs as one application, and its log entries
// and the device's record of its requests are dropped at its end.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ground/event_recording.h"
#include "harness/quillfw_service.h"
#include "kernel/kernel_state.h"
#include "kernel32/status_mapping.h"
#include "kernel32/user_process.h"
#include "machine/machine.h"
#include "pnp/pnp_manager.h"
#include "quillfw.h"
#include "usb/models/q417.h"
#include "usb/usb_bus.h"
#include "usb/usb_device.h"

namespace {

using namespace winsim;
using namespace winsim::usb;

// Four pieces of 0x1000 and some: transfers of one to five pieces.
constexpr uint32_t kLengthLimit = 4 * FW_PIECE_SIZE + 64;
// Inputs run on one machine before it is made afresh; QUILL_FUZZ_MACHINE_INPUTS
// overrides (1: a new machine for every input, to compare the cost).
int InputsPerMachine() {
  static const int inputs = [] {
    const char* text = std::getenv("QUILL_FUZZ_MACHINE_INPUTS");
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > 0 ? value : 2000;
  }();
  return inputs;
}
constexpr char kPort[] = "0/1";
constexpr int kWarmUpWrites = 100;
constexpr uint32_t kEnvelope = sizeof(TransferRequest);

// Nothing here reads the machine's event log, and building its texts cost
// more than a tenth of a run: it is off unless QUILL_FUZZ_LOG is set (to
// look into an input that fails).
void KeepOrSkipTheLog() { SetEventRecording(std::getenv("QUILL_FUZZ_LOG") != nullptr); }

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "transfer_request: %s\n", what);
  std::abort();
}

void Require(bool condition, const char* what) {
  if (!condition) Fail(what);
}

uint32_t Le32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

// The update-mode Q417 as a plain device: OUT bytes are taken as they come,
// an IN transfer ends with a zero-length packet.
UsbTreeScript Tree() {
  DeviceScript device = DefaultQ417UpdateMode();
  device.model = kGenericModel;
  PortScript port;
  port.status = DeviceConnected;
  port.device = device;
  ControllerScript controller;
  controller.rootPorts = {port};
  UsbTreeScript tree;
  tree.controllers = {controller};
  return tree;
}

// What the kernel holds: compared before and after every input.
struct KernelCounts {
  size_t pool, mdls, irps, files;
  bool operator==(const KernelCounts&) const = default;
};

KernelCounts Counts(Machine& machine) {
  KernelState& kernel = machine.Kernel();
  return {kernel.pool.size(), kernel.mdls.size(), kernel.irps.size(), kernel.files.size()};
}

void RequireNoFindings(Machine& machine) {
  const std::vector<Finding> findings = machine.Verify().Unexpected();
  for (const Finding& finding : findings) {
    std::fprintf(stderr, "verifier: %s at %s: %s\n", finding.rule.c_str(), finding.place.c_str(),
                 finding.detail.c_str());
  }
  Require(findings.empty(), "verifier finding");
}

class Rig {
 public:
  Rig() : machine_(std::make_unique<Machine>()) {
    KeepOrSkipTheLog();
    quillfw_host::RegisterQuillfwService();
    Require(machine_->Run([this] {
      bus_ = UsbBus::Create(Tree());
      pnp::WaitIdle();
    }),
            "the machine hung while the device arrived");
    Require(bus_ != nullptr, "no bus");
    RequireNoFindings(*machine_);
    WarmUp();
  }
  ~Rig() {
    Require(machine_->Run([this] {
      bus_->Shutdown();
      pnp::WaitIdle();
    }),
            "the machine hung at shutdown");
    RequireNoFindings(*machine_);
  }

  // Good writes until the pool's quarantine (the last 64 freed blocks, kept
  // poisoned) is full: from then on an input frees as many host blocks as it allocates, and
  // libFuzzer spares it its leak check (a second run and a scan of the heap).
  void WarmUp() {
    Require(machine_->Run([] {
      kernel32::BeginApplication();
      const HANDLE device = CreateFileA("\\\\.\\QUILLDEV", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
      Require(device != INVALID_HANDLE_VALUE, "\\\\.\\QUILLDEV cannot be opened");
      std::vector<uint8_t> good(16 + kEnvelope, 0);
      good[0] = 16;
      DWORD returned = 0;
      for (int i = 0; i < kWarmUpWrites; ++i) {
        Require(DeviceIoControl(device, IOCTL_FIRMWARE_WRITE, good.data(),
                                static_cast<DWORD>(good.size()), nullptr, 0, &returned, nullptr),
                "a good write failed while warming up");
      }
      Require(CloseHandle(device), "the device handle cannot be closed");
      kernel32::EndApplication();
    }),
            "the machine hung while warming up");
    RequireNoFindings(*machine_);
    machine_->Log().Clear();
    ForgetRequests();
  }

  Machine& machine() { return *machine_; }
  const UsbDevice& Device() { return *bus_->History(kPort).back(); }
  void ForgetRequests() {
    UsbDevice* device = bus_->DeviceAt(kPort);
    Require(device == &Device(), "the device left its port");
    device->ForgetRequests();
  }

 private:
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<UsbBus> bus_;
};

std::unique_ptr<Rig> rig;
int inputsOnThisMachine = 0;

struct Result {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD returned = 0;
};

Result Control(HANDLE device, DWORD code, std::vector<uint8_t>& buffer, DWORD inLength,
               DWORD outLength) {
  Result result;
  result.returned = 0xDEADu;
  SetLastError(0);
  result.ok = DeviceIoControl(device, code, buffer.data(), inLength, buffer.data(), outLength,
                              &result.returned, nullptr);
  result.error = result.ok ? 0 : GetLastError();
  return result;
}

// The OUT bytes the device received since request number `mark`.
std::vector<uint8_t> ReceivedSince(const UsbDevice& device, size_t mark) {
  std::vector<uint8_t> received;
  const std::vector<DeviceRequest>& requests = device.Requests();
  for (size_t i = mark; i < requests.size(); ++i) {
    if (requests[i].kind == RequestKind::Transfer && !requests[i].in) {
      received.insert(received.end(), requests[i].data.begin(), requests[i].data.end());
    }
  }
  return received;
}

size_t TransfersSince(const UsbDevice& device, size_t mark) {
  const std::vector<DeviceRequest>& requests = device.Requests();
  return static_cast<size_t>(std::count_if(
      requests.begin() + static_cast<std::ptrdiff_t>(mark), requests.end(),
      [](const DeviceRequest& request) { return request.kind == RequestKind::Transfer; }));
}

void CheckFuzzedRequest(const UsbDevice& device, DWORD code, const std::vector<uint8_t>& sent,
                        const std::vector<uint8_t>& buffer, DWORD inLength, DWORD outLength,
                        const Result& result, size_t mark) {
  const bool ours = code == IOCTL_FIRMWARE_WRITE || code == IOCTL_FIRMWARE_READ;
  if (!ours) {
    Require(result.ok && result.returned == 0, "another control code did not succeed quietly");
    Require(TransfersSince(device, mark) == 0, "another control code reached the device");
    return;
  }
  const bool read = code == IOCTL_FIRMWARE_READ;
  const uint32_t count = inLength >= 4 ? Le32(sent.data()) : 0;
  const auto holds = [count](DWORD length) {
    return length >= kEnvelope && count <= length - kEnvelope;
  };
  if (!holds(inLength) || (read && !holds(outLength))) {
    Require(
        !result.ok && result.error == kernel32::RtlNtStatusToDosError(STATUS_INVALID_BUFFER_SIZE),
        "a broken envelope was not refused with STATUS_INVALID_BUFFER_SIZE");
    Require(result.returned == 0, "a refused request returned bytes");
    Require(TransfersSince(device, mark) == 0, "a refused request reached the device");
    return;
  }
  if (!read) {
    Require(result.ok && result.returned == 0, "a good write failed");
    const std::vector<uint8_t> payload(sent.begin() + 4, sent.begin() + 4 + count);
    Require(ReceivedSince(device, mark) == payload, "the device did not get exactly the payload");
    return;
  }
  if (result.ok) {
    Require(result.returned >= 4, "a read returned less than its count");
    const uint32_t arrived = Le32(buffer.data());
    Require(arrived <= count, "a read returned more than its count");
    Require(result.returned == 4 + arrived, "a read's length is not 4 + its count");
  } else {
    Require(result.returned == 0, "a failed read returned bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return -1;  // not an input of this target
  const DWORD code = Le32(data);
  const DWORD inLength = Le32(data + 4) % (kLengthLimit + 1);
  const DWORD outLength = Le32(data + 8) % (kLengthLimit + 1);
  std::vector<uint8_t> sent(std::max<size_t>({inLength, outLength, size - 12, 1}), 0xCC);
  std::copy(data + 12, data + size, sent.begin());

  if (!rig || inputsOnThisMachine >= InputsPerMachine()) {
    rig.reset();
    rig = std::make_unique<Rig>();
    inputsOnThisMachine = 0;
  }
  ++inputsOnThisMachine;
  Machine& machine = rig->machine();
  const KernelCounts before = Counts(machine);

  const bool ended = machine.Run([&] {
    kernel32::BeginApplication();
    const HANDLE device = CreateFileA("\\\\.\\QUILLDEV", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    Require(device != INVALID_HANDLE_VALUE, "\\\\.\\QUILLDEV cannot be opened");

    size_t mark = rig->Device().Requests().size();
    std::vector<uint8_t> buffer = sent;
    const Result fuzzed = Control(device, code, buffer, inLength, outLength);
    CheckFuzzedRequest(rig->Device(), code, sent, buffer, inLength, outLength, fuzzed, mark);

    // The device is still usable: a good write of 16 bytes goes through.
    mark = rig->Device().Requests().size();
    std::vector<uint8_t> good(16 + kEnvelope, 0);
    good[0] = 16;
    for (uint8_t i = 0; i < 16; ++i) good[4 + i] = static_cast<uint8_t>(0xA0 + i);
    const Result followUp =
        Control(device, IOCTL_FIRMWARE_WRITE, good, static_cast<DWORD>(good.size()), 0);
    Require(followUp.ok, "a good write after the request failed");
    Require(ReceivedSince(rig->Device(), mark) ==
                std::vector<uint8_t>(good.begin() + 4, good.begin() + 20),
            "a good write after the request did not arrive intact");

    Require(CloseHandle(device), "the device handle cannot be closed");
    Require(kernel32::OpenHandles().empty(), "a handle is left open");
    kernel32::EndApplication();
  });
  Require(ended, "the machine hung");
  RequireNoFindings(machine);
  Require(Counts(machine) == before, "pool blocks, MDLs, IRPs or file objects leaked");
  // What the input added to the log and the device's record goes with it:
  // an input that frees as much as it allocates spares libFuzzer's leak
  // check (a second run of the input and a scan of the whole heap).
  machine.Log().Clear();
  rig->ForgetRequests();
  return 0;
}
