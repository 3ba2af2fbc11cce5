// Two promises checked after every test, whatever the test itself asserts:
// no write ever reaches the boot disk or a disk whose serial is protected,
// and a run that tells the user it completed left the disk equal to the
// image. A breach fails the test binary at its end, naming the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/disks.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/support/fake_view.h"

namespace {

std::vector<std::string> breaches;

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

void Breach(const testing::TestInfo& test, const std::string& what) {
  breaches.push_back(std::string(test.test_suite_name()) + "." + test.name() +
                     ": " + what);
}

// The program's own view of the machine as it stands: which disk it would
// call the boot disk and which serials it would protect. The globals are put
// back afterwards so that no test sees the check's work.
void CheckProtectedDisksUnwritten(const testing::TestInfo& test) {
  static DiskTable savedTable;
  savedTable = diskTable;
  const int32_t savedBoot = bootDiskNumber;
  static wchar_t savedSerials[kMaxFileSerials][kSerialChars];
  std::memcpy(savedSerials, fileProtectedSerials, sizeof savedSerials);
  const int32_t savedCount = fileProtectedSerialCount;

  LoadProtectedSerials();
  EnumerateDisks();
  for (int i = 0; i < diskTable.count; ++i) {
    const DiskEntry& e = diskTable.entries[i];
    if (SimDiskWrites(e.number).empty()) continue;
    if (e.number == bootDiskNumber)
      Breach(test, "the boot disk PhysicalDrive" + std::to_string(e.number) +
                       " was written");
    else if (IsProtectedSerial(e.serial))
      Breach(test, "the protected disk PhysicalDrive" + std::to_string(e.number) +
                       " was written");
  }

  diskTable = savedTable;
  bootDiskNumber = savedBoot;
  std::memcpy(fileProtectedSerials, savedSerials, sizeof savedSerials);
  fileProtectedSerialCount = savedCount;
}

bool IsExclusiveDiskOpen(const SimCall& c) {
  return c.op == SimOp::kOpen && c.ok && c.share == 0 &&
         (c.code & kGenericWrite) != 0 &&
         c.target.rfind(L"\\\\.\\PhysicalDrive", 0) == 0;
}

bool IsImageOpen(const SimCall& c) {
  return c.op == SimOp::kOpen && c.ok && c.code == kGenericRead &&
         c.share == kFileShareRead && c.target.rfind(L"\\\\.\\", 0) != 0;
}

// The last write that reported completion: find its disk and image in the
// call log and compare bytes.
void CheckCompletionMeansEqual(const testing::TestInfo& test,
                               const std::vector<SimCall>& log) {
  if (FakeText(kStatusLabel).rfind(L"写入完成 (平均速度: ", 0) != 0) return;
  size_t disk = log.size();
  for (size_t i = log.size(); i-- > 0;)
    if (IsExclusiveDiskOpen(log[i])) {
      disk = i;
      break;
    }
  if (disk == log.size()) return;  // the log was cleared after the job
  size_t image = disk;
  for (size_t i = disk; i-- > 0;)
    if (IsImageOpen(log[i])) {
      image = i;
      break;
    }
  if (image == disk) return;

  HandleGuard file;
  if (!OsOpen(log[image].target.c_str(), kGenericRead, kFileShareRead,
              kOpenExisting, 0, file.out()))
    return;  // the test removed or replaced the image afterwards
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> chunk(1 << 20);
  uint32_t got = 0;
  while (OsRead(file.get(), chunk.data(), static_cast<uint32_t>(chunk.size()), &got) &&
         got > 0)
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
  const int number = std::atoi(Narrow(log[disk].target.substr(17)).c_str());
  if (bytes.empty()) {
    Breach(test, "completion reported for an empty image");
    return;
  }
  if (SimReadDisk(number, 0, bytes.size()) != bytes)
    Breach(test, "completion reported but PhysicalDrive" + std::to_string(number) +
                     " differs from " + Narrow(log[image].target));
}

class WriteInvariants : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& test) override {
    SimWaitForThreads();
    SimSetCallHook(nullptr);
    SimClearFaults();
    const std::vector<SimCall> log = SimCallLog();
    CheckCompletionMeansEqual(test, log);
    CheckProtectedDisksUnwritten(test);
  }

  void OnTestProgramEnd(const testing::UnitTest&) override {
    if (breaches.empty()) return;
    for (const std::string& b : breaches)
      std::fprintf(stderr, "WRITE INVARIANT BROKEN in %s\n", b.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
};

const bool registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new WriteInvariants);
  return true;
}();

}  // namespace
