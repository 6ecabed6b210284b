#include "driver_fixture.h"

#include <algorithm>
#include <cstring>
#include <regex>

#include "harness/quillfw_service.h"
#include "kernel32/status_mapping.h"
#include "kernel32/user_process.h"
#include "pnp/pnp_manager.h"
#include "usb/models/q417.h"

namespace driver_tests {

using namespace winsim;
using namespace winsim::usb;

DeviceScript UpdateModeDevice() {
  DeviceScript script = DefaultQ417UpdateMode();
  script.model = kGenericModel;
  return script;
}

UsbTreeScript TreeWith(const DeviceScript& device, CompletionMode mode) {
  PortScript port;
  port.status = DeviceConnected;
  port.device = device;
  return SinglePortTree(port, mode);
}

DWORD ErrorFor(NTSTATUS status) { return kernel32::RtlNtStatusToDosError(status); }

void DriverTest::SetUp() { FreshMachine(); }

void DriverTest::TearDown() { CheckAndDropMachine(); }

void DriverTest::CheckAndDropMachine() {
  if (!machine_) return;
  for (const Finding& finding : machine_->Verify().Unexpected()) {
    ADD_FAILURE() << "verifier: " << finding.rule << " at " << finding.place << ": "
                  << finding.detail;
  }
  bus_.reset();
  machine_.reset();
}

void DriverTest::FreshMachine(OsFamily os, winsim::ExploreConfig explore, bool kernelDebugger) {
  CheckAndDropMachine();
  MachineConfig config;
  config.os = os;
  config.explore = std::move(explore);
  config.kernelDebugger = kernelDebugger;
  machine_ = std::make_unique<Machine>(config);
}

bool DriverTest::RunBus(const UsbTreeScript& tree, const std::function<void()>& body) {
  quillfw_host::RegisterQuillfwService();
  return machine_->Run([&] {
    bus_ = UsbBus::Create(tree);
    ASSERT_NE(bus_, nullptr);
    pnp::WaitIdle();
    kernel32::BeginApplication();
    body();
    kernel32::EndApplication();
    bus_->Shutdown();
    pnp::WaitIdle();
  });
}

Lines DriverTest::Trace() const {
  // The driver prints object and IRP addresses after these words.
  static const std::regex address(
      "(DriverObject |pdo |IRP:0x|DeviceObject = 0x|Irp = 0x)[0-9A-Fa-f]+");
  Lines masked;
  for (const std::string& line : machine_->Log().Texts(EventKind::DbgPrint)) {
    masked.push_back(std::regex_replace(line, address, "$1#"));
  }
  return masked;
}

std::string DriverTest::PnpStatus(const std::string& request) const {
  std::string status;
  for (const Event& event : machine_->Log().OfKind(EventKind::Pnp)) {
    if (event.Field("request") == request) status = event.Field("status");
  }
  return status;
}

const UsbDevice& DriverTest::Device() {
  const std::vector<const UsbDevice*> history = bus_->History(kPort);
  if (history.empty()) {
    ADD_FAILURE() << "no device was ever on " << kPort;
    std::abort();
  }
  return *history.back();
}

std::vector<uint32_t> DriverTest::TransferLengths() {
  std::vector<uint32_t> lengths;
  for (const DeviceRequest& request : Device().Requests()) {
    if (request.kind == RequestKind::Transfer) lengths.push_back(request.requestedLength);
  }
  return lengths;
}

std::vector<uint8_t> DriverTest::TransferEndpoints() {
  std::vector<uint8_t> endpoints;
  for (const DeviceRequest& request : Device().Requests()) {
    if (request.kind == RequestKind::Transfer) endpoints.push_back(request.endpoint);
  }
  return endpoints;
}

size_t DriverTest::ResetCount() {
  const auto& requests = Device().Requests();
  return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& r) {
    return r.kind == RequestKind::ResetPipe;
  }));
}

pnp::DeviceNode* DriverTest::UpdateModeNode() {
  std::vector<pnp::DeviceNode*> pending = {pnp::Root()};
  while (!pending.empty()) {
    pnp::DeviceNode* node = pending.back();
    pending.pop_back();
    if (pnp::IsPresent(node) &&
        pnp::Properties(node).hardwareId == quillfw_host::kUpdateModeHardwareId) {
      return node;
    }
    for (pnp::DeviceNode* child = pnp::FirstChild(node); child; child = pnp::NextSibling(child)) {
      pending.push_back(child);
    }
  }
  ADD_FAILURE() << "no update-mode device in the tree";
  return nullptr;
}

HANDLE DriverTest::OpenDevice() {
  return CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

ControlResult DriverTest::Control(HANDLE device, DWORD code, const std::vector<uint8_t>& in,
                                  DWORD inLength, DWORD outLength, std::vector<uint8_t>* out) {
  std::vector<uint8_t> buffer(std::max<size_t>({in.size(), inLength, outLength, 1}), 0xCC);
  std::copy(in.begin(), in.end(), buffer.begin());
  ControlResult result;
  result.returned = 0xDEAD;
  SetLastError(0);
  result.ok = DeviceIoControl(device, code, buffer.data(), inLength, buffer.data(), outLength,
                              &result.returned, nullptr);
  result.error = result.ok ? 0 : GetLastError();
  if (out != nullptr) *out = buffer;
  return result;
}

std::vector<uint8_t> DriverTest::Payload(uint32_t count, uint8_t seed) {
  std::vector<uint8_t> payload(count);
  for (uint32_t i = 0; i < count; ++i) payload[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return payload;
}

ControlResult DriverTest::Write(HANDLE device, uint32_t count, uint8_t seed) {
  std::vector<uint8_t> envelope(count + 8, 0xA5);
  std::memcpy(envelope.data(), &count, 4);
  const std::vector<uint8_t> payload = Payload(count, seed);
  std::copy(payload.begin(), payload.end(), envelope.begin() + 4);
  return Control(device, kIoctlWrite, envelope, static_cast<DWORD>(envelope.size()), 0);
}

}  // namespace driver_tests
