// quillbus.sys: the Wine run's test bus driver. It plays the PC's USB side
// for the real quillprog.exe and quillfw.sys under Wine's kernel
// (docs/windows.md, "The whole update on Wine's kernel"):
//
// - the host controller: the function device object over the root-enumerated
//   device Wine creates for quillbus.inf, named \Device\USBFDO-0, linked as
//   \DosDevices\HCD0 and registered for the host-controller interface;
// - its root hub \Device\USBPDO-0 (linked under its symbolic name), two
//   ports: a mouse on 1 and a Q417 on 2, answering the hub control codes of
//   the discovery walk and the trigger;
// - the Q417 as winsim's default Q417: the 0x55 requests stall (ERROR_GEN_FAILURE);
//   after the tenth the device leaves the bus and comes back
//   QUILLBUS_RETURN_MS later as the update-mode device, a Plug and Play
//   child (hardware id QUILLFW_HARDWARE_ID), for which Wine installs
//   quillfw.inf and loads quillfw.sys;
// - the update-mode device answers the Plug and Play queries and quillfw's
//   URBs (descriptors, configuration selection, bulk transfers, pipe reset),
//   completing each at once; it parses the header and keeps the image bytes
//   as its flash;
// - a control device, \\.\QuillTestBus, that hands out the log and the flash
//   and takes faults (quillbus_protocol.h).
//
// Imports: ntoskrnl.exe and hal.dll only (a .sys that imports a user-mode DLL
// is loaded by Wine as an ordinary DLL).
//
// The log, one line an event (the test program reads it; scripts/wine-compare.py
// compares it with winsim's):
//   hub <request> port=P in=I out=O [wValue=0x.... wLength=N] status=0x........ info=N [data=HEX]
//   trigger n=N port=P buffer=B wLength=N status=0x........
//   leave port=P mode=normal|update      return port=P mode=normal|update
//   pnp child <minor> [...]              shim IoBuildPartialMdl wine-stub=0|1 redirected=0|1
//   urb get-descriptor type=T index=I length=N got=N
//   urb select-configuration|deconfigure   urb reset-pipe endpoint=0x..
//   urb bulk endpoint=0x.. length=N buffer=0|1 mdl=0|1 status=0x........ [data=HEX]
//   header EE 00 00 HH LL length=N       download complete length=N
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

#include "quillfw_public.h"
#include "quillbus_protocol.h"
#include "wine_kernel_shims.h"

namespace {

constexpr ULONG kTag = 'sbuQ';

// ---------------------------------------------------------------------------
// Small helpers (no C runtime).

void Zero(void* at, SIZE_T n) { RtlZeroMemory(at, n); }
void Copy(void* to, const void* from, SIZE_T n) { RtlCopyMemory(to, from, n); }
ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

ULONG WideLength(const WCHAR* text) {
  ULONG n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// The log: text lines in non-paged pool.

constexpr ULONG kLogSize = 1024 * 1024;
char* g_log = NULL;
ULONG g_logLength = 0;
KSPIN_LOCK g_lock;  // the log and the model

struct Line {
  char text[1200];
  ULONG n = 0;
  Line& operator<<(const char* s) {
    while (*s && n + 1 < sizeof text) text[n++] = *s++;
    return *this;
  }
  Line& Dec(ULONG value) {
    char digits[12];
    int d = 0;
    do {
      digits[d++] = (char)('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (d > 0 && n + 1 < sizeof text) text[n++] = digits[--d];
    return *this;
  }
  Line& Hex(ULONG value, int width) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) {
      if (n + 1 < sizeof text) text[n++] = kDigits[(value >> shift) & 0xF];
    }
    return *this;
  }
  Line& Status(NTSTATUS status) { return (*this << "0x").Hex((ULONG)status, 8); }
  Line& Bytes(const UCHAR* data, ULONG length) {
    for (ULONG i = 0; i < length; ++i) Hex(data[i], 2);
    return *this;
  }
};

void LogText(const char* text, ULONG n) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  if (g_log != NULL && g_logLength + n + 1 < kLogSize) {
    Copy(g_log + g_logLength, text, n);
    g_logLength += n;
    g_log[g_logLength++] = '\n';
  }
  KeReleaseSpinLock(&g_lock, irql);
}

void Log(Line& line) { LogText(line.text, line.n); }

// ---------------------------------------------------------------------------
// Device objects and the model.

enum class Kind { Controller, RootHub, Control, Child };

struct Extension {
  Kind kind;
  PDEVICE_OBJECT lower;  // the controller's: the root-enumerated PDO's stack
  BOOLEAN present;       // a child: still on the bus (reported to Plug and Play)
  BOOLEAN removed;       // a child: IRP_MN_REMOVE_DEVICE handled
};

Extension* ExtensionOf(PDEVICE_OBJECT device) { return (Extension*)device->DeviceExtension; }

enum PortState : ULONG { kEmpty = 0, kNormalQ417 = 1, kUpdateQ417 = 2 };

struct Model {
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT rootPdo;     // Wine's root-enumerated device of quillbus.inf
  PDEVICE_OBJECT controller;  // our function device object over it
  PDEVICE_OBJECT rootHub;
  PDEVICE_OBJECT control;
  PDEVICE_OBJECT child;  // the update-mode device while present
  UNICODE_STRING interfaceLink;
  ULONG port2;
  ULONG triggers;
  ULONG updateArrivals;
  ULONG childStarted;
  ULONG childNumber;
  ULONG transfers;  // bulk transfers since the update-mode arrival
  QuillbusFaults faults;
  QuillbusSettings settings;  // from the service's Parameters key at start
  BOOLEAN shimRedirected, wineStub;
  // The update-mode device's download (winsim's UsbDevice::Download).
  UCHAR header[5];
  ULONG headerBytes;
  BOOLEAN inImage;
  ULONG imageLength, received, downloads;
  UCHAR lastHeader[5];
};
Model g_model;
QuillbusFlash* g_flash = NULL;

const WCHAR kRootHubSymbolicName[] =
    L"USB#ROOT_HUB#4&2C1A4B5&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const WCHAR kHcdDriverKey[] = L"{36FC9E60-C465-11CF-8056-444553540000}\\0000";
const WCHAR kMouseDriverKey[] = L"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}\\0000";
const WCHAR kQ417DriverKey[] = L"{36FC9E60-C465-11CF-8056-444553540000}\\0002";
const WCHAR kUpdateDriverKey[] = L"{36FC9E60-C465-11CF-8056-444553540000}\\0003";

// Descriptors: winsim's defaults (DefaultMouse, DefaultQ417NormalMode,
// DefaultQ417UpdateMode in winsim/usb/models/).
// clang-format off
const UCHAR kMouseDevice[18] = {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x00, 0x0F, 0x02, 0x00,
                                0x00, 0x01, 1, 2, 0, 1};
const UCHAR kMouseConfiguration[] = {9, 2, 25, 0, 1, 1, 0, 0x80, 50,
                                     9, 4, 0, 0, 1, 3, 1, 2, 0,
                                     7, 5, 0x81, 3, 8, 0, 10};
const UCHAR kQ417Device[18] = {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x17, 0x04, 0x00, 0x10,
                               0x00, 0x01, 1, 2, 3, 1};
const UCHAR kQ417Configuration[] = {9, 2, 32, 0, 1, 1, 0, 0x80, 50,
                                    9, 4, 0, 0, 2, 8, 6, 0x50, 0,
                                    7, 5, 0x81, 2, 64, 0, 0,
                                    7, 5, 0x02, 2, 64, 0, 0};
const UCHAR kUpdateDevice[18] = {18, 1, 0x10, 0x01, 0, 0, 0, 64,
                                 QUILLFW_UPDATE_VENDOR_ID & 0xFF, QUILLFW_UPDATE_VENDOR_ID >> 8,
                                 QUILLFW_UPDATE_PRODUCT_ID & 0xFF, QUILLFW_UPDATE_PRODUCT_ID >> 8,
                                 0x00, 0x01, 1, 2, 3, 1};
const UCHAR kUpdateConfiguration[] = {9, 2, 32, 0, 1, 1, 0, 0x80, 50,
                                      9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                                      7, 5, 0x01, 2, 64, 0, 0,
                                      7, 5, 0x82, 2, 64, 0, 0};
// clang-format on

// The update-mode configuration as the device reports it: the endpoint
// descriptors in the order the settings' EndpointLayout gives.
UCHAR g_updateConfiguration[sizeof kUpdateConfiguration];

const char* const kUpdateStrings[] = {"", "Quill", "Q417 Update Mode", "Q417-0001"};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------
// Delayed events: a system thread per event (Wine runs it in winedevice).

enum class Event { ReturnInUpdateMode, LeaveUpdateMode };

struct Delayed {
  Event event;
  ULONG delayMs;
};

void Sleep(ULONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -(LONGLONG)ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

PDEVICE_OBJECT CreateChild() {
  WCHAR nameText[40] = L"\\Device\\QuillUsbPdo-0";
  const ULONG at = WideLength(nameText) - 1;
  nameText[at] = (WCHAR)(L'0' + (++g_model.childNumber % 10));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, nameText);
  PDEVICE_OBJECT child = NULL;
  if (!NT_SUCCESS(IoCreateDevice(g_model.driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN,
                                 FILE_DEVICE_SECURE_OPEN, FALSE, &child))) {
    return NULL;
  }
  Extension* extension = ExtensionOf(child);
  Zero(extension, sizeof *extension);
  extension->kind = Kind::Child;
  extension->present = TRUE;
  child->Flags |= DO_POWER_PAGABLE;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  return child;
}

VOID NTAPI DelayedThread(PVOID context) {
  Delayed delayed = *(Delayed*)context;
  ExFreePoolWithTag(context, kTag);
  Sleep(delayed.delayMs);
  if (delayed.event == Event::ReturnInUpdateMode) {
    PDEVICE_OBJECT child = CreateChild();
    g_model.transfers = 0;
    g_model.headerBytes = 0;
    g_model.inImage = FALSE;
    g_model.port2 = kUpdateQ417;
    g_model.child = child;
    ++g_model.updateArrivals;
    Line line;
    line << "return port=2 mode=update";
    Log(line);
    IoInvalidateDeviceRelations(g_model.rootPdo, BusRelations);
  } else {
    PDEVICE_OBJECT child = g_model.child;
    if (child != NULL) ExtensionOf(child)->present = FALSE;
    g_model.child = NULL;
    g_model.port2 = kEmpty;
    Line line;
    line << "leave port=2 mode=update";
    Log(line);
    IoInvalidateDeviceRelations(g_model.rootPdo, BusRelations);
    Sleep(g_model.settings.ReturnDelayMs);
    g_model.triggers = 0;
    g_model.port2 = kNormalQ417;
    Line back;
    back << "return port=2 mode=normal";
    Log(back);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void Schedule(Event event, ULONG delayMs) {
  Delayed* delayed = (Delayed*)ExAllocatePoolWithTag(NonPagedPool, sizeof(Delayed), kTag);
  if (delayed == NULL) return;
  delayed->event = event;
  delayed->delayMs = delayMs;
  HANDLE thread;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, DelayedThread,
                                      delayed))) {
    ZwClose(thread);
  } else {
    ExFreePoolWithTag(delayed, kTag);
  }
}

// ---------------------------------------------------------------------------
// Host controller and hub answers (winsim/usb/hub_answers.cpp).

// A name structure: ActualLength at NameOffset - 4, the name from NameOffset.
// Below the fixed part: STATUS_BUFFER_TOO_SMALL; otherwise as much of the
// name as fits, with the whole ActualLength (the two-call pattern).
NTSTATUS AnswerName(UCHAR* buffer, ULONG outputLength, ULONG nameOffset, const WCHAR* name,
                    ULONG_PTR* information) {
  if (outputLength < nameOffset + sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
  const ULONG characters = WideLength(name) + 1;
  const ULONG whole = nameOffset + characters * sizeof(WCHAR);
  Copy(buffer + nameOffset - sizeof(ULONG), &whole, sizeof whole);
  const ULONG copied = Min((outputLength - nameOffset) / sizeof(WCHAR), characters);
  Copy(buffer + nameOffset, name, copied * sizeof(WCHAR));
  *information = nameOffset + copied * sizeof(WCHAR);
  return STATUS_SUCCESS;
}

const char* HubRequestName(ULONG code) {
  switch (code) {
    case IOCTL_USB_GET_NODE_INFORMATION:
      return "node-information";
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      return "connection-information";
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      return "connection-name";
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      return "driverkey-name";
    case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
      return "descriptor";
    default:
      return "other";
  }
}

NTSTATUS HubControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG_PTR information = 0;
  ULONG port = 0;
  if (inputLength >= sizeof(ULONG) && buffer != NULL) Copy(&port, buffer, sizeof port);
  const ULONG state = port == 1   ? kNormalQ417 + 100 /* mouse */
                      : port == 2 ? g_model.port2
                                  : kEmpty;
  const BOOLEAN connected = (port == 1) || (port == 2 && state != kEmpty);
  Line line;
  line << "hub " << HubRequestName(code);
  BOOLEAN trigger = FALSE, leave = FALSE;

  if (code == IOCTL_USB_GET_NODE_INFORMATION) {
    if (outputLength < sizeof(USB_NODE_INFORMATION)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      USB_NODE_INFORMATION node;
      Zero(&node, sizeof node);
      node.NodeType = UsbHub;
      node.u.HubInformation.HubDescriptor.bDescriptorLength = 9;
      node.u.HubInformation.HubDescriptor.bDescriptorType = 0x29;
      node.u.HubInformation.HubDescriptor.bNumberOfPorts = 2;
      node.u.HubInformation.HubDescriptor.wHubCharacteristics = 0x0009;
      node.u.HubInformation.HubDescriptor.bPowerOnToPowerGood = 50;
      node.u.HubInformation.HubIsBusPowered = FALSE;
      Copy(buffer, &node, sizeof node);
      status = STATUS_SUCCESS;
      information = sizeof node;
    }
  } else {
    line << " port=";
    line.Dec(port);
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
      if (outputLength < sizeof(USB_NODE_CONNECTION_INFORMATION)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else if (port < 1 || port > 2) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        USB_NODE_CONNECTION_INFORMATION info;
        Zero(&info, sizeof info);
        info.ConnectionIndex = port;
        if (connected) {
          const UCHAR* device = port == 1              ? kMouseDevice
                                : state == kUpdateQ417 ? kUpdateDevice
                                                       : kQ417Device;
          Copy(&info.DeviceDescriptor, device, 18);
          info.LowSpeed = port == 1;
          info.DeviceAddress = (USHORT)(port + 1);
          info.CurrentConfigurationValue = port == 1 ? 1 : 0;
          info.ConnectionStatus = DeviceConnected;
        } else {
          info.ConnectionStatus = NoDeviceConnected;
        }
        Copy(buffer, &info, sizeof info);
        status = STATUS_SUCCESS;
        information = sizeof info;
      }
    } else if (code == IOCTL_USB_GET_NODE_CONNECTION_NAME) {
      if (port < 1 || port > 2) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        status = AnswerName(buffer, outputLength, FIELD_OFFSET(USB_NODE_CONNECTION_NAME, NodeName),
                            L"", &information);
      }
    } else if (code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {
      if (port < 1 || port > 2 || !connected) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        const WCHAR* key = port == 1              ? kMouseDriverKey
                           : state == kUpdateQ417 ? kUpdateDriverKey
                                                  : kQ417DriverKey;
        status = AnswerName(buffer, outputLength,
                            FIELD_OFFSET(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName), key,
                            &information);
      }
    } else if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) {
      USB_DESCRIPTOR_REQUEST request;
      if (inputLength < sizeof request || outputLength < sizeof request) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else if (port < 1 || port > 2) {
        status = STATUS_INVALID_PARAMETER;
      } else if (!connected) {
        status = STATUS_DEVICE_NOT_CONNECTED;
      } else {
        Copy(&request, buffer, sizeof request);
        const UCHAR type = (UCHAR)(request.SetupPacket.wValue >> 8);
        const UCHAR index = (UCHAR)(request.SetupPacket.wValue & 0xFF);
        const ULONG room = outputLength - sizeof request;
        const ULONG length = Min(request.SetupPacket.wLength, room);
        line << " in=";
        line.Dec(inputLength) << " out=";
        line.Dec(outputLength) << " wValue=0x";
        line.Hex(request.SetupPacket.wValue, 4) << " wIndex=0x";
        line.Hex(request.SetupPacket.wIndex, 4) << " wLength=";
        line.Dec(request.SetupPacket.wLength);
        const UCHAR* bytes = NULL;
        ULONG total = 0;
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
          bytes = port == 1 ? kMouseDevice : state == kUpdateQ417 ? kUpdateDevice : kQ417Device;
          total = 18;
        } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
          if (port == 1) {
            bytes = kMouseConfiguration;
            total = sizeof kMouseConfiguration;
          } else if (state == kUpdateQ417) {
            bytes = g_updateConfiguration;
            total = sizeof g_updateConfiguration;
          } else {
            bytes = kQ417Configuration;
            total = sizeof kQ417Configuration;
          }
        } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0x55 && port == 2 &&
                   state == kNormalQ417) {
          trigger = TRUE;
        }
        if (bytes != NULL) {
          const ULONG n = Min(length, total);
          Copy(buffer + sizeof request, bytes, n);
          status = STATUS_SUCCESS;
          information = sizeof request + n;
          line << " data=";
          line.Bytes(bytes, n);
        } else {
          // A stall: STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE (31) in user
          // mode; a trigger may answer with a data error instead (ERROR_CRC, 23).
          status = trigger && g_model.settings.TriggerError == 23 ? STATUS_DEVICE_DATA_ERROR
                                                                  : STATUS_UNSUCCESSFUL;
        }
        if (trigger) {
          const ULONG n = ++g_model.triggers;
          Line t;
          t << "trigger n=";
          t.Dec(n) << " port=2 buffer=";
          t.Dec(outputLength) << " wValue=0x";
          t.Hex(request.SetupPacket.wValue, 4) << " wLength=";
          t.Dec(request.SetupPacket.wLength) << " status=";
          t.Status(status);
          Log(t);
          leave = n == g_model.settings.TriggersToLeave;
        }
      }
    }
  }
  line << " status=";
  line.Status(status) << " info=";
  line.Dec((ULONG)information);
  Log(line);
  if (leave) {
    g_model.port2 = kEmpty;
    Line l;
    l << "leave port=2 mode=normal";
    Log(l);
    if (!g_model.faults.NeverReturn)
      Schedule(Event::ReturnInUpdateMode, g_model.settings.ReturnDelayMs);
  }
  return Complete(irp, status, information);
}

NTSTATUS ControllerControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  Line line;
  if (code == IOCTL_USB_GET_ROOT_HUB_NAME) {
    status = AnswerName(buffer, outputLength, FIELD_OFFSET(USB_ROOT_HUB_NAME, RootHubName),
                        kRootHubSymbolicName, &information);
    line << "controller root-hub-name";
  } else if (code == IOCTL_GET_HCD_DRIVERKEY_NAME) {
    status = AnswerName(buffer, outputLength, FIELD_OFFSET(USB_HCD_DRIVERKEY_NAME, DriverKeyName),
                        kHcdDriverKey, &information);
    line << "controller driverkey-name";
  } else {
    line << "controller other";
  }
  line << " out=";
  line.Dec(outputLength) << " status=";
  line.Status(status) << " info=";
  line.Dec((ULONG)information);
  Log(line);
  return Complete(irp, status, information);
}

NTSTATUS ControlDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  switch (code) {
    case IOCTL_QUILLBUS_GET_LOG: {
      KIRQL irql;
      KeAcquireSpinLock(&g_lock, &irql);
      const ULONG n = Min(outputLength, g_logLength);
      Copy(buffer, g_log, n);
      KeReleaseSpinLock(&g_lock, irql);
      return Complete(irp, STATUS_SUCCESS, n);
    }
    case IOCTL_QUILLBUS_GET_FLASH: {
      if (outputLength < sizeof(QuillbusFlash)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      g_flash->ImageLength = g_model.imageLength;
      g_flash->Received = g_model.received;
      g_flash->Downloads = g_model.downloads;
      Copy(g_flash->Header, g_model.lastHeader, 5);
      Copy(buffer, g_flash, sizeof(QuillbusFlash));
      return Complete(irp, STATUS_SUCCESS, sizeof(QuillbusFlash));
    }
    case IOCTL_QUILLBUS_SET_FAULTS: {
      if (inputLength < sizeof(QuillbusFaults)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      Copy(&g_model.faults, buffer, sizeof(QuillbusFaults));
      Line line;
      line << "faults fail-transfer=";
      line.Dec(g_model.faults.FailTransfer) << " never-return=";
      line.Dec(g_model.faults.NeverReturn) << " leave-after-download=";
      line.Dec(g_model.faults.LeaveAfterDownload);
      Log(line);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_QUILLBUS_GET_SETTINGS: {
      if (outputLength < sizeof(QuillbusSettings)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      Copy(buffer, &g_model.settings, sizeof(QuillbusSettings));
      return Complete(irp, STATUS_SUCCESS, sizeof(QuillbusSettings));
    }
    case IOCTL_QUILLBUS_GET_STATE: {
      if (outputLength < sizeof(QuillbusState)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      QuillbusState state;
      state.Port2 = g_model.port2;
      state.TriggerRequests = g_model.triggers;
      state.UpdateArrivals = g_model.updateArrivals;
      state.ChildStarted = g_model.childStarted;
      state.ShimInstalled = g_model.shimRedirected;
      state.WineStub = g_model.wineStub;
      Copy(buffer, &state, sizeof state);
      return Complete(irp, STATUS_SUCCESS, sizeof state);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// ---------------------------------------------------------------------------
// The update-mode device: URBs.

UCHAR EndpointOfPipe(USBD_PIPE_HANDLE pipe) { return (UCHAR)((ULONG_PTR)pipe & 0xFF); }
USBD_PIPE_HANDLE PipeOfEndpoint(UCHAR endpoint) {
  return (USBD_PIPE_HANDLE)(ULONG_PTR)(0x51000 | endpoint);
}

// The header, then the image into the flash: winsim's UsbDevice::Download
// (winsim/usb/usb_device.cpp), byte for byte. A header that is not EE 00 00
// fails the transfer with a stall; the lines it logs follow the URB's line.
NTSTATUS Download(const UCHAR* out, ULONG length, Line* after) {
  for (ULONG i = 0; i < length; ++i) {
    const UCHAR byte = out[i];
    if (!g_model.inImage) {
      g_model.header[g_model.headerBytes++] = byte;
      if (g_model.headerBytes < 5) continue;
      g_model.headerBytes = 0;
      Copy(g_model.lastHeader, g_model.header, 5);
      *after << "\nheader ";
      for (int k = 0; k < 5; ++k) {
        after->Hex(g_model.header[k], 2);
        if (k < 4) *after << " ";
      }
      if (g_model.header[0] != 0xEE || g_model.header[1] != 0 || g_model.header[2] != 0) {
        *after << " refused";
        return STATUS_UNSUCCESSFUL;
      }
      g_model.imageLength = ((ULONG)g_model.header[3] << 8) | g_model.header[4];
      if (g_model.imageLength == 0) g_model.imageLength = QUILLBUS_FLASH_SIZE;
      g_model.received = 0;
      g_model.inImage = TRUE;
      *after << " length=";
      after->Dec(g_model.imageLength);
      continue;
    }
    g_flash->Flash[g_model.received++] = byte;
    if (g_model.received == g_model.imageLength) {
      g_model.inImage = FALSE;
      ++g_model.downloads;
      *after << "\ndownload complete length=";
      after->Dec(g_model.imageLength);
      if (g_model.faults.LeaveAfterDownload) Schedule(Event::LeaveUpdateMode, QUILLBUS_LEAVE_MS);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PURB urb = (PURB)stack->Parameters.Others.Argument1;
  Extension* extension = ExtensionOf(device);
  Line line;
  if (urb == NULL) return Complete(irp, STATUS_INVALID_PARAMETER);
  if (!extension->present) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    line << "urb to a device that left";
    Log(line);
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  Line after;  // lines that follow the URB's own
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
      UCHAR* to = request.TransferBufferMDL != NULL
                      ? (UCHAR*)MmGetMdlVirtualAddress(request.TransferBufferMDL)
                      : (UCHAR*)request.TransferBuffer;
      UCHAR reply[256];
      ULONG total = 0;
      if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        Copy(reply, kUpdateDevice, 18);
        total = 18;
      } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
                 request.Index == 0) {
        Copy(reply, g_updateConfiguration, sizeof g_updateConfiguration);
        total = sizeof g_updateConfiguration;
      } else if (request.DescriptorType == USB_STRING_DESCRIPTOR_TYPE && request.Index == 0) {
        const UCHAR languages[4] = {4, 3, 0x09, 0x04};
        Copy(reply, languages, 4);
        total = 4;
      } else if (request.DescriptorType == USB_STRING_DESCRIPTOR_TYPE && request.Index <= 3) {
        const char* text = kUpdateStrings[request.Index];
        ULONG n = 0;
        while (text[n] != 0) {
          reply[2 + 2 * n] = (UCHAR)text[n];
          reply[3 + 2 * n] = 0;
          ++n;
        }
        reply[0] = (UCHAR)(2 + 2 * n);
        reply[1] = USB_STRING_DESCRIPTOR_TYPE;
        total = 2 + 2 * n;
      } else {
        usbd = USBD_STATUS_STALL_PID;
        status = STATUS_UNSUCCESSFUL;
      }
      const ULONG n = NT_SUCCESS(status) ? Min(request.TransferBufferLength, total) : 0;
      if (n > 0 && to != NULL) Copy(to, reply, n);
      line << "urb get-descriptor type=";
      line.Dec(request.DescriptorType) << " index=";
      line.Dec(request.Index) << " length=";
      line.Dec(request.TransferBufferLength) << " got=";
      line.Dec(n);
      request.TransferBufferLength = n;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      struct _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
      if (select.ConfigurationDescriptor == NULL) {
        line << "urb deconfigure";
        break;
      }
      select.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0x5C0F;
      PUSBD_INTERFACE_INFORMATION info = &select.Interface;
      const UCHAR* end = (const UCHAR*)urb + urb->UrbHeader.Length;
      line << "urb select-configuration";
      while ((const UCHAR*)info + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end &&
             info->Length != 0) {
        // One interface: ours has two bulk endpoints (0x01 OUT, 0x82 IN), in
        // the order of the settings' layout.
        info->Class = 0xFF;
        info->SubClass = 0;
        info->Protocol = 0;
        info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)0x1F00;
        line << " interface=";
        line.Dec(info->InterfaceNumber) << " pipes=";
        line.Dec(info->NumberOfPipes);
        for (ULONG p = 0; p < info->NumberOfPipes && p < 2; ++p) {
          const UCHAR* endpoint = g_updateConfiguration + 18 + 7 * p;
          info->Pipes[p].EndpointAddress = endpoint[2];
          info->Pipes[p].PipeType = UsbdPipeTypeBulk;
          info->Pipes[p].MaximumPacketSize = endpoint[4];
          info->Pipes[p].Interval = 0;
          info->Pipes[p].PipeHandle = PipeOfEndpoint(endpoint[2]);
          line << " endpoint=0x";
          line.Hex(endpoint[2], 2) << " max-transfer=";
          line.Dec(info->Pipes[p].MaximumTransferSize);
        }
        info = (PUSBD_INTERFACE_INFORMATION)((UCHAR*)info + info->Length);
      }
      break;
    }
    case URB_FUNCTION_RESET_PIPE:
      line << "urb reset-pipe endpoint=0x";
      line.Hex(EndpointOfPipe(urb->UrbPipeRequest.PipeHandle), 2);
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
      const UCHAR endpoint = EndpointOfPipe(transfer.PipeHandle);
      const ULONG length = transfer.TransferBufferLength;
      // A zero-length transfer may come with neither buffer nor MDL.
      const UCHAR* data = transfer.TransferBufferMDL != NULL
                              ? (const UCHAR*)MmGetMdlVirtualAddress(transfer.TransferBufferMDL)
                              : (const UCHAR*)transfer.TransferBuffer;
      const ULONG ordinal = ++g_model.transfers;
      line << "urb bulk n=";
      line.Dec(ordinal) << " endpoint=0x";
      line.Hex(endpoint, 2) << " length=";
      line.Dec(length) << " buffer=" << (transfer.TransferBuffer != NULL ? "1" : "0")
                       << " mdl=" << (transfer.TransferBufferMDL != NULL ? "1" : "0");
      if (!(endpoint & 0x80) && length > 0 && data != NULL) {
        line << " data=";
        line.Bytes(data, length);  // as winsim records them, failed or not
      }
      if (length > 0 && data == NULL) {
        usbd = USBD_STATUS_INVALID_PARAMETER;
        status = STATUS_INVALID_PARAMETER;
      } else if (g_model.faults.FailTransfer == ordinal) {
        // The port driver reports a device error as STATUS_UNSUCCESSFUL.
        usbd = USBD_STATUS_CRC;
        status = STATUS_UNSUCCESSFUL;
        transfer.TransferBufferLength = 0;
      } else if (endpoint & 0x80) {
        transfer.TransferBufferLength = 0;  // nothing to send: a zero-length packet
      } else {
        if (!NT_SUCCESS(status = Download(data, length, &after))) {
          usbd = USBD_STATUS_STALL_PID;
          transfer.TransferBufferLength = 0;
        }
      }
      break;
    }
    default:
      usbd = USBD_STATUS_INVALID_URB_FUNCTION;
      status = STATUS_INVALID_PARAMETER;
      line << "urb function=0x";
      line.Hex(urb->UrbHeader.Function, 4);
      break;
  }
  urb->UrbHeader.Status = usbd;
  line << " status=";
  line.Status(status);
  Log(line);
  if (after.n > 1) LogText(after.text + 1, after.n - 1);  // without the leading newline
  return Complete(irp, status);
}

// ---------------------------------------------------------------------------
// Plug and Play.

WCHAR* PoolText(const WCHAR* text, ULONG characters /* with every NUL */) {
  WCHAR* copy = (WCHAR*)ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kTag);
  if (copy != NULL) Copy(copy, text, characters * sizeof(WCHAR));
  return copy;
}

#define WIDEN2(x) L##x
#define WIDEN(x) WIDEN2(x)

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Extension* extension = ExtensionOf(device);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  Line line;
  line << "pnp child minor=0x";
  line.Hex(stack->MinorFunction, 2);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      static const WCHAR kDeviceId[] = WIDEN(QUILLFW_HARDWARE_ID);
      static const WCHAR kHardwareIds[] =
          WIDEN(QUILLFW_HARDWARE_ID) L"&REV_0100\0" WIDEN(QUILLFW_HARDWARE_ID) L"\0";
      static const WCHAR kCompatibleIds[] =
          L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
      static const WCHAR kInstanceId[] = L"Q417-0001";
      const BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
      WCHAR* text = NULL;
      if (type == BusQueryDeviceID) text = PoolText(kDeviceId, sizeof kDeviceId / sizeof(WCHAR));
      if (type == BusQueryHardwareIDs)
        text = PoolText(kHardwareIds, sizeof kHardwareIds / sizeof(WCHAR));
      if (type == BusQueryCompatibleIDs)
        text = PoolText(kCompatibleIds, sizeof kCompatibleIds / sizeof(WCHAR));
      if (type == BusQueryInstanceID)
        text = PoolText(kInstanceId, sizeof kInstanceId / sizeof(WCHAR));
      line << " query-id type=";
      line.Dec(type);
      if (text != NULL) {
        status = STATUS_SUCCESS;
        information = (ULONG_PTR)text;
      }
      break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      static const WCHAR kDescription[] = L"Q417 Firmware Update Device";
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        if (WCHAR* text = PoolText(kDescription, sizeof kDescription / sizeof(WCHAR))) {
          status = STATUS_SUCCESS;
          information = (ULONG_PTR)text;
        }
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = TRUE;
      caps->SurpriseRemovalOK = TRUE;
      caps->UniqueID = TRUE;
      caps->Address = 2;
      caps->UINumber = 2;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS relations =
            (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
        if (relations != NULL) {
          relations->Count = 1;
          relations->Objects[0] = device;
          ObReferenceObject(device);
          status = STATUS_SUCCESS;
          information = (ULONG_PTR)relations;
        }
      }
      break;
    case IRP_MN_START_DEVICE: {
      status = STATUS_SUCCESS;
      ++g_model.childStarted;
      // quillfw is attached by now: give its imports what Wine lacks.
      PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
      PVOID image =
          top != device && top->DriverObject != NULL ? top->DriverObject->DriverStart : NULL;
      const wine_kernel_shims::ShimReport report = wine_kernel_shims::InstallShims(image);
      ObDereferenceObject(top);
      g_model.wineStub = report.wineStub;
      g_model.shimRedirected = report.redirected;
      Line shim;
      shim << "shim IoBuildPartialMdl wine-stub=" << (report.wineStub ? "1" : "0")
           << " imported=" << (report.found ? "1" : "0")
           << " redirected=" << (report.redirected ? "1" : "0");
      Log(shim);
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      line << " remove present=" << (extension->present ? "1" : "0");
      Log(line);
      if (!extension->present && !extension->removed) {
        extension->removed = TRUE;
        Complete(irp, status, 0);
        IoDeleteDevice(device);
        return status;
      }
      return Complete(irp, status, 0);
    default:
      break;
  }
  Log(line);
  return Complete(irp, status, information);
}

NTSTATUS NTAPI OnForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnForwarded, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  return irp->IoStatus.Status;
}

NTSTATUS CreateNamed(const WCHAR* deviceName, const WCHAR* linkName, Kind kind,
                     PDEVICE_OBJECT* out) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, deviceName);
  NTSTATUS status =
      IoCreateDevice(g_model.driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, out);
  if (!NT_SUCCESS(status)) return status;
  Zero(ExtensionOf(*out), sizeof(Extension));
  ExtensionOf(*out)->kind = kind;
  (*out)->Flags |= DO_BUFFERED_IO;
  (*out)->Flags &= ~DO_DEVICE_INITIALIZING;
  if (linkName != NULL) {
    RtlInitUnicodeString(&link, linkName);
    status = IoCreateSymbolicLink(&link, &name);
  }
  return status;
}

// The bus itself is started: the root hub, the control device, the
// controller's interface.
void StartBus() {
  WCHAR hubLink[160] = L"\\DosDevices\\";
  const ULONG at = WideLength(hubLink);
  Copy(hubLink + at, kRootHubSymbolicName, (WideLength(kRootHubSymbolicName) + 1) * sizeof(WCHAR));
  if (g_model.rootHub == NULL)
    CreateNamed(L"\\Device\\USBPDO-0", hubLink, Kind::RootHub, &g_model.rootHub);
  if (g_model.control == NULL) {
    CreateNamed(QUILLBUS_CONTROL_DEVICE_NAME, QUILLBUS_CONTROL_LINK_NAME, Kind::Control,
                &g_model.control);
  }
  static const GUID kHostControllerInterface = {
      0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};
  if (g_model.interfaceLink.Buffer == NULL &&
      NT_SUCCESS(IoRegisterDeviceInterface(g_model.rootPdo, &kHostControllerInterface, NULL,
                                           &g_model.interfaceLink))) {
    IoSetDeviceInterfaceState(&g_model.interfaceLink, TRUE);
  }
  g_model.port2 = kNormalQ417;
  Line line;
  line << "bus started ports=2 port1=mouse port2=q417";
  Log(line);
}

NTSTATUS ControllerPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Extension* extension = ExtensionOf(device);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(extension->lower, irp);
      if (NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED) {
        status = STATUS_SUCCESS;
        StartBus();
      }
      return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        PDEVICE_OBJECT child = g_model.child;
        PDEVICE_RELATIONS relations =
            (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
        if (relations == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 0;
        if (child != NULL) {
          relations->Objects[relations->Count++] = child;
          ObReferenceObject(child);
        }
        Line line;
        line << "pnp bus-relations count=";
        line.Dec(relations->Count);
        Log(line);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = (ULONG_PTR)relations;
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(extension->lower, irp);
      IoDetachDevice(extension->lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

// ---------------------------------------------------------------------------
// Dispatch.

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  switch (ExtensionOf(device)->kind) {
    case Kind::Controller:
      return ControllerControl(irp);
    case Kind::RootHub:
      return HubControl(irp);
    case Kind::Control:
      return ControlDeviceControl(irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (ExtensionOf(device)->kind == Kind::Child &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return SubmitUrb(device, irp);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  switch (ExtensionOf(device)->kind) {
    case Kind::Controller:
      return ControllerPnp(device, irp);
    case Kind::Child:
      return ChildPnp(device, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  Extension* extension = ExtensionOf(device);
  PoStartNextPowerIrp(irp);
  if (extension->kind == Kind::Controller) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->lower, irp);
  }
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
    return Complete(irp, STATUS_SUCCESS);
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\USBFDO-0");
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_CONTROLLER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Extension* extension = ExtensionOf(fdo);
  Zero(extension, sizeof *extension);
  extension->kind = Kind::Controller;
  extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  g_model.rootPdo = pdo;
  g_model.controller = fdo;
  RtlInitUnicodeString(&link, L"\\DosDevices\\HCD0");
  IoCreateSymbolicLink(&link, &name);
  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {}

}  // namespace

// The device's behaviour: the REG_DWORD values under the service's
// Parameters key (written by whoever installs the bus), each defaulting to
// winsim's default Q417; a value out of range keeps the default. The log's
// "settings" line tells what was read and what is in force.
void ReadSettings(PUNICODE_STRING registryPath, Line& line) {
  QuillbusSettings& settings = g_model.settings;
  settings.ReturnDelayMs = QUILLBUS_RETURN_MS;
  settings.TriggerError = 31;
  settings.TriggersToLeave = QUILLBUS_TRIGGERS_TO_LEAVE;
  settings.EndpointLayout = 0;
  QuillbusSettings read = settings;
  struct Entry {
    const WCHAR* name;
    ULONG* value;
  } entries[] = {{L"ReturnDelayMs", &read.ReturnDelayMs},
                 {L"TriggerError", &read.TriggerError},
                 {L"TriggersToLeave", &read.TriggersToLeave},
                 {L"EndpointLayout", &read.EndpointLayout},
                 {L"FailBlock", &read.FailBlock},
                 {L"NeverReturn", &read.NeverReturn},
                 {L"LeaveAfterDownload", &read.LeaveAfterDownload}};
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  HANDLE service = NULL, parameters = NULL;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             NULL, NULL);
  if (registryPath != NULL && NT_SUCCESS(status = ZwOpenKey(&service, KEY_READ, &attributes))) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Parameters");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               service, NULL);
    status = ZwOpenKey(&parameters, KEY_READ, &attributes);
    ZwClose(service);
  }
  if (NT_SUCCESS(status)) {
    for (const Entry& entry : entries) {
      UNICODE_STRING name;
      RtlInitUnicodeString(&name, entry.name);
      union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
      } value;
      ULONG got = 0;
      if (NT_SUCCESS(ZwQueryValueKey(parameters, &name, KeyValuePartialInformation, &value,
                                     sizeof value, &got)) &&
          value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG)) {
        Copy(entry.value, value.info.Data, sizeof(ULONG));
      }
    }
    ZwClose(parameters);
  }
  line << "settings read=";
  line.Status(status);
  if (read.ReturnDelayMs <= 600000) settings.ReturnDelayMs = read.ReturnDelayMs;
  if (read.TriggerError == 31 || read.TriggerError == 23) settings.TriggerError = read.TriggerError;
  if (read.TriggersToLeave >= 1 && read.TriggersToLeave <= 1000) {
    settings.TriggersToLeave = read.TriggersToLeave;
  }
  if (read.EndpointLayout <= 1) settings.EndpointLayout = read.EndpointLayout;
  if (read.FailBlock < QUILLBUS_FLASH_SIZE) settings.FailBlock = read.FailBlock;
  settings.NeverReturn = read.NeverReturn != 0;
  settings.LeaveAfterDownload = read.LeaveAfterDownload != 0;
  g_model.faults.FailTransfer = settings.FailBlock != 0 ? settings.FailBlock + 1 : 0;
  g_model.faults.NeverReturn = settings.NeverReturn;
  g_model.faults.LeaveAfterDownload = settings.LeaveAfterDownload;
  Copy(g_updateConfiguration, kUpdateConfiguration, sizeof kUpdateConfiguration);
  if (settings.EndpointLayout == 1) {  // the IN endpoint first
    Copy(g_updateConfiguration + 18, kUpdateConfiguration + 25, 7);
    Copy(g_updateConfiguration + 25, kUpdateConfiguration + 18, 7);
  }
  line << " return-delay-ms=";
  line.Dec(settings.ReturnDelayMs) << " trigger-error=";
  line.Dec(settings.TriggerError) << " triggers-to-leave=";
  line.Dec(settings.TriggersToLeave) << " endpoint-layout=";
  line.Dec(settings.EndpointLayout) << " fail-block=";
  line.Dec(settings.FailBlock) << " fail-transfer=";
  line.Dec(g_model.faults.FailTransfer) << " never-return=";
  line.Dec(g_model.faults.NeverReturn) << " leave-after-download=";
  line.Dec(g_model.faults.LeaveAfterDownload);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  Zero(&g_model, sizeof g_model);
  g_model.driver = driver;
  g_model.port2 = kNormalQ417;
  KeInitializeSpinLock(&g_lock);
  g_log = (char*)ExAllocatePoolWithTag(NonPagedPool, kLogSize, kTag);
  g_flash = (QuillbusFlash*)ExAllocatePoolWithTag(NonPagedPool, sizeof(QuillbusFlash), kTag);
  if (g_log == NULL || g_flash == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlFillMemory(g_flash, sizeof(QuillbusFlash), 0xFF);
  driver->DriverUnload = DriverUnload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  Line line;
  line << "quillbus loaded";
  Log(line);
  Line settings;
  ReadSettings(registryPath, settings);
  Log(settings);
  return STATUS_SUCCESS;
}
