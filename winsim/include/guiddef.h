// winsim: GUID and DEFINE_GUID. As on Windows, DEFINE_GUID declares the GUID
// (extern) unless INITGUID is defined, in which case it defines it:
// <initguid.h> defines INITGUID and includes this header again, so the part
// below the type is re-read on every inclusion.
#ifndef WINSIM_GUIDDEF_TYPES
#define WINSIM_GUIDDEF_TYPES

#include <string.h>

#include <windef.h>

typedef struct _GUID {
  ULONG Data1;  // 32 bits, as on Windows (not the host's unsigned long)
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef GUID CLSID;
#define REFGUID const GUID&

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

#endif  // WINSIM_GUIDDEF_TYPES

#ifdef DEFINE_GUID
#undef DEFINE_GUID
#endif
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#endif
