// kernel32: the handle table and the application's process (begin, end,
// leak findings).
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>

#include "crt/crt_heap.h"
#include "kernel32/kernel32_objects.h"
#include "kernel32/user_process.h"
#include "machine/machine.h"

namespace winsim::kernel32 {
namespace {

constexpr uintptr_t kFirstHandle = 0x40;
constexpr uintptr_t kHandleStep = 4;

struct HandleEntry {
  std::shared_ptr<KernelObject> object;
  CallSite openedBy;  // formatted when read
};

struct HandleTable {
  std::mutex mutex;
  std::map<HANDLE, HandleEntry> entries;  // ordered by value: the order of opening
  uintptr_t next = kFirstHandle;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, CallSite openedBy) {
  HandleTable& table = Table();
  std::lock_guard guard(table.mutex);
  const HANDLE handle = reinterpret_cast<HANDLE>(table.next);
  table.next += kHandleStep;
  table.entries.emplace(handle, HandleEntry{std::move(object), std::move(openedBy)});
  return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard guard(table.mutex);
  const auto found = table.entries.find(handle);
  return found == table.entries.end() ? nullptr : found->second.object;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard guard(table.mutex);
  const auto found = table.entries.find(handle);
  if (found == table.entries.end()) {
    return nullptr;
  }
  std::shared_ptr<KernelObject> object = std::move(found->second.object);
  table.entries.erase(found);
  return object;
}

void ResetHandleTable() {
  HandleTable& table = Table();
  std::lock_guard guard(table.mutex);
  table.entries.clear();
  table.next = kFirstHandle;
}

std::vector<OpenHandle> OpenHandles() {
  HandleTable& table = Table();
  std::lock_guard guard(table.mutex);
  std::vector<OpenHandle> handles;
  for (const auto& [handle, entry] : table.entries) {
    handles.push_back(OpenHandle{handle, std::string(entry.object->Kind()),
                                 entry.object->Describe(), entry.openedBy.Text()});
  }
  return handles;
}

std::string HandleText(HANDLE handle) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(handle));
  return text;
}

void LogUser(std::string text, std::vector<std::pair<std::string, std::string>> fields) {
  if (Machine* machine = Machine::CurrentOrNull()) {
    machine->Log().Add(EventKind::User, std::move(text), std::move(fields));
  }
}

void ReportFinding(std::string_view rule, std::string place, std::string detail) {
  if (Machine* machine = Machine::CurrentOrNull()) {
    machine->Verify().Report(rule, std::move(place), std::move(detail));
  }
}

void BeginApplication() {
  ResetHandleTable();
  ResetGlobalMemory();
  ResetThreadIds();
  LogUser("application starts", {{"module", ModulePath()}});
}

void EndApplication() {
  std::vector<std::pair<HANDLE, HandleEntry>> leaked;
  {
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    for (auto& [handle, entry] : table.entries) {
      leaked.emplace_back(handle, std::move(entry));
    }
    table.entries.clear();
  }
  // Windows closes what a process leaves open when it ends; each one is a
  // leak of the application's.
  for (const auto& [handle, entry] : leaked) {
    ReportFinding(rule::kHandleLeak, entry.openedBy.Text(),
                  std::string(entry.object->Kind()) + " handle " + HandleText(handle) + " (" +
                      entry.object->Describe() + ") was never closed");
    if (const auto* file = dynamic_cast<const FileObject*>(entry.object.get())) {
      CloseFileObject(*file);
    }
  }
  ReleaseLeakedGlobalBlocks();
  // The C runtime's heap goes with the process too; while it is counted,
  // what the program left in it is a leak of the program's.
  if (crt::HeapFaults::Armed()) {
    for (const crt::HeapBlock& block : crt::HeapFaults::Unfreed()) {
      ReportFinding(rule::kHeapLeak, block.place,
                    "C heap block #" + std::to_string(block.ordinal) + " of " +
                        std::to_string(block.size) + " bytes was never freed");
    }
  }
  LogUser("application ends", {{"leaked_handles", std::to_string(leaked.size())}});
}

bool RunApplication(Machine& machine, std::function<void()> main) {
  return machine.Run([&main] {
    BeginApplication();
    RunMainThread(main);
    WaitForApplicationThreads();
    EndApplication();
  });
}

}  // namespace winsim::kernel32
