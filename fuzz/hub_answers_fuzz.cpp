// Fuzz target: any bytes as the answers of a host controller (\\.\HCD0) and
// its hubs to the control codes of the application's topology walk
// (EnumerateUsbDevices: root hub and driver key names, node and connection
// information, connection names and driver keys).
//
// A driver of this file poses as the controller and as every hub: each
// device control request it gets takes the next answer from the input, in
// the order the walk asks:
//   byte 0       the status: its value modulo 8 picks success (0 to 3),
//                STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_TOO_SMALL,
//                STATUS_INVALID_PARAMETER or STATUS_UNSUCCESSFUL;
//   bytes 1, 2   the number of bytes returned (little-endian, at most the
//                output length);
//   then         that many bytes, written over the start of the buffer
//                (zeros where the input ends first).
// Once the input is used up every request fails (STATUS_UNSUCCESSFUL), so the
// walk has an end. Every hub is one device object named "H" (\\.\H): a name
// answer of L"H" leads to it, at any depth.
//
// Checked on every input: no crash or sanitizer report; the walk ends (no
// hang of the machine); the table and the list agree (count, at most ten
// slots, each with a hub handle and a terminated description);
// ClearDeviceTable closes every handle; the application's end finds no
// handle or GlobalAlloc block left (verifier findings); every open of the
// controller and the hubs is closed again.
#include <afxwin.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "ground/event_recording.h"
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"
#include "kernel32/user_process.h"
#include "machine/machine.h"
#include "test_irps.h"
#include "usb_devices.h"
#include "user32/desktop.h"

namespace {

using testing_support::CompleteIrp;
using testing_support::CreateNamedDevice;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "hub_answers: %s\n", what);
  std::abort();
}

void Require(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// ---------------------------------------------------------------- the fuzzed driver

std::span<const uint8_t> answers;  // what is left of the input
int64_t opens = 0;                 // creates minus closes on the driver's devices
PDEVICE_OBJECT controller = nullptr;
PDEVICE_OBJECT hub = nullptr;

WCHAR kControllerName[] = L"\\Device\\FuzzHcd";
WCHAR kControllerLink[] = L"\\DosDevices\\HCD0";
WCHAR kHubName[] = L"\\Device\\FuzzHub";
WCHAR kHubLink[] = L"\\DosDevices\\H";

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_CREATE) ++opens;
  if (major == IRP_MJ_CLOSE) --opens;
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (answers.size() < 3) {
    answers = {};
    return CompleteIrp(irp, STATUS_UNSUCCESSFUL, 0);
  }
  static constexpr NTSTATUS kStatuses[8] = {
      STATUS_SUCCESS,           STATUS_SUCCESS,         STATUS_SUCCESS,
      STATUS_SUCCESS,           STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_TOO_SMALL,
      STATUS_INVALID_PARAMETER, STATUS_UNSUCCESSFUL,
  };
  const NTSTATUS status = kStatuses[answers[0] % 8];
  ULONG length = answers[1] | ULONG(answers[2]) << 8;
  answers = answers.subspan(3);
  if (length > outLength) length = outLength;
  const size_t given = length < answers.size() ? length : answers.size();
  if (given > 0) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, answers.data(), given);
    answers = answers.subspan(given);
  }
  // An input that ends early still answers with the length it announced: the
  // bytes it has no input for are zeros, as a driver would write them (the
  // verifier reports bytes returned that the driver never wrote).
  if (length > given)
    std::memset(static_cast<BYTE*>(irp->AssociatedIrp.SystemBuffer) + given, 0, length - given);
  return CompleteIrp(irp, status, NT_ERROR(status) ? 0 : length);
}

NTSTATUS NTAPI FuzzHubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  NTSTATUS status = CreateNamedDevice(driver, kControllerName, kControllerLink, &controller);
  if (NT_SUCCESS(status)) status = CreateNamedDevice(driver, kHubName, kHubLink, &hub);
  return status;
}

// ---------------------------------------------------------------- the machine

// afx's application object: GetDeviceListWindow reaches the list through
// AfxGetMainWnd.
CWinApp fuzzApp("quillprog");

void RequireNoFindings(winsim::Machine& machine) {
  const std::vector<winsim::Finding> findings = machine.Verify().Unexpected();
  for (const winsim::Finding& finding : findings) {
    std::fprintf(stderr, "verifier: %s at %s: %s\n", finding.rule.c_str(), finding.place.c_str(),
                 finding.detail.c_str());
  }
  Require(findings.empty(), "verifier finding");
}

// One machine with a desktop and the fuzzed driver for the whole process.
struct Rig {
  std::unique_ptr<winsim::Machine> machine = std::make_unique<winsim::Machine>();
  std::unique_ptr<winsim::Desktop> desktop = std::make_unique<winsim::Desktop>();

  Rig() {
    // Nothing here reads the machine's event log, and building its texts
    // cost more than a tenth of a run: it is off unless QUILL_FUZZ_LOG is
    // set (to look into an input that fails).
    winsim::SetEventRecording(std::getenv("QUILL_FUZZ_LOG") != nullptr);
    Require(machine->Run([] {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      winsim::kernel::LoadDriver("FuzzHub", FuzzHubDriverEntry, &status);
      Require(status == STATUS_SUCCESS, "the fuzzed hub's driver did not load");
    }),
            "the machine hung while loading the driver");
  }
};

void Walk() {
  std::memset(&UsbDeviceTable, 0, sizeof(UsbDeviceTable));  // a new process
  const HWND window = CreateWindowExA(0, "STATIC", "Q417 Programmer", WS_OVERLAPPEDWINDOW, 0, 0,
                                      400, 300, NULL, NULL, NULL, NULL);
  Require(window != NULL, "no main window");
  const HWND list =
      CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 10, 200, 100,
                      window, reinterpret_cast<HMENU>(DeviceListControlId), NULL, NULL);
  Require(list != NULL, "no device list");
  CWnd mainWindow;
  mainWindow.m_hWnd = window;
  fuzzApp.m_pMainWnd = &mainWindow;

  ULONG count = 0xFFFFFFFF;
  EnumerateUsbDevices(&count);
  Require(count == UsbDeviceTable.Count, "the count differs from the table's");
  Require(count <= MaxDeviceEntries, "more slots than the table has");
  Require(SendMessageA(list, CB_GETCOUNT, 0, 0) == static_cast<LRESULT>(count),
          "the list and the table differ");
  for (ULONG i = 0; i < count; ++i) {
    const DeviceEntry& entry = UsbDeviceTable.Entries[i];
    Require(entry.HubHandle != NULL, "a slot without a hub handle");
    Require(std::memchr(entry.Description, 0, sizeof(entry.Description)) != nullptr,
            "an unterminated description");
  }
  ClearDeviceTable();
  Require(UsbDeviceTable.Count == 0, "ClearDeviceTable left slots");
  Require(winsim::kernel32::OpenHandles().empty(), "a handle is open after ClearDeviceTable");

  fuzzApp.m_pMainWnd = nullptr;
  mainWindow.m_hWnd = NULL;
  DestroyWindow(window);
}

std::unique_ptr<Rig> rig;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!rig) rig = std::make_unique<Rig>();
  winsim::Machine& machine = *rig->machine;
  const size_t files = machine.Kernel().files.size();
  const size_t irps = machine.Kernel().irps.size();

  answers = std::span(data, size);
  opens = 0;
  Require(winsim::kernel32::RunApplication(machine, Walk), "the walk did not end (machine hung)");
  RequireNoFindings(machine);
  Require(opens == 0, "an open of the controller or a hub was not closed");
  Require(machine.Kernel().files.size() == files && machine.Kernel().irps.size() == irps,
          "file objects or IRPs leaked");
  // The input's log entries go with it: an input that frees as much as it
  // allocates spares libFuzzer's leak check (a second run and a heap scan).
  machine.Log().Clear();
  return 0;
}
