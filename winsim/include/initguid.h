// winsim: makes the DEFINE_GUID lines that follow define their GUIDs.
#define INITGUID
#include <guiddef.h>
