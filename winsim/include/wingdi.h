// winsim: the GDI pieces the product uses: only the types, which <windef.h>
// declares (HDC, RECT, POINT, SIZE, COLORREF). Drawing goes through user32's
// DrawIcon on a paint device context.
#pragma once

#include <windef.h>

#define RGB(r, g, b) \
  ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
