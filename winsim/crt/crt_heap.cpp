// C runtime: the program's malloc, calloc and free, counted while armed.
#include "crt/crt_heap.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "ground/ground.h"

namespace winsim::crt {
namespace {

struct CountedHeap {
  std::mutex mutex;
  bool armed = false;
  size_t count = 0;
  std::set<size_t> failOrdinals;
  std::map<void*, HeapBlock> live;
  std::vector<size_t> sizes;
  // armed or live not empty, kept under the mutex: while it is false, a
  // request or a free has nothing to count, and takes no lock (most
  // processes never arm the heap).
  std::atomic<bool> counting{false};

  void UpdateCounting() { counting.store(armed || !live.empty(), std::memory_order_release); }
};

CountedHeap& Heap() {
  static CountedHeap heap;
  return heap;
}

// Takes an ordinal for a request of size bytes; false when it must fail.
// With counting off, every request succeeds and none is recorded.
bool Admit(size_t size, size_t& ordinal) {
  CountedHeap& heap = Heap();
  ordinal = 0;
  if (!heap.counting.load(std::memory_order_acquire)) return true;
  std::unique_lock lock(heap.mutex);
  if (!heap.armed) return true;
  ordinal = ++heap.count;
  heap.sizes.push_back(size);
  if (heap.failOrdinals.count(ordinal) == 0) return true;
  lock.unlock();
  if (Ground* machine = Ground::CurrentOrNull()) {
    machine->Log().Add(EventKind::User, "malloc fails",
                       {{"ordinal", std::to_string(ordinal)}, {"bytes", std::to_string(size)}});
  }
  return false;
}

void Track(void* block, size_t ordinal, size_t size, std::string_view api) {
  if (block == nullptr || ordinal == 0) return;
  std::string place = CallPlace(api);
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  heap.live[block] = HeapBlock{ordinal, size, std::move(place)};
  heap.UpdateCounting();
}

}  // namespace

void HeapFaults::Arm(size_t failAt) {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  heap.live.clear();
  heap.sizes.clear();
  heap.failOrdinals.clear();
  if (failAt != 0) heap.failOrdinals.insert(failAt);
  heap.count = 0;
  heap.armed = true;
  heap.UpdateCounting();
}

void HeapFaults::FailAt(size_t ordinal) {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  heap.failOrdinals.insert(ordinal);
}

void HeapFaults::Disarm() {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  heap.armed = false;
  heap.UpdateCounting();
}

bool HeapFaults::Armed() {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  return heap.armed;
}

size_t HeapFaults::Allocations() {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  return heap.count;
}

long HeapFaults::Outstanding() {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  return static_cast<long>(heap.live.size());
}

std::vector<size_t> HeapFaults::Sizes() {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  return heap.sizes;
}

std::vector<HeapBlock> HeapFaults::Unfreed() {
  CountedHeap& heap = Heap();
  std::lock_guard guard(heap.mutex);
  std::map<size_t, HeapBlock> byOrdinal;
  for (const auto& entry : heap.live) byOrdinal.emplace(entry.second.ordinal, entry.second);
  std::vector<HeapBlock> blocks;
  for (auto& entry : byOrdinal) blocks.push_back(std::move(entry.second));
  return blocks;
}

}  // namespace winsim::crt

extern "C" void* winsim_crt_malloc(size_t size) {
  size_t ordinal = 0;
  if (!winsim::crt::Admit(size, ordinal)) return nullptr;
  void* block = std::malloc(size);
  winsim::crt::Track(block, ordinal, size, "malloc");
  return block;
}

extern "C" void* winsim_crt_calloc(size_t count, size_t size) {
  size_t ordinal = 0;
  // An overflowing count times size is refused by calloc itself.
  if (!winsim::crt::Admit(count * size, ordinal)) return nullptr;
  void* block = std::calloc(count, size);
  winsim::crt::Track(block, ordinal, count * size, "calloc");
  return block;
}

// Blocks from before Arm, or from an earlier arming, are freed untracked.
extern "C" void winsim_crt_free(void* block) {
  winsim::crt::CountedHeap& heap = winsim::crt::Heap();
  if (block != nullptr && heap.counting.load(std::memory_order_acquire)) {
    std::lock_guard guard(heap.mutex);
    heap.live.erase(block);
    heap.UpdateCounting();
  }
  std::free(block);
}
