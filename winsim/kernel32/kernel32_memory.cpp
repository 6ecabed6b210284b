// kernel32: global memory (fixed blocks), tracked per application run.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "kernel32/kernel32_objects.h"
#include "kernel32/user_process.h"

namespace winsim::kernel32 {
namespace {

// Larger requests fail as out of memory (a 32-bit process could not have
// them either).
constexpr SIZE_T kLargestBlock = SIZE_T{1} << 30;
constexpr unsigned char kUninitialisedFill = 0xBA;

struct Block {
  std::unique_ptr<std::byte[]> memory;
  SIZE_T size;
  uint64_t ordinal;
  CallSite place;  // formatted only when the block leaks
};

struct GlobalHeap {
  std::mutex mutex;
  std::map<void*, Block> blocks;
  uint64_t count = 0;               // GlobalAlloc calls since BeginApplication
  std::set<uint64_t> failOrdinals;  // calls that must fail
};

GlobalHeap& Heap() {
  static GlobalHeap heap;
  return heap;
}

}  // namespace

void ResetGlobalMemory() {
  GlobalHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  heap.blocks.clear();
  heap.count = 0;
}

void ReleaseLeakedGlobalBlocks() {
  std::map<void*, Block> leaked;
  {
    GlobalHeap& heap = Heap();
    std::lock_guard guard(heap.mutex);
    leaked.swap(heap.blocks);
    heap.failOrdinals.clear();
  }
  for (const auto& [address, block] : leaked) {
    ReportFinding(rule::kGlobalLeak, block.place.Text(),
                  "GlobalAlloc #" + std::to_string(block.ordinal) + " of " +
                      std::to_string(block.size) + " bytes was never freed");
  }
}

size_t OutstandingGlobalBlocks() {
  GlobalHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  return heap.blocks.size();
}

void FailGlobalAllocNth(uint64_t ordinal) {
  GlobalHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  heap.failOrdinals.insert(ordinal);
}

uint64_t GlobalAllocCount() {
  GlobalHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  return heap.count;
}

}  // namespace winsim::kernel32

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  using namespace winsim::kernel32;
  if ((uFlags & GMEM_MOVEABLE) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  GlobalHeap& heap = Heap();
  std::unique_lock lock(heap.mutex);
  const uint64_t ordinal = ++heap.count;
  if (heap.failOrdinals.count(ordinal) != 0 || dwBytes > kLargestBlock) {
    lock.unlock();
    LogUser("GlobalAlloc fails",
            {{"ordinal", std::to_string(ordinal)}, {"bytes", std::to_string(dwBytes)}});
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  lock.unlock();
  // A zero-byte request still gets a block of its own, as on Windows.
  auto memory = std::make_unique<std::byte[]>(dwBytes == 0 ? 1 : dwBytes);
  std::memset(memory.get(), (uFlags & GMEM_ZEROINIT) != 0 ? 0 : kUninitialisedFill,
              dwBytes == 0 ? 1 : dwBytes);
  void* address = memory.get();
  CallSite place = CurrentCallSite("GlobalAlloc");
  lock.lock();
  heap.blocks.emplace(address, Block{std::move(memory), dwBytes, ordinal, std::move(place)});
  return address;
}

extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  using namespace winsim::kernel32;
  if (hMem == nullptr) {
    return nullptr;
  }
  GlobalHeap& heap = Heap();
  std::unique_lock lock(heap.mutex);
  if (heap.blocks.erase(hMem) == 0) {
    lock.unlock();
    ReportFinding(winsim::rule::kGlobalBadFree, CallPlace("GlobalFree"),
                  "GlobalFree of " + HandleText(hMem) + ", which is not a GlobalAlloc block");
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  return nullptr;
}
