// Process services of the simulated machine: executable path, text
// conversion, clock, memory and threads.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr size_t kPageAlignment = 4096;

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
  void* p = ::operator new(bytes, std::align_val_t(kPageAlignment), std::nothrow);
  if (p == nullptr) {
    call.Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  std::memset(p, 0, bytes);
  call.m.pageBlocks.insert(p);
  call.entry.done = bytes;
  return p;
}

void OsPageFree(void* p) {
  if (p == nullptr) return;
  Call call(SimOp::kPageFree);
  // A failing release still releases: the fault only shows in the log.
  call.Faulted();
  call.m.pageBlocks.erase(p);
  ::operator delete(p, std::align_val_t(kPageAlignment));
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
