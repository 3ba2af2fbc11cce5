// Process services of the simulated machine: executable path, text
// conversion, clock, memory and threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr size_t kPageAlignment = 4096;
// Released page blocks kept for reuse, at most this many.
constexpr size_t kPagePoolBlocks = 4;

int64_t HostTicks() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ThreadEnded() {
  Machine& m = TheMachine();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    --m.runningThreads;
  }
  m.threadsDone.notify_all();
}

}  // namespace
}  // namespace sim

using namespace sim;

uint32_t OsModuleFileName(wchar_t* buffer, uint32_t capacity) {
  Call call(SimOp::kModuleFileName);
  call.entry.length = capacity;
  if (call.Faulted()) return 0;
  if (buffer == nullptr && capacity > 0) {
    call.Fail(kErrorInvalidParameter);
    return 0;
  }
  if (capacity == 0) {
    call.Fail(kErrorInsufficientBuffer);
    return 0;
  }
  const std::wstring& path = call.m.exePath;
  if (path.size() < capacity) {
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = L'\0';
    call.entry.done = path.size();
    return static_cast<uint32_t>(path.size());
  }
  // Cut and terminated, returning the capacity (Windows Vista and later).
  std::copy(path.begin(), path.begin() + (capacity - 1), buffer);
  buffer[capacity - 1] = L'\0';
  call.entry.done = capacity;
  call.Fail(kErrorInsufficientBuffer);
  return capacity;
}

int OsAnsiToWide(uint32_t codePage, const char* src, int srcLength,
                 wchar_t* dst, int capacity) {
  Call call(SimOp::kAnsiToWide);
  call.entry.code = codePage == kCpAcp ? call.m.codePage : codePage;
  if (src != nullptr && srcLength == -1) {
    call.entry.length = std::strlen(src) + 1;
  } else if (srcLength > 0) {
    call.entry.length = static_cast<uint64_t>(srcLength);
  }
  if (call.Faulted()) return 0;
  uint32_t error = 0;
  const int n =
      ConvertToWide(call.entry.code, src, srcLength, dst, capacity, &error);
  if (n == 0) call.Fail(error);
  call.entry.done = static_cast<uint64_t>(n);
  return n;
}

uint32_t OsLastError() { return LastErrorCode(); }

int64_t OsPerfCounter() {
  Call call(SimOp::kPerfCounter);
  if (call.Faulted()) return 0;
  const int64_t now = call.m.realClock ? HostTicks() + call.m.clockOffset
                                       : call.m.virtualTicks;
  call.entry.done = static_cast<uint64_t>(now);
  return now;
}

int64_t OsPerfFrequency() {
  Call call(SimOp::kPerfFrequency);
  if (call.Faulted()) return 0;
  call.entry.done = kTicksPerSecond;
  return kTicksPerSecond;
}

void* OsPageAlloc(size_t bytes) {
  Call call(SimOp::kPageAlloc);
  call.entry.length = bytes;
  if (call.Faulted()) return nullptr;
  if (bytes == 0) {
    call.Fail(kErrorInvalidParameter);
    return nullptr;
  }
  // A released block of the same size serves again: the job's buffer costs
  // no fresh host pages each run. Zeroed either way, as VirtualAlloc's
  // committed pages are.
  void* p = nullptr;
  std::vector<std::pair<size_t, void*>>& pool = call.m.pagePool;
  for (size_t i = 0; i < pool.size() && p == nullptr; ++i) {
    if (pool[i].first != bytes) continue;
    p = pool[i].second;
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
  }
  if (p == nullptr) p = ::operator new(bytes, std::align_val_t(kPageAlignment), std::nothrow);
  if (p == nullptr) {
    call.Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  std::memset(p, 0, bytes);
  call.m.pageBlocks.emplace(p, bytes);
  call.entry.done = bytes;
  return p;
}

void OsPageFree(void* p) {
  if (p == nullptr) return;
  Call call(SimOp::kPageFree);
  // A failing release still releases: the fault only shows in the log.
  call.Faulted();
  // Kept for reuse, and poisoned: a use after the release still shows
  // under AddressSanitizer. A block from before SimReset is just freed.
  for (const std::pair<size_t, void*>& kept : call.m.pagePool) {
    if (kept.second == p) {
      std::fprintf(stderr, "simulated machine: a page block released twice\n");
      std::abort();
    }
  }
  auto live = call.m.pageBlocks.find(p);
  if (live != call.m.pageBlocks.end() && call.m.pagePool.size() < kPagePoolBlocks) {
    call.m.pagePool.emplace_back(live->second, p);
    ASAN_POISON_MEMORY_REGION(p, live->second);
  } else {
    ::operator delete(p, std::align_val_t(kPageAlignment));
  }
  if (live != call.m.pageBlocks.end()) call.m.pageBlocks.erase(live);
}

void* OsHeapAlloc(size_t bytes) {
  Call call(SimOp::kHeapAlloc);
  call.entry.length = bytes;
  if (call.Faulted()) return nullptr;
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) {
    call.Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  call.m.heapBlocks.insert(p);
  call.entry.done = bytes;
  return p;
}

void OsHeapFree(void* p) {
  if (p == nullptr) return;
  Call call(SimOp::kHeapFree);
  call.Faulted();
  call.m.heapBlocks.erase(p);
  std::free(p);
}

bool OsStartThread(OsThreadEntry entry, void* arg) {
  {
    Call call(SimOp::kStartThread);
    if (call.Faulted()) return false;
    if (entry == nullptr) return call.Fail(kErrorInvalidParameter);
    if (!call.m.inlineThreads) {
      ++call.m.runningThreads;
      std::thread([entry, arg] {
        entry(arg);
        ThreadEnded();
      }).detach();
      return true;
    }
  }
  // Run now, on the caller's thread and outside the machine's lock: the
  // thread's work happens in one determined order with the caller's.
  entry(arg);
  return true;
}

void SimRunThreadsInline(bool inlineThreads) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.inlineThreads = inlineThreads;
}
