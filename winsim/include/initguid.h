// winsim: <initguid.h>: DEFINE_GUID defines its GUID from here on.
#define INITGUID
#include <guiddef.h>
