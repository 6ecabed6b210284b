// The fixture of the Plug and Play tests: a machine with the test bus loaded
// and the test function driver registered for kHardwareId.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "pnp/pnp_manager.h"
#include "pnp_test_drivers.h"
#include "sim_machine.h"

namespace pnp_tests {

using namespace winsim;
using Strings = std::vector<std::string>;

constexpr char kHardwareId[] = "ROOT\\TEST_DEVICE";

class PnpTest : public testing_support::SimMachineTest {
 protected:
  void SetUp() override {
    SimMachineTest::SetUp();
    pnp_test_drivers::Reset();
  }

  // Runs body with the test bus loaded and the function driver registered
  // for kHardwareId; afterwards the devices still present are surprise-removed,
  // the bus's leftovers go and the bus unloads.
  void Run(const std::function<void()>& body) {
    RunOnMachine([&] {
      NTSTATUS status;
      bus_ = kernel::LoadDriver("TestBus", pnp_test_drivers::BusDriverEntry, &status);
      ASSERT_EQ(status, STATUS_SUCCESS);
      pnp::RegisterService(kHardwareId, "TestFunction", pnp_test_drivers::FunctionDriverEntry);
      body();
      pnp::WaitIdle();
      // Stacks still on the bus go first (their drivers detach from the
      // PDOs), as the devices leave; then the bus deletes its PDOs.
      for (pnp::DeviceNode* node = pnp::FirstChild(pnp::Root()); node;
           node = pnp::NextSibling(node)) {
        if (pnp::IsPresent(node)) pnp::DeviceRemoved(node, true);
      }
      pnp::WaitIdle();
      pnp_test_drivers::DeleteRemainingPdos();
      kernel::UnloadDriver(bus_);
    });
  }

  // A device on the test bus below parent (the root by default).
  pnp::DeviceNode* Plug(int index, std::string hardwareId = kHardwareId,
                        pnp::DeviceNode* parent = nullptr) {
    PDEVICE_OBJECT pdo = pnp_test_drivers::MakePdo(bus_, index);
    pdos_.push_back(pdo);
    return pnp::AddChild(parent ? parent : pnp::Root(),
                         {"ROOT\\TEST\\" + std::to_string(index), std::move(hardwareId),
                          "{test}\\000" + std::to_string(index), "Test device"},
                         pdo);
  }
  pnp::DeviceNode* PlugAndStart(int index, pnp::DeviceNode* parent = nullptr) {
    pnp::DeviceNode* node = Plug(index, kHardwareId, parent);
    pnp::DeviceArrived(node);
    pnp::WaitIdle();
    return node;
  }

  // The manager's steps for one device, from the event log: request and the
  // driver on top of the stack when it was sent.
  Strings Steps(const pnp::DeviceNode* node) {
    Strings steps;
    for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
      if (event.Field("device") != pnp::Properties(node).instanceId) continue;
      steps.push_back(event.Field("request") +
                      (event.Field("driver").empty() ? "" : " @" + event.Field("driver")));
    }
    return steps;
  }

  // The manager's requests whose name starts with prefix, with the device.
  Strings Requests(const std::string& prefix) {
    Strings requests;
    for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
      if (event.Field("request").starts_with(prefix))
        requests.push_back(event.Field("request") + " " + event.Field("device"));
    }
    return requests;
  }

  PDRIVER_OBJECT bus_ = nullptr;
  std::vector<PDEVICE_OBJECT> pdos_;
};

}  // namespace pnp_tests
