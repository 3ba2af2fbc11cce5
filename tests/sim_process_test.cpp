// The simulated machine's bookkeeping: fault table, call log and hook,
// counters, clock, executable path and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_fault.h"

namespace {

constexpr uint32_t kShareRW = kFileShareRead | kFileShareWrite;
const wchar_t kDrive0[] = L"\\\\.\\PhysicalDrive0";


class SimProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    SimDisk d;
    d.length = 1 << 20;
    SimAddDisk(d);
    SimPutFile(L"D:\\a.img", std::vector<uint8_t>(100, 1));
  }
  void TearDown() override { SimReset(); }

  // true/false per open of `path`, `n` times.
  static std::string Opens(const wchar_t* path, int n) {
    std::string result;
    for (int i = 0; i < n; ++i) {
      OsHandle h = nullptr;
      result += OsOpen(path, kGenericRead, kShareRW, kOpenExisting, 0, &h) ? '+' : '-';
      OsClose(h);
    }
    return result;
  }
};

TEST_F(SimProcess, FaultsCountMatchingCallsOnly) {
  SimAddFault(Fault(SimOp::kOpen, L"physicaldrive0", 2, 21));
  EXPECT_EQ(Opens(L"D:\\a.img", 2), "++");  // other targets do not count
  EXPECT_EQ(Opens(kDrive0, 3), "+-+");
  EXPECT_EQ(SimFaults()[0].hits, 1);

  SimClearFaults();
  SimAddFault(Fault(SimOp::kOpen, L"A.IMG", 2, 5, true));
  EXPECT_EQ(Opens(L"D:\\a.img", 4), "+---");
  OsHandle h = nullptr;
  EXPECT_FALSE(OsOpen(L"D:\\a.img", kGenericRead, kShareRW, kOpenExisting, 0, &h));
  EXPECT_EQ(OsLastError(), 5u);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(SimFaults()[0].hits, 4);

  // Device controls can be told apart by code.
  SimClearFaults();
  SimFault f = Fault(SimOp::kDeviceControl, L"", 1, 1117);
  f.ioctl = kIoctlStorageQueryProperty;
  SimAddFault(f);
  ASSERT_TRUE(OsOpen(kDrive0, kGenericRead, kShareRW, kOpenExisting, 0, &h));
  uint8_t out[64];
  uint32_t returned = 0;
  EXPECT_TRUE(OsDeviceControl(h, kIoctlDiskGetLengthInfo, nullptr, 0, out, 8, &returned));
  const uint8_t query[12] = {};
  EXPECT_FALSE(OsDeviceControl(h, kIoctlStorageQueryProperty, query, 12, out, 64, &returned));
  EXPECT_EQ(OsLastError(), 1117u);
  EXPECT_TRUE(OsDeviceControl(h, kIoctlStorageQueryProperty, query, 12, out, 64, &returned));

  // Short transfers succeed with fewer bytes; a failing one moves nothing.
  SimClearFaults();
  SimFault shortWrite = Fault(SimOp::kWrite, L"drive0", 1, 0);
  shortWrite.shortBytes = 512;
  SimAddFault(shortWrite);
  SimAddFault(Fault(SimOp::kWrite, L"drive0", 2, 23));
  OsHandle w = nullptr;
  ASSERT_TRUE(OsOpen(kDrive0, kGenericRead | kGenericWrite, kShareRW, kOpenExisting, 0, &w));
  std::vector<uint8_t> data(4096, 0x11);
  uint32_t done = 0;
  EXPECT_TRUE(OsWrite(w, data.data(), 4096, &done));
  EXPECT_EQ(done, 512u);
  EXPECT_FALSE(OsWrite(w, data.data(), 4096, &done));
  EXPECT_EQ(OsLastError(), 23u);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(SimReadDisk(0, 0, 513).back(), SimPatternByte(0, 512));
  EXPECT_EQ(SimDiskWrites(0).size(), 1u);
  OsClose(w);
  OsClose(h);

  SimFault shortRead = Fault(SimOp::kRead, L"a.img", 1, 0);
  shortRead.shortBytes = 10;
  SimAddFault(shortRead);
  ASSERT_TRUE(OsOpen(L"D:\\a.img", kGenericRead, kShareRW, kOpenExisting, 0, &h));
  EXPECT_TRUE(OsRead(h, out, 64, &done));
  EXPECT_EQ(done, 10u);
  EXPECT_TRUE(OsRead(h, out, 64, &done));
  EXPECT_EQ(done, 64u);
  OsClose(h);

  // Calls without a target fail too: memory, threads, the clock.
  SimAddFault(Fault(SimOp::kPageAlloc, L"", 1, 8));
  SimAddFault(Fault(SimOp::kStartThread, L"", 1, 8));
  EXPECT_EQ(OsPageAlloc(4096), nullptr);
  EXPECT_EQ(OsLastError(), 8u);
  static std::atomic<int> ran{0};
  EXPECT_FALSE(OsStartThread([](void*) -> uint32_t { ++ran; return 0; }, nullptr));
  SimWaitForThreads();
  EXPECT_EQ(ran.load(), 0);
}

TEST_F(SimProcess, HandlesAllocationsAndThreadsAreCounted) {
  OsHandle a = nullptr, b = nullptr;
  ASSERT_TRUE(OsOpen(kDrive0, kGenericRead, kShareRW, kOpenExisting, 0, &a));
  ASSERT_TRUE(OsOpen(L"D:\\a.img", kGenericRead, kShareRW, kOpenExisting, 0, &b));
  EXPECT_EQ(SimOpenHandles(), 2);
  OsClose(a);
  EXPECT_EQ(SimOpenHandles(), 1);
  // A closed handle, and one from before a reset, are invalid.
  uint32_t done = 0;
  uint8_t buffer[512];
  EXPECT_FALSE(OsRead(a, buffer, 512, &done));
  EXPECT_EQ(OsLastError(), 6u);
  SimReset();
  EXPECT_EQ(SimOpenHandles(), 0);
  EXPECT_FALSE(OsRead(b, buffer, 1, &done));
  EXPECT_EQ(OsLastError(), 6u);
  OsClose(b);

  void* page = OsPageAlloc(3 * 4096 + 1);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 4096, 0u);
  const auto* bytes = static_cast<const uint8_t*>(page);
  bool zeroed = true;
  for (size_t i = 0; i < 3 * 4096 + 1; ++i) zeroed = zeroed && bytes[i] == 0;
  EXPECT_TRUE(zeroed);
  void* heap = OsHeapAlloc(10);
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(SimLivePageAllocations(), 1);
  EXPECT_EQ(SimLiveHeapAllocations(), 1);
  OsPageFree(page);
  OsHeapFree(heap);
  OsPageFree(nullptr);
  OsHeapFree(nullptr);
  EXPECT_EQ(SimLivePageAllocations(), 0);
  EXPECT_EQ(SimLiveHeapAllocations(), 0);

  static std::atomic<bool> release{false};
  static std::atomic<int> finished{0};
  release = false;
  finished = 0;
  const OsThreadEntry entry = [](void* arg) -> uint32_t {
    while (!release) std::this_thread::yield();
    finished += *static_cast<int*>(arg);
    return 0;
  };
  int one = 1;
  ASSERT_TRUE(OsStartThread(entry, &one));
  ASSERT_TRUE(OsStartThread(entry, &one));
  EXPECT_EQ(SimRunningThreads(), 2);
  release = true;
  SimWaitForThreads();
  EXPECT_EQ(SimRunningThreads(), 0);
  EXPECT_EQ(finished.load(), 2);
}

// A released block serves the next allocation of its size, and reads as
// zeros again, as VirtualAlloc's pages do: where reads filled it, where the
// program stored itself, and in a tail no whole word covers.
TEST_F(SimProcess, AReusedPageBlockReadsAsZeros) {
  constexpr size_t kBytes = 3 * 4096 + 5;
  auto allZero = [](const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < kBytes; ++i)
      if (b[i] != 0) return false;
    return true;
  };
  uint8_t* first = static_cast<uint8_t*>(OsPageAlloc(kBytes));
  ASSERT_NE(first, nullptr);
  OsHandle h = nullptr;
  uint32_t done = 0;
  ASSERT_TRUE(OsOpen(L"D:\\a.img", kGenericRead, kShareRW, kOpenExisting, 0, &h));
  ASSERT_TRUE(OsRead(h, first + 4096, 100, &done));
  OsClose(h);
  OsPageFree(first);
  EXPECT_EQ(SimPageBlocksStoredIn(), 0);

  uint8_t* again = static_cast<uint8_t*>(OsPageAlloc(kBytes));
  ASSERT_EQ(again, first);
  EXPECT_TRUE(allZero(again));
  again[kBytes - 1] = 7;  // the program's own store, past any read
  again[10] = 7;
  OsPageFree(again);
  EXPECT_EQ(SimPageBlocksStoredIn(), 1);
  uint8_t* third = static_cast<uint8_t*>(OsPageAlloc(kBytes));
  ASSERT_EQ(third, first);
  EXPECT_TRUE(allZero(third));
  OsPageFree(third);
}

TEST_F(SimProcess, CallLogAndHook) {
  SimClearCallLog();
  std::vector<std::string> seen;
  bool inHook = false;
  SimSetCallHook([&](const SimCall& c) {
    if (inHook) return;
    inHook = true;
    // Runs outside the machine's lock: control calls work from here.
    SimVolumeMounted(L"x");
    seen.push_back(SimOpName(c.op));
    uint32_t none = 0;
    OsRead(nullptr, nullptr, 0, &none);  // fails with 6
    inHook = false;
  });
  OsHandle h = nullptr;
  EXPECT_FALSE(OsOpen(L"\\\\.\\PhysicalDrive5", kGenericRead, kShareRW, kOpenExisting, 0, &h));
  // The hook's own calls do not disturb the caller's last error.
  EXPECT_EQ(OsLastError(), 2u);
  ASSERT_TRUE(OsOpen(kDrive0, kGenericRead | kGenericWrite, kShareRW, kOpenExisting, 0, &h));
  std::vector<uint8_t> data(1024, 3);
  uint32_t done = 0;
  ASSERT_TRUE(OsSeek(h, 512));
  ASSERT_TRUE(OsWrite(h, data.data(), 1024, &done));
  OsClose(h);
  SimSetCallHook(nullptr);

  const std::vector<SimCall> log = SimCallLog();
  std::vector<std::string> ops;
  for (const SimCall& c : log) ops.push_back(SimOpName(c.op));
  // The hook's own seam call follows each call it saw.
  EXPECT_EQ(ops, (std::vector<std::string>{"Open", "Read", "Open", "Read", "Seek", "Read",
                                           "Write", "Read", "Close", "Read"}));
  EXPECT_EQ(log[1].error, 6u);
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_FALSE(log[0].ok);
  EXPECT_EQ(log[0].error, 2u);
  EXPECT_EQ(log[0].target, L"\\\\.\\PhysicalDrive5");
  EXPECT_EQ(log[2].code, kGenericRead | kGenericWrite);
  EXPECT_EQ(log[2].share, kShareRW);
  EXPECT_EQ(log[4].offset, 512u);
  EXPECT_EQ(log[6].offset, 512u);
  EXPECT_EQ(log[6].length, 1024u);
  EXPECT_EQ(log[6].done, 1024u);
  EXPECT_EQ(log[6].target, kDrive0);
}

TEST_F(SimProcess, VirtualClockMovesOnlyWhenTold) {
  EXPECT_EQ(OsPerfFrequency(), 10000000);
  EXPECT_EQ(OsPerfCounter(), 0);
  EXPECT_EQ(OsPerfCounter(), 0);
  SimAdvanceClock(0.25);
  EXPECT_EQ(OsPerfCounter(), 2500000);

  // Transfers take bytes / speed.
  SimDisk slow;
  slow.number = 1;
  slow.length = 64 << 20;
  slow.bytesPerSecond = 8 << 20;
  SimAddDisk(slow);
  OsHandle h = nullptr;
  ASSERT_TRUE(OsOpen(L"\\\\.\\PhysicalDrive1", kGenericRead | kGenericWrite, 0,
                     kOpenExisting, 0, &h));
  std::vector<uint8_t> chunk(4 << 20);
  uint32_t done = 0;
  ASSERT_TRUE(OsWrite(h, chunk.data(), 4 << 20, &done));
  EXPECT_EQ(OsPerfCounter(), 2500000 + 5000000);
  ASSERT_TRUE(OsRead(h, chunk.data(), 1 << 20, &done));
  EXPECT_EQ(OsPerfCounter(), 2500000 + 5000000 + 1250000);
  OsClose(h);

  SimUseRealClock(true);
  const int64_t a = OsPerfCounter();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int64_t b = OsPerfCounter();
  EXPECT_GE(b - a, 150000);  // at least 15 ms in 100 ns ticks
  SimReset();
  EXPECT_EQ(OsPerfCounter(), 0);
}

TEST_F(SimProcess, ModuleFileNameCutsAndTerminates) {
  SimSetExecutablePath(L"D:\\tools\\tessavane.exe");  // 22 characters
  wchar_t buffer[64];
  EXPECT_EQ(OsModuleFileName(buffer, 64), 22u);
  EXPECT_EQ(std::wstring(buffer), L"D:\\tools\\tessavane.exe");
  EXPECT_EQ(OsModuleFileName(buffer, 23), 22u);
  EXPECT_EQ(OsModuleFileName(buffer, 22), 22u);
  EXPECT_EQ(OsLastError(), 122u);
  EXPECT_EQ(std::wstring(buffer), L"D:\\tools\\tessavane.ex");
  EXPECT_EQ(OsModuleFileName(buffer, 8), 8u);
  EXPECT_EQ(std::wstring(buffer), L"D:\\tool");
  EXPECT_EQ(OsModuleFileName(buffer, 0), 0u);
  EXPECT_EQ(OsLastError(), 122u);
  SimReset();
  EXPECT_EQ(OsModuleFileName(buffer, 64), 16u);
  EXPECT_EQ(std::wstring(buffer), L"X:\\tessavane.exe");
}

}  // namespace
