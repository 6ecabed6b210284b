// winsim: GUID and DEFINE_GUID as <guiddef.h> has them. Without INITGUID,
// DEFINE_GUID declares the GUID; after <initguid.h> it defines it. A
// definition may appear in several objects (Windows marks it selectany;
// here it is a weak symbol), so winsim and a product source can both define
// one.
#ifndef GUID_DEFINED
#define GUID_DEFINED
#include <windef.h>
typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef GUID CLSID;
#ifdef __cplusplus
#define REFGUID const GUID&
#define GUID_EXTERN_C extern "C"
static inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         __builtin_memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}
static inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
#else
#define REFGUID const GUID*
#define GUID_EXTERN_C extern
#endif
#endif  // GUID_DEFINED

// Evaluated at every inclusion, so that <initguid.h> can switch it.
#ifdef DEFINE_GUID
#undef DEFINE_GUID
#endif
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  GUID_EXTERN_C __attribute__((weak))                                \
  const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) GUID_EXTERN_C const GUID name
#endif
