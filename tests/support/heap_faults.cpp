#include "heap_faults.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void __real_free(void* block);

namespace testing_support {
namespace {

std::atomic<bool> armed{false};
std::atomic<size_t> allocations{0};
std::atomic<size_t> failAt{0};

std::mutex& LiveLock() {
  static std::mutex lock;
  return lock;
}

// Blocks handed out while armed; plain storage so no tracked call recurses.
std::unordered_set<void*>& Live() {
  static std::unordered_set<void*> live;
  return live;
}

std::vector<size_t>& SizesAsked() {
  static std::vector<size_t> sizes;
  return sizes;
}

// Counts an allocation of size bytes; false when it must fail.
bool Count(size_t size) {
  const size_t number = ++allocations;
  std::lock_guard guard(LiveLock());
  SizesAsked().push_back(size);
  return number != failAt;
}

void Track(void* block) {
  if (block == nullptr) return;
  std::lock_guard guard(LiveLock());
  Live().insert(block);
}

}  // namespace

void HeapFaults::Arm(size_t failAtAllocation) {
  std::lock_guard guard(LiveLock());
  Live().clear();
  SizesAsked().clear();
  allocations = 0;
  failAt = failAtAllocation;
  armed = true;
}

void HeapFaults::Disarm() { armed = false; }

size_t HeapFaults::Allocations() { return allocations; }

std::vector<size_t> HeapFaults::Sizes() {
  std::lock_guard guard(LiveLock());
  return SizesAsked();
}

long HeapFaults::Outstanding() {
  std::lock_guard guard(LiveLock());
  return static_cast<long>(Live().size());
}

}  // namespace testing_support

using testing_support::armed;

extern "C" void* __wrap_malloc(size_t size) {
  if (!armed) {
    return __real_malloc(size);
  }
  if (!testing_support::Count(size)) {
    return nullptr;
  }
  void* block = __real_malloc(size);
  testing_support::Track(block);
  return block;
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  if (!armed) {
    return __real_calloc(count, size);
  }
  if (!testing_support::Count(count * size)) {
    return nullptr;
  }
  void* block = __real_calloc(count, size);
  testing_support::Track(block);
  return block;
}

extern "C" void __wrap_free(void* block) {
  if (block != nullptr && armed) {
    std::lock_guard guard(testing_support::LiveLock());
    testing_support::Live().erase(block);
  }
  __real_free(block);
}
