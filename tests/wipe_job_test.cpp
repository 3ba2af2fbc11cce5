// The partition wipe job, run on the test's thread: what the user is told,
// in which order, and what is left open or posted afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/sim/sim.h"
#include "tests/support/fake_view.h"
#include "ui/commands.h"
#include "ui/view.h"

namespace {

const wchar_t kDrive1[] = L"\\\\.\\PhysicalDrive1";
const wchar_t kVolume[] = L"\\\\?\\Volume{0101}\\";

// The entry the list holds for a disk of BuildMachine's.
DiskEntry Entry(int32_t number, const wchar_t* name) {
  DiskEntry e{};
  e.number = number;
  CopyText(e.displayName, kNameChars, name);
  CopyText(e.serial, kSerialChars, number == 0 ? L"S0" : L"T1");
  e.sizeBytes = 64ull << 20;
  FormatDevicePath(e.devicePath, kDevicePathChars, number);
  return e;
}

// Drive 0 is the boot disk (nothing else claims it); drive 1, the target,
// carries one mounted volume.
void BuildMachine() {
  SimReset();
  FakeViewReset();
  for (int n : {0, 1}) {
    SimDisk d;
    d.number = n;
    d.length = 64ull << 20;
    d.vendor = "ACME";
    d.product = n == 0 ? "SYSTEM" : "TARGET";
    d.serial = n == 0 ? "S0" : "T1";
    SimAddDisk(d);
  }
  SimVolume v;
  v.name = kVolume;
  v.extents = {{1, 1 << 20, 32 << 20}};
  SimAddVolume(v);
  // The state the Delete command leaves before it starts the job.
  ViewEnable(kStartButton, false);
  ViewEnable(kCancelButton, false);
  ViewEnable(kDeleteButton, false);
  FakeClearEvents();
  SimClearCallLog();
}

// Index of the first logged call matching, or -1.
int FindCall(const std::vector<SimCall>& log, SimOp op, uint32_t code,
             const wchar_t* target) {
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].op == op && (code == 0 || log[i].code == code) &&
        (target == nullptr || log[i].target == target))
      return static_cast<int>(i);
  return -1;
}

class WipeJobTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildMachine(); }
};

TEST_F(WipeJobTest, SuccessReportsFirstThenRestoresButtonsThenPostsRefresh) {
  int openAtBox = -1;  // the disk is closed before the box, which may stay up
  FakeAnswerBoxes([&](const FakeBox&) { return openAtBox = SimOpenHandles(), kIdOk; });
  WipePartitionsJob(Entry(1, L"ACME TARGET"));
  FakeAnswerBoxes(nullptr);
  EXPECT_EQ(openAtBox, 0);

  EXPECT_TRUE(SimLayoutDeleted(1));
  EXPECT_FALSE(SimLayoutDeleted(0));
  EXPECT_TRUE(SimDiskWrites(1).empty());
  EXPECT_EQ(SimOpenHandles(), 0);
  EXPECT_EQ(SimOpenFinds(), 0);

  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[0].kind, FakeEvent::kSetText);
  EXPECT_EQ(events[0].control, kStatusLabel);
  EXPECT_EQ(events[0].text, L"正在删除 PhysicalDrive1 (ACME TARGET) 上的全部分区...");
  EXPECT_EQ(events[1].control, kStatusLabel);
  EXPECT_EQ(events[1].text, L"成功：PhysicalDrive1 全部分区已删除。");
  EXPECT_EQ(events[2].kind, FakeEvent::kMessageBox);
  EXPECT_EQ(events[2].text, L"全部分区删除成功。请刷新列表。");
  EXPECT_EQ(events[2].caption, L"完成");
  EXPECT_EQ(events[2].flags, kMbIconInformation);
  EXPECT_EQ(events[2].owner, BoxOwner::kNone);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(events[i].kind, FakeEvent::kEnable);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_EQ(events[6].kind, FakeEvent::kPostRefresh);
  EXPECT_EQ(FakePostedRefreshes(), 1);

  // The disk is known for the one confirmed before its volume is let go,
  // the volume and that look at the disk are let go before the disk is
  // opened, and the disk is opened for reading and writing, shared, so other
  // readers are not refused.
  std::vector<SimCall> log = SimCallLog();
  int look = FindCall(log, SimOp::kOpen, kGenericRead, kDrive1);
  int dismount = FindCall(log, SimOp::kDeviceControl, kFsctlDismountVolume,
                          nullptr);
  int open = FindCall(log, SimOp::kOpen, kGenericRead | kGenericWrite, kDrive1);
  ASSERT_GE(look, 0);
  ASSERT_GT(dismount, look);
  int remove = FindCall(log, SimOp::kDeviceControl,
                        kIoctlDiskDeleteDriveLayout, kDrive1);
  ASSERT_GE(dismount, 0);
  ASSERT_GT(open, dismount);
  ASSERT_GT(remove, open);
  EXPECT_LT(FindCall(log, SimOp::kClose, 0, kDrive1), open);
  EXPECT_EQ(log[open].code, kGenericRead | kGenericWrite);
  EXPECT_EQ(log[open].share, kFileShareRead | kFileShareWrite);
  EXPECT_FALSE(SimVolumeMounted(kVolume));

  // Running the posted command rebuilds the list.
  HandleCommand(kRefreshButton, 0);
  EXPECT_EQ(FakeText(kStatusLabel), L"磁盘列表已刷新");
  EXPECT_EQ(FakeListLines().size(), 2u);
}

TEST_F(WipeJobTest, DiskHeldElsewhereFailsTheOpenWithItsCode) {
  SimSetDiskHolder(1, SimHolder::kExclusive);
  WipePartitionsJob(Entry(1, L"ACME TARGET"));

  EXPECT_FALSE(SimLayoutDeleted(1));
  std::vector<std::wstring> statuses = FakeStatusTexts();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[1], L"删除失败 (打开磁盘失败)");
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            L"打开目标磁盘失败 (错误码: 32)。磁盘可能被其他程序锁定。");
  EXPECT_EQ(boxes[0].caption, L"错误");
  EXPECT_EQ(boxes[0].flags, kMbIconError);
  EXPECT_EQ(boxes[0].owner, BoxOwner::kNone);
  // The status is set before the box is shown.
  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[1].text, L"删除失败 (打开磁盘失败)");
  EXPECT_EQ(events[2].kind, FakeEvent::kMessageBox);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_EQ(FakePostedRefreshes(), 0);
  EXPECT_EQ(SimOpenHandles(), 0);
}

TEST_F(WipeJobTest, RefusedLayoutDeletionShowsTheControlCallsCode) {
  SimFault refuse;
  refuse.op = SimOp::kDeviceControl;
  refuse.ioctl = kIoctlDiskDeleteDriveLayout;
  refuse.error = kErrorAccessDenied;
  SimAddFault(refuse);
  // A close that fails after it must not replace the code shown.
  SimFault badClose;
  badClose.op = SimOp::kClose;
  badClose.target = kDrive1;
  badClose.error = kErrorInvalidHandle;
  SimAddFault(badClose);

  WipePartitionsJob(Entry(1, L"ACME TARGET"));

  EXPECT_FALSE(SimLayoutDeleted(1));
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            L"分区删除操作失败 (错误码: 5)。请确保具有管理员权限。");
  EXPECT_EQ(boxes[0].caption, L"错误");
  EXPECT_EQ(boxes[0].flags, kMbIconError);
  EXPECT_EQ(boxes[0].owner, BoxOwner::kNone);
  EXPECT_EQ(FakeText(kStatusLabel), L"删除失败 (IOCTL 失败)");
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_EQ(FakePostedRefreshes(), 0);
  // The disk handle was closed before the box was shown.
  std::vector<SimCall> log = SimCallLog();
  int remove = FindCall(log, SimOp::kDeviceControl,
                        kIoctlDiskDeleteDriveLayout, kDrive1);
  int close = -1;
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].op == SimOp::kClose && log[i].target == kDrive1)
      close = static_cast<int>(i);
  EXPECT_GT(close, remove);
  EXPECT_EQ(SimOpenHandles(), 0);
}

// The number confirmed now belongs to another device: its volumes stay
// mounted and its layout stays, whenever the swap happened.
// The wipe refused as "1110" with disk 1's layout left as it was.
void ExpectRefusedAsNotTheDiskConfirmed() {
  EXPECT_FALSE(SimLayoutDeleted(1));
  const std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"打开目标磁盘失败 (错误码: 1110)。磁盘可能被其他程序锁定。");
  EXPECT_EQ(FakeText(kStatusLabel), L"删除失败 (打开磁盘失败)");
}

TEST_F(WipeJobTest, AnotherDeviceUnderTheConfirmedNumberKeepsItsLayout) {
  // Swapped before the job, during the release, or after it, before the
  // disk is opened for the deletion.
  for (SimOp swapAt : {SimOp::kOpen, SimOp::kFindFirstVolume, SimOp::kFindVolumeClose}) {
    SCOPED_TRACE(SimOpName(swapAt));
    const bool duringRelease = swapAt != SimOp::kOpen;
    BuildMachine();
    SimDisk backup;
    backup.number = 1;
    backup.length = 64ull << 20;
    backup.vendor = "ACME";
    backup.product = "TARGET";
    backup.serial = "BACKUP";
    if (!duringRelease) SimAddDisk(backup);
    bool swapped = false;
    SimSetCallHook([&](const SimCall& c) {
      if (duringRelease && !swapped && c.op == swapAt) {
        swapped = true;
        SimAddDisk(backup);
      }
    });
    int openAtBox = -1;  // nothing is held while the box is up
    FakeAnswerBoxes([&](const FakeBox&) { return openAtBox = SimOpenHandles(), kIdOk; });
    WipePartitionsJob(Entry(1, L"ACME TARGET"));
    SimSetCallHook(nullptr);
    FakeAnswerBoxes(nullptr);
    EXPECT_EQ(openAtBox, 0);

    ExpectRefusedAsNotTheDiskConfirmed();
    ASSERT_EQ(FakeBoxes().size(), 1u);
    EXPECT_EQ(FakeBoxes()[0].caption, L"错误");
    EXPECT_EQ(FakeBoxes()[0].flags, kMbIconError);
    EXPECT_EQ(FakeButtonState(), "idle");
    EXPECT_EQ(FakePostedRefreshes(), 0);
    EXPECT_EQ(SimOpenHandles(), 0);
    if (swapAt == SimOp::kFindVolumeClose) continue;  // let go before the swap
    // The new device has the volume now: it is never locked or dismounted.
    EXPECT_TRUE(SimVolumeMounted(kVolume));
    EXPECT_EQ(FindCall(SimCallLog(), SimOp::kDeviceControl, kFsctlLockVolume,
                       nullptr), -1);
    EXPECT_EQ(FindCall(SimCallLog(), SimOp::kDeviceControl,
                       kFsctlDismountVolume, nullptr), -1);
    if (!duringRelease) {
      EXPECT_EQ(FindCall(SimCallLog(), SimOp::kFindFirstVolume, 0, nullptr), -1);
    }
  }
}

// The wipe is refused, untouched, as "1110": a target that does not say who
// it is (listed as PhysicalDrive1 with no serial, so it may be any disk, a
// protected one too), and an open that fails without a code.
TEST_F(WipeJobTest, ADiskNotKnownToBeTheOneConfirmedKeepsItsLayout) {
  enum Case { kNoDescriptor, kLookFailsWithoutACode, kOpenFailsWithoutACode };
  for (Case c : {kNoDescriptor, kLookFailsWithoutACode, kOpenFailsWithoutACode}) {
    SCOPED_TRACE(c);
    BuildMachine();
    DiskEntry entry = Entry(1, L"ACME TARGET");
    if (c == kNoDescriptor) {
      SimDisk silent;
      silent.number = 1;
      silent.length = 64ull << 20;
      silent.serial = "5D2C8E1F07A3";  // on the built-in list
      silent.hasDescriptor = false;
      SimAddDisk(silent);  // it has the volume now
      EnumerateDisks();
      ASSERT_EQ(diskTable.count, 2);
      entry = diskTable.entries[1];
      EXPECT_EQ(std::wstring(entry.displayName), L"PhysicalDrive1");
      FakeClearEvents();
      SimClearCallLog();
    } else {
      SimFault f;
      f.target = kDrive1;
      f.nth = c == kLookFailsWithoutACode ? 1 : 2;
      SimAddFault(f);  // Open, error 0
    }
    WipePartitionsJob(entry);

    ExpectRefusedAsNotTheDiskConfirmed();
    if (c != kOpenFailsWithoutACode) {
      EXPECT_TRUE(SimVolumeMounted(kVolume));
    }
    EXPECT_EQ(FakeButtonState(), "idle");
    EXPECT_EQ(FakePostedRefreshes(), 0);
    EXPECT_EQ(SimOpenHandles(), 0);
  }
}

// Fails each seam call of a clean run in turn. After every run the user has
// been told one outcome that matches the disk, nothing is left open and the
// buttons are idle; a refresh is posted exactly when the layout is gone.
TEST(WipeJobConcurrencyTest, StarterRunsTheJobOnItsOwnCopy) {
  BuildMachine();
  DiskEntry disk = Entry(1, L"ACME TARGET");
  ASSERT_TRUE(StartWipePartitionsJob(disk));
  // The caller's entry may change at once; the job has its own.
  CopyText(disk.displayName, kNameChars, L"CHANGED");
  disk.number = 0;
  SimWaitForThreads();
  EXPECT_TRUE(SimLayoutDeleted(1));
  EXPECT_FALSE(SimLayoutDeleted(0));
  EXPECT_EQ(FakeStatusTexts().front(),
            L"正在删除 PhysicalDrive1 (ACME TARGET) 上的全部分区...");
  EXPECT_EQ(SimLiveHeapAllocations(), 0);

  SimFault noThread;
  noThread.op = SimOp::kStartThread;
  noThread.error = kErrorNotEnoughMemory;
  SimAddFault(noThread);
  EXPECT_FALSE(StartWipePartitionsJob(disk));
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  EXPECT_EQ(SimRunningThreads(), 0);
}

}  // namespace
