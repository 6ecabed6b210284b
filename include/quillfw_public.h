// quillfw's public contract: what the driver and everyone who talks to it
// (quillprog, the tests, the test bus drivers) share. Include it after
// <wdm.h>, or after <windows.h> and <winioctl.h>: it needs CTL_CODE and the
// base types, and nothing else.
#pragma once

// ---------------------------------------------------------------------------
// Names. The driver creates one device under one name for whichever
// update-mode device arrives first, and links it for user mode.
#define QUILLFW_DEVICE_NAME L"\\Device\\QUILLDEV"
#define QUILLFW_LINK_NAME L"\\DosDevices\\QUILLDEV"
// The same device as CreateFile opens it.
#define QUILLFW_USER_PATH "\\\\.\\QUILLDEV"

// The Q417's identity in firmware-update mode: the hardware id under which
// Plug and Play binds quillfw to the device. winsim's update-mode Q417, the
// host service, the Wine run's test bus driver and driver/quillfw.inf all
// name it; the build checks that they agree (tests/wine-kernel). A real
// installation puts the device's own update-mode identity here and in the
// INF (docs/windows.md).
#define QUILLFW_UPDATE_VENDOR_ID 0x0417
#define QUILLFW_UPDATE_PRODUCT_ID 0xF001
#define QUILLFW_HARDWARE_ID "USB\\VID_0417&PID_F001"

// ---------------------------------------------------------------------------
// Control codes. Both take a TransferRequest as input and are served
// synchronously, one at a time per device: the request completes when its
// USB transfer has ended, or at once with one of the failures below. While a
// stop or removal of the device is being queried, or the device is in D1 to
// D3 (the machine sleeps), a request waits its turn and goes on afterwards.
// A transfer that the device does not finish within about a second of a
// power-down, a stop or a removal is cancelled: it fails with
// STATUS_CANCELLED.
//
// IOCTL_FIRMWARE_WRITE: sends the payload to the device's OUT pipe.
//   Returns 0 bytes; the status is that of the transfer.
// IOCTL_FIRMWARE_READ: reads Count bytes from the device's IN pipe into the
//   payload area. The output buffer must satisfy the same size rule as the
//   input. On success the request returns 4 + n bytes: a TransferRequest
//   whose Count is n, the bytes that actually arrived (at most the Count
//   asked for), followed by those n bytes. On failure it returns 0 bytes.
//
// Both fail with STATUS_INVALID_BUFFER_SIZE when the envelope breaks the size
// rule, STATUS_DELETE_PENDING once the device is being removed, and
// STATUS_INVALID_DEVICE_STATE while the device has no configuration (it is
// not started, or stopped) or no endpoint in the wanted direction, and
// STATUS_DEVICE_POWERED_OFF after the device failed to return to D0 (until a
// later wake succeeds); none of these sends anything on the bus.
// Requests on one device are served one at a time. Any other control code
// succeeds and does nothing.
#define IOCTL_FIRMWARE_WRITE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FIRMWARE_READ CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_FIRMWARE_WRITE == 0x222000, "IOCTL_FIRMWARE_WRITE is 0x222000");
static_assert(IOCTL_FIRMWARE_READ == 0x222004, "IOCTL_FIRMWARE_READ is 0x222004");

// Input buffer of both control codes (little-endian byte layout): the count,
// Count payload bytes, then at least 4 reserved bytes that the driver never
// touches. The shortest valid request (Count 0) is exactly this structure.
typedef struct TransferRequest {
  ULONG Count;
  UCHAR Data[4];  // Count payload bytes, then the reserved bytes
} TransferRequest;
static_assert(sizeof(TransferRequest) == 8, "TransferRequest envelope: 4-byte count + 4 reserved");
static_assert(FIELD_OFFSET(TransferRequest, Data) == 4, "the payload follows the 4-byte count");

// The size rule: a buffer of Length bytes holds a TransferRequest whose count
// is Count when Length >= sizeof(TransferRequest) and
// Count <= Length - sizeof(TransferRequest).
constexpr BOOLEAN TransferRequestHolds(ULONG Length, ULONG Count) {
  return Length >= sizeof(TransferRequest) && Count <= Length - sizeof(TransferRequest);
}
