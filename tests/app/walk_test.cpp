// The topology walk on machine descriptions: order, shared and closed hub
// handles, devices that are not listed, the ten-slot table and Refresh.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "app_machine.h"
#include "kernel32/user_process.h"
#include "machine/machine_description.h"
#include "usb_devices.h"

namespace apptest {
namespace {

using namespace winsim::usb;
using Strings = std::vector<std::string>;

class WalkTest : public AppMachineTest {
 protected:
  static UsbTreeScript Example(const char* name) {
    return winsim::LoadMachineDescription(std::string(EXAMPLE_MACHINES_DIR) + "/" + name).usb;
  }
  // Paths of the files the application holds open.
  static std::multiset<std::string> OpenFiles() {
    std::multiset<std::string> files;
    for (const winsim::user::OpenHandle& handle : winsim::user::OpenHandles()) {
      files.insert(handle.what);
    }
    return files;
  }
  static ULONG Walk() {
    ULONG count = 99;
    EnumerateUsbDevices(&count);
    return count;
  }
  // Walks once; the list and the table must agree item for item.
  Strings WalkAndList() {
    const ULONG count = Walk();
    const Strings items = ListItems();
    EXPECT_EQ(count, items.size());
    EXPECT_EQ(TableDescriptions(), items);
    return items;
  }
};

PortScript Mouse(const std::string& name) { return DevicePort(Named(DefaultMouse(), name)); }

struct OrderCase {
  const char* name;
  UsbTreeScript script;
  Strings expected;
};

TEST_F(WalkTest, ListsDevicesInControllerPortAndDepthFirstOrder) {
  // Each case builds its own machine, so one test per machine runs here
  // through the table one after the other.
  const std::vector<OrderCase> cases = {
      {"numbered and interface controllers, the same one reached both ways",
       {{Controller({Mouse("a1"), Mouse("a2")}, true, true), Controller({Mouse("b1")}, false, true),
         Controller({Mouse("c1")}, true, false)}},
       {"a1", "a2", "c1", "b1"}},
      {"external hubs: a hub's devices before its parent's next port",
       {{Controller({Mouse("r1"), HubPort({Mouse("h1"), HubPort({Mouse("hh1")}), Mouse("h3")}),
                     Mouse("r3")})}},
       {"r1", "h1", "hh1", "h3", "r3"}},
      {"a hub with no ports", {{Controller({HubPort({}), Mouse("after")})}}, {"after"}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    StartBus(c.script);
    RunApp([&] {
      EXPECT_EQ(WalkAndList(), c.expected);
      ClearDeviceTable();
    });
  }
}

TEST_F(WalkTest, TheExampleMachineIsListedInOrder) {
  StartBus(Example("default-nt.json"));
  RunApp([&] {
    EXPECT_EQ(WalkAndList(), (Strings{"USB Human Interface Device", "USB Human Interface Device",
                                      "USB Mass Storage Device"}));
    EXPECT_EQ(UsbDeviceTable.Entries[2].ConnectionIndex, 2u);
    ClearDeviceTable();
  });
}

TEST_F(WalkTest, AControllerReachedBothWaysIsOpenedTwiceAndWalkedOnce) {
  StartBus({{Controller({Mouse("only")}, true, true)}});
  RunApp([&] {
    EXPECT_EQ(WalkAndList(), Strings{"only"});
    ClearDeviceTable();
  });
  // Both names of the controller were opened; its root hub once.
  int controllerOpens = 0;
  int rootHubOpens = 0;
  for (const winsim::Event& open : UserEvents("CreateFileA")) {
    const std::string name = open.Field("path");
    controllerOpens += name == "\\\\.\\HCD0" || name.rfind("\\\\?\\", 0) == 0;
    rootHubOpens += name == HubPath("0");
  }
  EXPECT_EQ(controllerOpens, 2);
  EXPECT_EQ(rootHubOpens, 1);
}

TEST_F(WalkTest, DevicesOnOneHubShareItsHandleWhichClearDeviceTableClosesOnce) {
  StartBus({{Controller({HubPort({Mouse("m1"), DevicePort(Named(DefaultKeyboard(), "k2"))})})}});
  RunApp([&] {
    EXPECT_EQ(WalkAndList(), (Strings{"m1", "k2"}));
    ASSERT_EQ(UsbDeviceTable.Count, 2u);
    EXPECT_EQ(UsbDeviceTable.Entries[0].HubHandle, UsbDeviceTable.Entries[1].HubHandle);
    EXPECT_EQ(UsbDeviceTable.Entries[0].ConnectionIndex, 1u);
    EXPECT_EQ(UsbDeviceTable.Entries[1].ConnectionIndex, 2u);
    // Only the external hub stays open; the root hub and the controller
    // were closed when their walks ended.
    EXPECT_EQ(OpenFiles(), std::multiset<std::string>{HubPath("0/1")});
    const size_t closesBefore = UserEvents("CloseHandle").size();
    ClearDeviceTable();
    EXPECT_EQ(UserEvents("CloseHandle").size(), closesBefore + 1);
    EXPECT_EQ(UsbDeviceTable.Count, 0u);
    EXPECT_EQ(UsbDeviceTable.Entries[0].HubHandle, nullptr);
    EXPECT_TRUE(OpenFiles().empty());
    ClearDeviceTable();  // empty: closes nothing
  });
  EXPECT_TRUE(FindingsOf(winsim::rule::kInvalidHandle).empty());
}

TEST_F(WalkTest, ADeviceBehindAnExternalHubHoldsThatHubsHandle) {
  StartBus({{Controller({HubPort({Mouse("deep")})})}});
  RunApp([&] {
    EXPECT_EQ(WalkAndList(), Strings{"deep"});
    EXPECT_EQ(OpenFiles(), std::multiset<std::string>{HubPath("0/1")});
    ClearDeviceTable();
  });
}

TEST_F(WalkTest, DevicesThatCannotBeListedLeaveNoGapAndNoHandle) {
  DeviceScript noDriver = Named(DefaultMouse(), "no driver");
  noDriver.driverKey = "";  // no driver installed: the hub names no key
  DeviceScript noDescription = Named(DefaultKeyboard(), "");
  PortScript failed = Mouse("failed");
  failed.status = DeviceFailedEnumeration;
  PortScript overcurrent = Mouse("overcurrent");
  overcurrent.status = DeviceCausedOvercurrent;
  StartBus({{Controller({Mouse("first"), DevicePort(noDriver), failed, Mouse("second"), overcurrent,
                         DevicePort(noDescription),
                         // a hub whose only device cannot be listed is closed
                         HubPort({DevicePort(noDriver)})})}});
  RunApp([&] {
    EXPECT_EQ(WalkAndList(), (Strings{"first", "second", "Unknown USB Device"}));
    EXPECT_EQ(UsbDeviceTable.Entries[1].ConnectionIndex, 4u);
    EXPECT_EQ(UsbDeviceTable.Entries[2].ConnectionIndex, 6u);
    EXPECT_EQ(OpenFiles(), std::multiset<std::string>{HubPath("0")});
    ClearDeviceTable();
  });
}

TEST_F(WalkTest, RefreshLeavesExactlyTheNewDevices) {
  StartBus({{Controller({Mouse("one"), Mouse("two"), HubPort({Mouse("three")}), PortScript{}})}});
  RunApp([&] {
    EXPECT_EQ(WalkAndList(), (Strings{"one", "two", "three"}));
    // The user unplugs two devices and plugs another in, then presses
    // Refresh (the table is cleared first, as the dialog does).
    bus_->Unplug("0/1");
    bus_->Unplug("0/3/1");
    bus_->Plug("0/4", Mouse("four"));
    ClearDeviceTable();
    EXPECT_EQ(WalkAndList(), (Strings{"two", "four"}));
    EXPECT_EQ(OpenFiles(), std::multiset<std::string>{HubPath("0")});
    ClearDeviceTable();
  });
}

TEST_F(WalkTest, TheEleventhDeviceIsNeitherStoredNorListed) {
  std::vector<PortScript> ports;
  for (int i = 1; i <= 11; ++i) ports.push_back(Mouse("m" + std::to_string(i)));
  // A hub after the full table: no slot holds it, so it is closed.
  ports.push_back(HubPort({Mouse("m12")}));
  StartBus({{Controller(ports)}});
  RunApp([&] {
    const Strings items = WalkAndList();
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items.back(), "m10");
    EXPECT_EQ(UsbDeviceTable.Entries[9].ConnectionIndex, 10u);
    EXPECT_EQ(OpenFiles(), std::multiset<std::string>{HubPath("0")});
    ClearDeviceTable();
  });
}

TEST_F(WalkTest, FiveHubsDeepIsWalkedToTheBottom) {
  StartBus(Example("deep-hubs.json"));
  RunApp([&] {
    const Strings items = WalkAndList();
    ASSERT_EQ(items.size(), 1u);
    ClearDeviceTable();
  });
}

TEST_F(WalkTest, AWalkWithNoMainWindowListsNothingAndLeaksNothing) {
  StartBus({{Controller({Mouse("a")})}});
  ASSERT_TRUE(winsim::user::RunApplication(*machine_, [] {
    ULONG count = 99;
    EnumerateUsbDevices(&count);
    EXPECT_EQ(count, 0u);
    ClearDeviceTable();
  }));
}

}  // namespace
}  // namespace apptest
