// winsim: defines the USB device-interface GUIDs for winsim (weak, like
// Windows' selectany definitions, so a product source may define them too).
#include <initguid.h>
#include <usbiodef.h>
