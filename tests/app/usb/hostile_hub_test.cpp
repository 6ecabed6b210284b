// Hub answers are not trusted: short, huge, unterminated and self-naming
// answers end the walk cleanly, with every handle accounted for.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app_machine.h"
#include "hostile_hub.h"
#include "kernel/kernel.h"
#include "kernel32/user_process.h"
#include "usb_devices.h"

namespace apptest {
namespace {

struct HostileCase {
  const char* name;
  HostileHubScript script;
  uint32_t hubOpens;
  std::vector<std::string> items;
};

using HostileHubTest = AppMachineTest;

TEST_F(HostileHubTest, TheWalkEndsCleanly) {
  const std::string unknown = UnknownDeviceDescription;
  const HostileCase cases[] = {
      {"short root hub name", {NameAnswer::Short}, 0, {}},
      {"unterminated root hub name", {NameAnswer::Unterminated}, 0, {}},
      {"huge root hub name, short port name", {NameAnswer::Huge, NameAnswer::Short}, 1, {unknown}},
      // Root hub and five external hubs, as deep as USB goes; each level
      // lists its port-2 device and holds its own handle of the hub.
      {"a hub that names itself",
       {NameAnswer::Proper, NameAnswer::Proper},
       6,
       std::vector<std::string>(6, unknown)},
      {"unterminated port name and driver key",
       {NameAnswer::Proper, NameAnswer::Unterminated, NameAnswer::Unterminated},
       1,
       {unknown}},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    g_hostileHub = c.script;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_TRUE(machine_->Run([&driver] {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      driver = winsim::kernel::LoadDriver("HostileHub", HostileHubDriverEntry, &status);
      ASSERT_EQ(status, STATUS_SUCCESS);
    }));
    RunApp([&] {
      ULONG count = 0;
      EnumerateUsbDevices(&count);
      EXPECT_EQ(ListItems(), c.items);
      EXPECT_EQ(count, c.items.size());
      EXPECT_EQ(winsim::kernel32::OpenHandles().size(), c.items.size());  // one hub handle each
      ClearDeviceTable();
      EXPECT_TRUE(winsim::kernel32::OpenHandles().empty());
    });
    EXPECT_EQ(g_hostileHub.hubOpens, c.hubOpens);
    ASSERT_TRUE(machine_->Run([driver] { winsim::kernel::UnloadDriver(driver); }));
  }
}

}  // namespace
}  // namespace apptest
