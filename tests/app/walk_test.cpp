// The topology walk: controllers opened both ways, shared and closed hub
// handles, Refresh, and no main window. The list's order, devices that are
// not listed and the ten-slot table are the device-list example scenario.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "app_machine.h"
#include "usb_devices.h"
#include "user/user_process.h"

namespace apptest {
namespace {

using namespace winsim::usb;
using Strings = std::vector<std::string>;

class WalkTest : public AppMachineTest {
 protected:
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
