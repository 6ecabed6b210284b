// winsim: kernel32's objects and handle table (internal to winsim/kernel32).
//
// A handle names one object; objects are shared_ptr-owned, so a thread
// object outlives its handle while the thread runs. Handle values are
// multiples of 4 from 0x40 and are never reused within one application run,
// so that a stale handle fails with ERROR_INVALID_HANDLE instead of reaching
// another object (Windows reuses values).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ground/call_site.h"
#include "ground/ground.h"

struct _FILE_OBJECT;

namespace winsim::kernel32 {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual std::string_view Kind() const = 0;
  virtual std::string Describe() const = 0;
  // For waits: true when the object is signaled; consumes the signal of an
  // auto-reset event.
  virtual bool TryAcquire() = 0;
};

class FileObject final : public KernelObject {
 public:
  FileObject(_FILE_OBJECT* file, std::string path) : file_(file), path_(std::move(path)) {}
  std::string_view Kind() const override { return "file"; }
  std::string Describe() const override { return path_; }
  // A device opened for synchronous I/O is always signaled.
  bool TryAcquire() override { return true; }
  _FILE_OBJECT* File() const { return file_; }

 private:
  _FILE_OBJECT* file_;  // the kernel's; released by UserClose
  std::string path_;
};

// Handle table. Insert returns the new handle; Remove takes the object out
// of the table (nullptr when the handle is unknown).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object, CallSite openedBy);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

using winsim::CallPlace;  // the ground's, which the C heap shares
using winsim::CallSite;
using winsim::CurrentCallSite;
// Appends an EventKind::User event when a machine exists.
void LogUser(std::string text, std::vector<std::pair<std::string, std::string>> fields = {});
// Reports a verifier finding when a machine exists.
void ReportFinding(std::string_view rule, std::string place, std::string detail);
std::string HandleText(HANDLE handle);  // "0x44"

// Process bookkeeping used by BeginApplication and EndApplication.
void ResetHandleTable();
void ResetGlobalMemory();
void ReleaseLeakedGlobalBlocks();  // reports each
void ResetThreadIds();
// Waits until every thread the application created has ended.
void WaitForApplicationThreads();
// Runs main as the application's main thread (ExitThread ends it).
void RunMainThread(const std::function<void()>& main);
// Closes a file object through the kernel (CloseHandle and the end of the
// application).
void CloseFileObject(const FileObject& file);

}  // namespace winsim::kernel32
