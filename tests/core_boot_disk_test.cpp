// Which disk the program runs from, by each of the routes it can take.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/disks.h"
#include "platform/sim/sim.h"

namespace {

constexpr uint64_t kGiB = 1073741824ull;

void AddDisk(int number, bool removable) {
  SimDisk d;
  d.number = number;
  d.length = 16 * kGiB;
  d.vendor = "ACME";
  d.product = "DISK";
  d.removable = removable;
  SimAddDisk(d);
}

void AddVolume(wchar_t letter, uint32_t disk, uint32_t extentsError = 0) {
  SimVolume v;
  v.name = std::wstring(L"\\\\?\\Volume{000") + letter + L"}\\";
  v.letter = letter;
  v.extents = {{disk, 1048576, kGiB}};
  v.extentsError = extentsError;
  SimAddVolume(v);
}

// Storage queries sent during detection, as drive numbers.
std::vector<int> ScannedDrives() {
  const std::wstring prefix = L"\\\\.\\PhysicalDrive";
  std::vector<int> drives;
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kDeviceControl && c.code == kIoctlStorageQueryProperty &&
        c.target.rfind(prefix, 0) == 0)
      drives.push_back(std::stoi(c.target.substr(prefix.size())));
  return drives;
}

bool OpenedVolumeOf(wchar_t letter) {
  const std::wstring path = std::wstring(L"\\\\.\\") + letter + L":";
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kOpen && c.target == path) return true;
  return false;
}

class BootDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    bootDiskNumber = -1;
  }
  void TearDown() override { EXPECT_EQ(SimOpenHandles(), 0); }
};

TEST_F(BootDiskTest, VolumeBeyondDriveZeroWinsWithoutAScan) {
  SimSetExecutablePath(L"D:\\tools\\tessavane.exe");
  AddDisk(2, true);
  AddDisk(1, false);  // the first number past drive 0
  AddVolume(L'D', 1);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 1);
  EXPECT_TRUE(OpenedVolumeOf(L'D'));
  EXPECT_TRUE(ScannedDrives().empty());
}

TEST_F(BootDiskTest, VolumeOnDriveZeroStillScansForRemovableDisks) {
  SimSetExecutablePath(L"C:\\pe\\tessavane.exe");
  AddDisk(0, false);
  AddDisk(1, true);
  AddDisk(2, true);
  AddVolume(L'C', 0);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 1);
  EXPECT_EQ(ScannedDrives(), std::vector<int>{1});

  // With nothing removable the volume's drive 0 stands.
  SimReset();
  SimSetExecutablePath(L"C:\\pe\\tessavane.exe");
  AddDisk(0, false);
  AddDisk(4, false);
  AddVolume(L'C', 0);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 0);
  EXPECT_EQ(ScannedDrives(), std::vector<int>{4});
}

TEST_F(BootDiskTest, UnusableVolumeAnswersFallToTheScan) {
  // The extent query fails.
  SimSetExecutablePath(L"E:\\tessavane.exe");
  AddDisk(0, true);  // drive 0 is never probed by the scan
  AddDisk(2, true);
  AddDisk(5, true);
  AddVolume(L'E', 5, kErrorInvalidFunction);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 2);
  EXPECT_EQ(ScannedDrives(), std::vector<int>{2});

  // A volume with no extents answers with fewer than 32 bytes.
  SimReset();
  SimSetExecutablePath(L"E:\\tessavane.exe");
  AddDisk(2, true);
  SimVolume bare;
  bare.name = L"\\\\?\\Volume{bare}\\";
  bare.letter = L'E';
  SimAddVolume(bare);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 2);

  // A volume spanning more extents than the reply holds: the answer is cut
  // to the first of them, with 234, and is no answer either.
  SimReset();
  SimSetExecutablePath(L"E:\\tessavane.exe");
  AddDisk(2, true);
  AddDisk(5, false);
  SimVolume spanned;
  spanned.name = L"\\\\?\\Volume{spanned}\\";
  spanned.letter = L'E';
  for (uint64_t i = 0; i < 43; ++i) spanned.extents.push_back({5, (i + 1) << 20, 1 << 20});
  SimAddVolume(spanned);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 2);

  // The drive letter does not open.
  SimReset();
  SimSetExecutablePath(L"Q:\\tessavane.exe");
  AddDisk(7, true);
  DetectBootDisk();
  EXPECT_TRUE(OpenedVolumeOf(L'Q'));
  EXPECT_EQ(bootDiskNumber, 7);
}

TEST_F(BootDiskTest, PathsWithoutADriveLetterSkipTheVolumeRoute) {
  const std::wstring paths[] = {L"\\\\server\\share\\tessavane.exe", L"C:",
                                L"tessavane.exe"};
  for (const std::wstring& path : paths) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    SimReset();
    SimSetExecutablePath(path);
    AddDisk(3, false);
    AddVolume(L'C', 3);
    DetectBootDisk();
    EXPECT_EQ(bootDiskNumber, 0);
    for (const SimCall& c : SimCallLog())
      EXPECT_FALSE(c.op == SimOp::kDeviceControl &&
                   c.code == kIoctlVolumeGetVolumeDiskExtents);
  }
}

TEST_F(BootDiskTest, RemovableFlagNeedsAWholeDescriptor) {
  SimSetExecutablePath(L"\\\\server\\share\\tessavane.exe");
  // 39 bytes with the flag set: too short to count.
  SimDisk shortReply;
  shortReply.number = 1;
  shortReply.length = kGiB;
  shortReply.useRawDescriptor = true;
  shortReply.rawDescriptor.assign(39, 0);
  shortReply.rawDescriptor[10] = 1;
  SimAddDisk(shortReply);
  // 40 bytes with the flag clear.
  SimDisk fixed = shortReply;
  fixed.number = 2;
  fixed.rawDescriptor.assign(40, 0);
  SimAddDisk(fixed);
  // 40 bytes with the flag set.
  SimDisk whole = fixed;
  whole.number = 3;
  whole.rawDescriptor[10] = 1;
  SimAddDisk(whole);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 3);
  EXPECT_EQ(ScannedDrives(), (std::vector<int>{1, 2, 3}));

  // A disk whose query fails is passed over.
  SimReset();
  SimSetExecutablePath(L"\\\\server\\share\\tessavane.exe");
  SimDisk silent;
  silent.number = 1;
  silent.length = kGiB;
  silent.hasDescriptor = false;
  SimAddDisk(silent);
  AddDisk(6, true);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 6);
}

// A PE booted from a WIM runs from X:, a RAM disk whose extent names disk
// 0xFFFFFFFF. That is -1: no disk, unless a removable one turns up.
TEST_F(BootDiskTest, RamDiskVolumeMarksNoDiskUnlessAStickIsFound) {
  const uint32_t kRamDisk = 0xFFFFFFFFu;
  SimSetExecutablePath(L"X:\\Windows\\System32\\tessavane.exe");
  AddDisk(0, false);
  AddDisk(1, false);  // a PE stick that reports RemovableMedia 0
  AddVolume(L'X', kRamDisk);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, -1);
  EXPECT_EQ(ScannedDrives(), (std::vector<int>{1}));

  SimReset();
  SimSetExecutablePath(L"X:\\Windows\\System32\\tessavane.exe");
  AddDisk(0, false);
  AddDisk(1, true);
  AddVolume(L'X', kRamDisk);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 1);

  // Any number past the signed range is taken as the negative value it is
  // stored as; none of them names a disk.
  SimReset();
  SimSetExecutablePath(L"X:\\tessavane.exe");
  AddDisk(0, false);
  AddVolume(L'X', 0x80000000u);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, INT32_MIN);
}

TEST_F(BootDiskTest, NothingUsableMeansDriveZero) {
  AddDisk(0, false);
  AddDisk(1, false);
  SimFault unreadable;
  unreadable.op = SimOp::kModuleFileName;
  unreadable.persistent = true;
  unreadable.error = kErrorAccessDenied;
  SimAddFault(unreadable);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 0);

  // Each detection starts afresh: a later one that finds a stick changes it.
  SimClearFaults();
  AddDisk(9, true);
  DetectBootDisk();
  EXPECT_EQ(bootDiskNumber, 9);
}

}  // namespace
