/* The Wine run's test bus driver (quillbus.sys) and the programs that talk to
 * it: its control device and the control codes on it. Shared by
 * tests/wine-kernel/quillbus.cpp and tests/wine/quill_wine_update.cpp.
 *
 * The bus plays the PC's USB side: one host controller (\\.\HCD0 and the
 * host-controller device interface), its root hub with two ports, a mouse on
 * port 1 and a Q417 on port 2. The Q417 behaves as winsim's default Q417
 * (winsim/usb/usb_device.cpp): the 0x55 requests stall, and after the tenth
 * it leaves the bus and comes back QUILLBUS_RETURN_MS later as the
 * update-mode device (QUILLFW_HARDWARE_ID), a Plug and Play child of
 * the bus, for which Wine loads quillfw.sys. */
#ifndef QUILLBUS_PROTOCOL_H
#define QUILLBUS_PROTOCOL_H

/* The control device: "\\.\QuillTestBus". */
#define QUILLBUS_CONTROL_DEVICE_NAME L"\\Device\\QuillTestBus"
#define QUILLBUS_CONTROL_LINK_NAME L"\\DosDevices\\QuillTestBus"
#define QUILLBUS_CONTROL_PATH "\\\\.\\QuillTestBus"

/* The bus driver's hardware id (root-enumerated) and service name. */
#define QUILLBUS_HARDWARE_ID "ROOT\\QUILLBUS"
#define QUILLBUS_SERVICE_NAME "quillbus"

#define QUILLBUS_CTL(function) \
  (((0x22) << 16) | ((0) << 14) | (((function)&0xFFF) << 2) | (0)) /* METHOD_BUFFERED */

/* Output: the log so far, text, one event a line (see quillbus.cpp for the
 * lines); Information is its length. A buffer too small gets the first part. */
#define IOCTL_QUILLBUS_GET_LOG QUILLBUS_CTL(0xB00)
/* Output: the update-mode flash as a QuillbusFlash. */
#define IOCTL_QUILLBUS_GET_FLASH QUILLBUS_CTL(0xB01)
/* Input: a QuillbusFaults; replaces the faults for what happens next. */
#define IOCTL_QUILLBUS_SET_FAULTS QUILLBUS_CTL(0xB02)
/* Output: a QuillbusState. */
#define IOCTL_QUILLBUS_GET_STATE QUILLBUS_CTL(0xB03)
/* Output: the QuillbusSettings the bus read at start. */
#define IOCTL_QUILLBUS_GET_SETTINGS QUILLBUS_CTL(0xB04)

/* The device's behaviour, read by the bus at start from the REG_DWORD values
 * of HKLM\System\CurrentControlSet\Services\quillbus\Parameters (a missing
 * or out-of-range value keeps the default). The last three also give the
 * QuillbusFaults in force until IOCTL_QUILLBUS_SET_FAULTS replaces them. */
typedef struct QuillbusSettings {
  unsigned long ReturnDelayMs;      /* the Q417 comes back this long after leaving
                                       (QUILLBUS_RETURN_MS; at most 600000) */
  unsigned long TriggerError;       /* what the 0x55 requests answer in user mode:
                                       31 (a stall, STATUS_UNSUCCESSFUL; the default)
                                       or 23 (a data error, STATUS_DEVICE_DATA_ERROR) */
  unsigned long TriggersToLeave;    /* the Q417 leaves after this many (1 to 1000;
                                       QUILLBUS_TRIGGERS_TO_LEAVE) */
  unsigned long EndpointLayout;     /* update-mode endpoints: 0 OUT 0x01 then IN
                                       0x82 (the default), 1 IN first */
  unsigned long FailBlock;          /* this block (from 1; the transfer after the
                                       header is block 1) fails; 0: none */
  unsigned long NeverReturn;        /* 1: the Q417 never comes back after leaving */
  unsigned long LeaveAfterDownload; /* 1: leaves update mode after an image */
} QuillbusSettings;

typedef struct QuillbusFaults {
  /* The n-th bulk transfer (from 1, counted from the update-mode device's
   * arrival, the header included) fails with USBD_STATUS_CRC and
   * STATUS_DEVICE_DATA_ERROR; 0: none. */
  unsigned long FailTransfer;
  /* 1: after the trigger the Q417 leaves the bus and never comes back. */
  unsigned long NeverReturn;
  /* 1: after a whole image the update-mode device leaves the bus and the
   * Q417 comes back in normal mode (winsim's "afterDownload": "leave"). */
  unsigned long LeaveAfterDownload;
} QuillbusFaults;

#define QUILLBUS_FLASH_SIZE 65536
typedef struct QuillbusFlash {
  unsigned long ImageLength; /* from the last header; 65536 for length 0 */
  unsigned long Received;    /* image bytes received since that header */
  unsigned long Downloads;   /* whole images received */
  unsigned char Header[5];   /* the last header */
  unsigned char Reserved[3];
  unsigned char Flash[QUILLBUS_FLASH_SIZE];
} QuillbusFlash;

typedef struct QuillbusState {
  unsigned long Port2;           /* 0 empty, 1 normal-mode Q417, 2 update-mode */
  unsigned long TriggerRequests; /* since the normal-mode Q417 last arrived */
  unsigned long UpdateArrivals;  /* update-mode devices reported to Plug and Play */
  unsigned long ChildStarted;    /* the update-mode device's stack was started */
  unsigned long ShimInstalled;   /* quillfw's IoBuildPartialMdl import was redirected */
  unsigned long WineStub;        /* Wine's IoBuildPartialMdl is still a stub */
} QuillbusState;

#define QUILLBUS_RETURN_MS 2000 /* winsim's default returnDelay */
#define QUILLBUS_LEAVE_MS 250   /* leave after a whole image, then return */
#define QUILLBUS_TRIGGERS_TO_LEAVE 10

#endif
