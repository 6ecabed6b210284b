// setupapi's interface enumeration and cfgmgr32's tree walk over the Plug
// and Play manager's tree, called as the application calls them.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "pnp_fixture.h"

using namespace winsim;
using pnp_test_drivers::Pdo;
using pnp_tests::PnpTest;
using Strings = std::vector<std::string>;

namespace {

// {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}, the host-controller class.
constexpr GUID kControllerClass = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};
constexpr GUID kOtherClass = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

// The application's pattern: enumerate, ask the detail's size, fetch it.
Strings DevicePaths(const GUID& guid) {
  Strings paths;
  HDEVINFO set = SetupDiGetClassDevsA(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, NULL, &guid, index, &data); ++index) {
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<std::byte> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, NULL, NULL));
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                            std::strlen(detail->DevicePath) + 1);
    paths.push_back(detail->DevicePath);
  }
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  return paths;
}

TEST_F(PnpTest, InterfacesAreListedOpenedThroughTheirPathAndGoWithTheDevice) {
  Run([&] {
    pnp::DeviceNode* first = Plug(0, "PCI\\VEN_1");
    pnp::DeviceNode* second = Plug(1, "PCI\\VEN_2");
    const std::string path = pnp::RegisterDeviceInterface(first, kControllerClass, pdos_[0]);
    EXPECT_EQ(path, "\\\\?\\root#test#0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
    EXPECT_EQ(pnp::RegisterDeviceInterface(first, kControllerClass, pdos_[0]), path)
        << "registering again gives the same interface";
    pnp::RegisterDeviceInterface(second, kControllerClass, pdos_[1]);
    pnp::RegisterDeviceInterface(second, kOtherClass, pdos_[1]);

    const Strings paths = DevicePaths(kControllerClass);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], path);
    for (size_t i = 0; i < paths.size(); ++i) {
      PFILE_OBJECT file = nullptr;
      ASSERT_EQ(kernel::UserOpen(paths[i], &file), STATUS_SUCCESS) << paths[i];
      kernel::UserClose(file);
      EXPECT_EQ(Pdo(pdos_[i]).requests.front(), "IRP_MJ_CREATE");
    }

    pnp::DeviceRemoved(first, true);
    pnp::WaitIdle();
    EXPECT_EQ(DevicePaths(kControllerClass), (Strings{paths[1]}));
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kernel::UserOpen(path, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(pnp::InterfacePaths(kOtherClass).size(), 1u);
  });
}

TEST_F(PnpTest, SetupApiChecksSizesFlagsAndHandles) {
  Run([&] {
    pnp::DeviceNode* node = Plug(0, "PCI\\VEN_1");
    pnp::RegisterDeviceInterface(node, kControllerClass, pdos_[0]);

    EXPECT_EQ(SetupDiGetClassDevsA(&kControllerClass, NULL, NULL, DIGCF_PRESENT),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));

    HDEVINFO set =
        SetupDiGetClassDevsA(&kControllerClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    // The sizes of this platform count, not the 32-bit figures.
    data.cbSize = sizeof(void*) == 4 ? 0 : 28;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &kControllerClass, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &kControllerClass, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.InterfaceClassGuid, kControllerClass));
    EXPECT_EQ(data.Flags, DWORD(SPINT_ACTIVE));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<std::byte> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    struct Case {
      DWORD cbSize;
      DWORD size;
      DWORD error;  // 0: succeeds
    };
    const DWORD exact = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    const Case cases[] = {
        {sizeof(void*) == 4 ? 0u : 5u, required,
         DWORD(ERROR_INVALID_USER_BUFFER)},  // 32-bit size on 64-bit
        {exact, required - 1, DWORD(ERROR_INSUFFICIENT_BUFFER)},
        {exact, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
         DWORD(ERROR_INVALID_USER_BUFFER)},
        {exact, required, 0},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "cbSize " << c.cbSize << ", size " << c.size);
      std::memset(buffer.data(), 0x55, buffer.size());
      detail->cbSize = c.cbSize;
      SP_DEVINFO_DATA device = {};
      device.cbSize = sizeof device;
      const BOOL result =
          SetupDiGetDeviceInterfaceDetailA(set, &data, detail, c.size, NULL, &device);
      EXPECT_EQ(result, c.error == 0);
      if (c.error) {
        EXPECT_EQ(GetLastError(), c.error);
      } else {
        EXPECT_STREQ(detail->DevicePath, pnp::InterfacePaths(kControllerClass)[0].c_str());
        EXPECT_EQ(device.DevInst, pnp::NodeId(node));
      }
    }
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &kOtherClass, 0, &data));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set)) << "destroyed already";
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &kControllerClass, 0, &data));

    // A class without interfaces gives an empty set, not a failure.
    HDEVINFO empty =
        SetupDiGetClassDevsA(&kOtherClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(empty, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(empty, NULL, &kOtherClass, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(empty);
  });
}

// root
//   host controller (driver key, description)
//     root hub (driver key, no description)
//       mouse (driver key, description), removed storage, keyboard
//   device without a driver key
class CfgMgrTest : public testing_support::SimMachineTest {
 protected:
  void Build() {
    pnp::DeviceNode* controller =
        pnp::AddChild(pnp::Root(),
                      {"PCI\\VEN_8086&DEV_24C2\\3&1", "PCI\\VEN_8086&DEV_24C2", "{36fc}\\0000",
                       "Standard Universal Host Controller"},
                      nullptr);
    pnp::DeviceNode* hub = pnp::AddChild(
        controller, {"USB\\ROOT_HUB\\4&1", "USB\\ROOT_HUB", "{36fc}\\0001", ""}, nullptr);
    mouse_ = pnp::AddChild(
        hub, {"USB\\VID_046D&PID_C00E\\5&1", "USB\\VID_046D&PID_C00E", "{745a}\\0002", "USB Mouse"},
        nullptr);
    storage_ = pnp::AddChild(hub,
                             {"USB\\VID_0417&PID_0001\\5&2", "USB\\VID_0417&PID_0001",
                              "{36fc}\\0003", "USB Mass Storage Device"},
                             nullptr);
    keyboard_ = pnp::AddChild(
        hub,
        {"USB\\VID_04D9&PID_1603\\5&3", "USB\\VID_04D9&PID_1603", "{4d36}\\0004", "USB Keyboard"},
        nullptr);
    unknown_ = pnp::AddChild(pnp::Root(), {"ROOT\\UNKNOWN\\0", "ROOT\\UNKNOWN", "", ""}, nullptr);
    pnp::DeviceRemoved(storage_, true);
    pnp::WaitIdle();
  }
  std::string Read(DEVINST node, ULONG property) {
    char buffer[512];
    ULONG length = sizeof buffer;
    if (CM_Get_DevNode_Registry_PropertyA(node, property, NULL, buffer, &length, 0) != CR_SUCCESS) {
      return "<none>";
    }
    return buffer;
  }
  pnp::DeviceNode* mouse_ = nullptr;
  pnp::DeviceNode* storage_ = nullptr;
  pnp::DeviceNode* keyboard_ = nullptr;
  pnp::DeviceNode* unknown_ = nullptr;
};

// (The walk itself is the application's, in every whole-program run.)
TEST_F(CfgMgrTest, WalkCallsRefuseWhatIsNotThere) {
  RunOnMachine([&] {
    Build();
    DEVINST node = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&node, NULL, 0), CR_SUCCESS);
    EXPECT_EQ(node, pnp::NodeId(pnp::Root()));
    DEVINST parent = 99;
    EXPECT_EQ(CM_Get_Parent(&parent, pnp::NodeId(pnp::Root()), 0), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(parent, 0u);
    EXPECT_EQ(CM_Get_Parent(&parent, pnp::NodeId(keyboard_), 0), CR_SUCCESS);
    EXPECT_EQ(Read(parent, CM_DRP_DRIVER), "{36fc}\\0001");
    DEVINST next = 0;
    EXPECT_EQ(CM_Get_Child(&next, pnp::NodeId(mouse_), 0), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(CM_Get_Sibling(&next, pnp::NodeId(unknown_), 0), CR_NO_SUCH_DEVNODE);
    for (DEVINST bad : {DEVINST(0), DEVINST(999), DEVINST(pnp::NodeId(storage_))}) {
      EXPECT_EQ(CM_Get_Child(&next, bad, 0), CR_INVALID_DEVNODE) << bad;
    }
    EXPECT_EQ(CM_Get_Child(NULL, pnp::NodeId(mouse_), 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Child(&next, pnp::NodeId(pnp::Root()), 1), CR_INVALID_FLAG);
  });
}

TEST_F(CfgMgrTest, LocateFindsPresentInstancesIgnoringCase) {
  RunOnMachine([&] {
    Build();
    struct Case {
      const char* id;
      ULONG flags;
      CONFIGRET result;
      const pnp::DeviceNode* node;
    };
    const Case cases[] = {
        {"", 0, CR_SUCCESS, pnp::Root()},
        {"usb\\vid_046d&pid_c00e\\5&1", 0, CR_SUCCESS, mouse_},
        {"USB\\VID_0417&PID_0001\\5&2", 0, CR_NO_SUCH_DEVNODE, nullptr},
        {"USB\\VID_0417&PID_0001\\5&2", CM_LOCATE_DEVNODE_PHANTOM, CR_SUCCESS, storage_},
        {"USB\\NOTHING\\1", 0, CR_NO_SUCH_DEVNODE, nullptr},
        {"", 0x100, CR_INVALID_FLAG, nullptr},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.id);
      DEVINST node = 77;
      EXPECT_EQ(CM_Locate_DevNodeA(&node, const_cast<char*>(c.id), c.flags), c.result);
      EXPECT_EQ(node, c.node ? pnp::NodeId(c.node) : 0u);
    }
  });
}

TEST_F(CfgMgrTest, PropertiesReportTheirSizeAndRefuseBuffersTooSmall) {
  RunOnMachine([&] {
    Build();
    const DEVINST mouse = pnp::NodeId(mouse_);
    const ULONG needed = sizeof "USB Mouse";  // terminator included
    struct Case {
      ULONG property;
      ULONG length;
      CONFIGRET result;
      ULONG lengthAfter;
    };
    const Case cases[] = {
        {CM_DRP_DEVICEDESC, 512, CR_SUCCESS, needed},
        {CM_DRP_DEVICEDESC, needed, CR_SUCCESS, needed},
        {CM_DRP_DEVICEDESC, needed - 1, CR_BUFFER_SMALL, needed},
        {CM_DRP_DEVICEDESC, 0, CR_BUFFER_SMALL, needed},
        {CM_DRP_DRIVER, 512, CR_SUCCESS, sizeof "{745a}\\0002"},
        {CM_DRP_HARDWAREID, 512, CR_SUCCESS, sizeof "USB\\VID_046D&PID_C00E" + 1},
        {0x20, 512, CR_NO_SUCH_VALUE, 512},
        {0x40, 512, CR_INVALID_PROPERTY, 512},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "property " << c.property << ", length " << c.length);
      char buffer[512];
      std::memset(buffer, 'x', sizeof buffer);
      ULONG length = c.length;
      ULONG type = 0;
      EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(mouse, c.property, &type,
                                                  c.length ? buffer : NULL, &length, 0),
                c.result);
      EXPECT_EQ(length, c.lengthAfter);
      if (c.result == CR_BUFFER_SMALL) {
        EXPECT_EQ(buffer[0], 'x') << "nothing written";
      }
      if (c.result == CR_SUCCESS) {
        EXPECT_EQ(type, ULONG(c.property == CM_DRP_HARDWAREID ? REG_MULTI_SZ : REG_SZ));
        EXPECT_EQ(buffer[length - 1], '\0');
      }
    }
    // No value: the hub has no description, the unknown device no driver key.
    EXPECT_EQ(Read(pnp::NodeId(pnp::Parent(mouse_)), CM_DRP_DEVICEDESC), "<none>");
    EXPECT_EQ(Read(pnp::NodeId(unknown_), CM_DRP_DRIVER), "<none>");
    EXPECT_EQ(Read(pnp::NodeId(storage_), CM_DRP_DEVICEDESC), "<none>") << "not present";
    ULONG length = 512;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(mouse, CM_DRP_DRIVER, NULL, NULL, &length, 0),
              CR_INVALID_POINTER);
  });
}

}  // namespace
