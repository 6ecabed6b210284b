#include "app_machine.h"

#include <afxwin.h>

#include <cstring>

#include "harness/quillfw_service.h"
#include "kernel32/user_process.h"
#include "quillfw.h"
#include "usb_devices.h"

namespace apptest {

using namespace winsim::usb;

namespace {

// afx's application object: AfxGetMainWnd reads its main window.
CWinApp testApp("quillprog");

}  // namespace

DeviceScript Named(DeviceScript device, const std::string& description) {
  device.description = description;
  return device;
}

PortScript DevicePort(DeviceScript device) {
  PortScript port;
  port.status = DeviceConnected;
  port.device = std::move(device);
  return port;
}

PortScript HubPort(std::vector<PortScript> ports) {
  PortScript port = DevicePort(DefaultHub(static_cast<uint8_t>(ports.size())));
  port.hubPorts = std::move(ports);
  return port;
}

PortScript Q417Port(Q417Script q417) {
  PortScript port = DevicePort(DefaultQ417NormalMode());
  q417.updateMode = DefaultQ417UpdateMode();
  port.settings = std::move(q417);
  return port;
}

ControllerScript Controller(std::vector<PortScript> ports, bool numbered, bool deviceInterface) {
  ControllerScript controller;
  controller.numberedName = numbered;
  controller.deviceInterface = deviceInterface;
  controller.rootPorts = std::move(ports);
  return controller;
}

void AppMachineTest::SetUp() {
  machine_ = std::make_unique<winsim::Machine>();
  desktop_ = std::make_unique<winsim::Desktop>();
}

void AppMachineTest::TearDown() {
  if (bus_) {
    EXPECT_TRUE(machine_->Run([this] { bus_->Shutdown(); }));
  }
  for (const winsim::Finding& finding : machine_->Verify().Unexpected()) {
    ADD_FAILURE() << "verifier: " << finding.rule << " at " << finding.place << ": "
                  << finding.detail;
  }
  desktop_.reset();
  bus_.reset();
  machine_.reset();
}

void AppMachineTest::StartBus(UsbTreeScript script) {
  ASSERT_TRUE(machine_->Run([this, &script] {
    quillfw_host::RegisterQuillfwService();
    bus_ = UsbBus::Create(std::move(script));
  }));
  ASSERT_NE(bus_, nullptr);
}

void AppMachineTest::RunApp(const std::function<void()>& main) {
  ASSERT_TRUE(winsim::kernel32::RunApplication(*machine_, [&main] {
    // A new process: an empty table.
    std::memset(&UsbDeviceTable, 0, sizeof(UsbDeviceTable));
    const HWND window = CreateWindowExA(0, "STATIC", "Q417 Programmer", WS_OVERLAPPEDWINDOW, 0, 0,
                                        400, 300, NULL, NULL, NULL, NULL);
    ASSERT_NE(window, nullptr);
    const HWND list =
        CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 10, 200,
                        100, window, reinterpret_cast<HMENU>(DeviceListControlId), NULL, NULL);
    ASSERT_NE(list, nullptr);
    CWnd mainWindow;
    mainWindow.m_hWnd = window;
    testApp.m_pMainWnd = &mainWindow;
    main();
    testApp.m_pMainWnd = nullptr;
    mainWindow.m_hWnd = nullptr;
    DestroyWindow(window);
  }));
}

std::vector<std::string> AppMachineTest::ListItems() {
  std::vector<std::string> items;
  const HWND list = GetDeviceListWindow();
  if (list == NULL) return items;
  const LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    char text[DescriptionBufferSize] = {};
    SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    items.emplace_back(text);
  }
  return items;
}

std::vector<winsim::Event> AppMachineTest::UserEvents(const std::string& text) const {
  std::vector<winsim::Event> events;
  for (const winsim::Event& event : machine_->Log().OfKind(winsim::EventKind::User)) {
    if (event.text == text) events.push_back(event);
  }
  return events;
}

}  // namespace apptest
