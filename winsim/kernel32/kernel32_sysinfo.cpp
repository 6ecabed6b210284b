// kernel32: system information.
#include <windows.h>

#include <cstring>

#include "machine/machine_disk.h"

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  const std::string directory = winsim::WindowsDirectory();
  const UINT length = static_cast<UINT>(directory.size());
  if (lpBuffer == nullptr || uSize <= length) {
    return length + 1;
  }
  std::memcpy(lpBuffer, directory.c_str(), length + 1);
  return length;
}
