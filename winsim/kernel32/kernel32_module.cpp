// kernel32: the application's module.
//
// The application's module is quillprog.exe in the machine's program folder,
// reported as a Windows path ("C:\Program Files\Q417\quillprog.exe"): the
// product only takes the file name from it (the title, the profile name), and
// a fixed path keeps runs and their logs the same on every host.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel32/user_process.h"

namespace winsim::kernel32 {
namespace {

// Windows loads an executable at its preferred base; its module handle is
// that address.
const HMODULE kApplicationModule = reinterpret_cast<HMODULE>(0x00400000);

std::mutex& ModuleLock() {
  static std::mutex lock;
  return lock;
}

std::string& ModulePathStorage() {
  static std::string path(kDefaultModulePath);
  return path;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void SetModulePath(std::string windowsPath) {
  std::lock_guard guard(ModuleLock());
  ModulePathStorage() = windowsPath.empty() ? std::string(kDefaultModulePath) : windowsPath;
}

std::string ModulePath() {
  std::lock_guard guard(ModuleLock());
  return ModulePathStorage();
}

}  // namespace winsim::kernel32

// NULL names the application; so does its file name, with or without
// ".exe". winsim loads no DLLs, so any other name fails.
extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  using namespace winsim::kernel32;
  if (lpModuleName == nullptr) {
    return kApplicationModule;
  }
  const std::string fileName = FileNameOf(ModulePath());
  const std::string stem = fileName.substr(0, fileName.find_last_of('.'));
  if (EqualNoCase(lpModuleName, fileName) || EqualNoCase(lpModuleName, stem)) {
    return kApplicationModule;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// As Windows XP: a buffer too small receives the first nSize characters
// without a terminating NUL, the result is nSize and the last error is
// ERROR_SUCCESS (later versions terminate and set ERROR_INSUFFICIENT_BUFFER).
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  using namespace winsim::kernel32;
  if (hModule != nullptr && hModule != kApplicationModule) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (lpFilename == nullptr && nSize > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string path = ModulePath();
  if (path.size() + 1 > nSize) {
    if (nSize > 0) {
      std::memcpy(lpFilename, path.data(), nSize);
    }
    SetLastError(ERROR_SUCCESS);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}
