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

#ifndef TESSAVANE_SIM_FAST_POOL
// Whether [from, to) of `p` is all zeros, a stretch at a time.
bool AllZero(const uint8_t* p, size_t from, size_t to) {
  static const uint8_t zeros[16384] = {};
  for (size_t n = 0; from < to; from += n) {
    n = std::min(to - from, sizeof zeros);
    if (std::memcmp(p + from, zeros, n) != 0) return false;
  }
  return true;
}
#endif

void ThreadEnded() {
  Machine& m = TheMachine();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    --m.runningThreads;
  }
  m.threadsDone.notify_all();
}

}  // namespace

void NoteCallerBytes(Machine& m, const void* p, size_t n) {
  const auto* at = static_cast<const uint8_t*>(p);
  for (auto& [start, block] : m.pageBlocks) {
    const auto* base = static_cast<const uint8_t*>(start);
    if (at >= base && at < base + block.bytes)
      block.dirty = std::max(block.dirty,
                             std::min(block.bytes, static_cast<size_t>(at - base) + n));
  }
}

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
  // A conversion that failed for another reason than the buffer's size
  // leaves nothing to use in it: junk without a terminator, so that a caller
  // that reads it anyway shows.
  auto junk = [&] {
    if (dst != nullptr && capacity > 0) std::fill(dst, dst + capacity, L'\xFFFD');
  };
  if (call.Faulted()) return junk(), 0;
  uint32_t error = 0;
  const int n =
      ConvertToWide(call.entry.code, src, srcLength, dst, capacity, &error);
  if (n == 0 && error != kErrorInsufficientBuffer) junk();
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
  // committed pages are; a reused one only as far as it was written.
  void* p = nullptr;
  Machine::PageBlock block{bytes, bytes};
  std::vector<std::pair<void*, Machine::PageBlock>>& pool = call.m.pagePool;
  for (size_t i = 0; i < pool.size() && p == nullptr; ++i) {
    if (pool[i].second.bytes != bytes) continue;
    p = pool[i].first;
    block.dirty = pool[i].second.dirty;
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
  }
  if (p == nullptr) p = ::operator new(bytes, std::align_val_t(kPageAlignment), std::nothrow);
  if (p == nullptr) {
    call.Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  std::memset(p, 0, block.dirty);
  block.dirty = 0;
  call.m.pageBlocks.emplace(p, block);
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
  for (const std::pair<void*, Machine::PageBlock>& kept : call.m.pagePool) {
    if (kept.first == p) {
      std::fprintf(stderr, "simulated machine: a page block released twice\n");
      std::abort();
    }
  }
  auto live = call.m.pageBlocks.find(p);
  if (live != call.m.pageBlocks.end()) {
    // Reused, a block is zeroed as far as it may hold other bytes: what the
    // machine's reads filled, and past that whatever the program stored
    // itself. The fuzzer's build does not look for the latter, where the
    // look costs a tenth of each run: the explorer's runs in the other
    // builds show the job stores nothing there.
    Machine::PageBlock block = live->second;
#ifndef TESSAVANE_SIM_FAST_POOL
    if (!AllZero(static_cast<const uint8_t*>(p), block.dirty, block.bytes)) {
      block.dirty = block.bytes;
      ++call.m.pageBlocksStoredIn;
    }
#endif
    // The oldest kept block makes way.
    if (call.m.pagePool.size() == kPagePoolBlocks) {
      ASAN_UNPOISON_MEMORY_REGION(call.m.pagePool.front().first,
                                  call.m.pagePool.front().second.bytes);
      ::operator delete(call.m.pagePool.front().first, std::align_val_t(kPageAlignment));
      call.m.pagePool.erase(call.m.pagePool.begin());
    }
    call.m.pagePool.emplace_back(p, block);
    ASAN_POISON_MEMORY_REGION(p, block.bytes);
    call.m.pageBlocks.erase(live);
  } else {
    ::operator delete(p, std::align_val_t(kPageAlignment));
  }
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
