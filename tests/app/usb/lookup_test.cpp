// Description lookup on the Plug and Play manager's device tree, through
// cfgmgr32.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "app_machine.h"
#include "device_description.h"

namespace apptest {
namespace {

using namespace winsim::usb;

class LookupTest : public AppMachineTest {
 protected:
  void SetUp() override {
    AppMachineTest::SetUp();
    ControllerScript first =
        Controller({DevicePort(WithKey(DefaultMouse(), "{mouse}\\0001", "Mouse")),
                    HubPort({DevicePort(WithKey(DefaultKeyboard(), "{keyboard}\\0002", "Keys"))})});
    first.driverKey = "{controller}\\0000";
    first.description = "First Controller";
    ControllerScript second = Controller(
        {DevicePort(WithKey(DefaultStorage(), "{storage}\\0003", "")),
         DevicePort(WithKey(DefaultMouse(), std::string(511, 'k'), std::string(511, 'd'))),
         DevicePort(WithKey(DefaultMouse(), std::string(512, 'l'), "Too long a key")),
         DevicePort(WithKey(DefaultMouse(), "{long}\\0004", std::string(512, 'e'))),
         DevicePort(WithKey(DefaultMouse(), "{last}\\0005", "Last Device"))});
    StartBus({{first, second}});
  }
  static DeviceScript WithKey(DeviceScript device, std::string key, std::string description) {
    device.driverKey = std::move(key);
    device.description = std::move(description);
    return device;
  }
  static std::string Lookup(const char* key) {
    const char* found = LookupDeviceDescription(key);
    return found == nullptr ? "<none>" : found;
  }
};

TEST_F(LookupTest, FindsTheNodeWithExactlyThatDriverKey) {
  struct Case {
    std::string key;
    std::string description;
  };
  const Case cases[] = {
      {"{controller}\\0000", "First Controller"},  // the first node below the root
      {"{mouse}\\0001", "Mouse"},
      {"{keyboard}\\0002", "Keys"},                    // below an external hub
      {"{last}\\0005", "Last Device"},                 // the last node of the tree
      {"{MOUSE}\\0001", "<none>"},                     // the comparison is case-sensitive
      {"{mouse}\\000", "<none>"},                      // a prefix is no match
      {"{nowhere}", "<none>"},                         // no match: the whole tree is searched
      {"{storage}\\0003", "<none>"},                   // a node without a description
      {std::string(511, 'k'), std::string(511, 'd')},  // fills the buffer with its NUL
      {std::string(512, 'l'), "<none>"},               // does not fit the buffer
      {"{long}\\0004", "<none>"},                      // its description does not fit
      {"", "<none>"},  // nodes without a driver (the root) have no key to match
  };
  RunApp([&] {
    for (const Case& c : cases) {
      EXPECT_EQ(Lookup(c.key.c_str()), c.description) << c.key;
    }
  });
}

TEST_F(LookupTest, EveryCallReusesTheOneBuffer) {
  RunApp([] {
    const char* first = LookupDeviceDescription("{mouse}\\0001");
    ASSERT_NE(first, nullptr);
    const char* second = LookupDeviceDescription("{keyboard}\\0002");
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "Keys");
  });
}

}  // namespace
}  // namespace apptest
