#include "bench_pc.h"

#include <afxwin.h>

#include <cstring>

#include "harness/quillfw_service.h"
#include "kernel32/user_process.h"
#include "usb_devices.h"

namespace bench {
namespace {

// afx's application object: EnumerateUsbDevices finds the device list
// through AfxGetMainWnd.
CWinApp benchApp("quillprog");

}  // namespace

winsim::usb::PortScript DevicePort(winsim::usb::DeviceScript device) {
  winsim::usb::PortScript port;
  port.status = DeviceConnected;
  port.device = std::move(device);
  return port;
}

winsim::usb::PortScript HubPort(std::vector<winsim::usb::PortScript> ports) {
  winsim::usb::PortScript port =
      DevicePort(winsim::usb::DefaultHub(static_cast<uint8_t>(ports.size())));
  port.hubPorts = std::move(ports);
  return port;
}

BenchPc::BenchPc(winsim::usb::UsbTreeScript tree)
    : machine_(std::make_unique<winsim::Machine>()), desktop_(std::make_unique<winsim::Desktop>()) {
  machine_->Run([this, &tree] {
    quillfw_host::RegisterQuillfwService();
    bus_ = winsim::usb::UsbBus::Create(std::move(tree));
  });
}

BenchPc::~BenchPc() {
  if (bus_) {
    machine_->Run([this] { bus_->Shutdown(); });
  }
  desktop_.reset();
  bus_.reset();
  machine_.reset();
}

std::string BenchPc::RunApp(const std::function<void(HWND mainWindow)>& body) {
  if (!bus_) {
    return "the USB bus was not built";
  }
  const bool ran = winsim::kernel32::RunApplication(*machine_, [&body] {
    std::memset(&UsbDeviceTable, 0, sizeof(UsbDeviceTable));  // a new process
    const HWND window = CreateWindowExA(0, "STATIC", "Q417 Programmer", WS_OVERLAPPEDWINDOW, 0, 0,
                                        400, 300, NULL, NULL, NULL, NULL);
    CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 10, 200, 100,
                    window, reinterpret_cast<HMENU>(DeviceListControlId), NULL, NULL);
    CWnd mainWindow;
    mainWindow.m_hWnd = window;
    benchApp.m_pMainWnd = &mainWindow;
    body(window);
    ClearDeviceTable();
    benchApp.m_pMainWnd = nullptr;
    mainWindow.m_hWnd = nullptr;
    DestroyWindow(window);
  });
  if (!ran) {
    return "the simulation hung";
  }
  std::string findings;
  for (const winsim::Finding& finding : machine_->Verify().Unexpected()) {
    findings += "verifier: " + finding.rule + " at " + finding.place + ": " + finding.detail + "; ";
  }
  return findings;
}

}  // namespace bench
