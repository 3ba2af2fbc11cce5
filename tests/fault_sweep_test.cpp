// Fail every platform call of a clean job run, one at a time, and check that
// the user is told the truth and nothing is lost or written out of place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/disks.h"
#include "jobs/jobs.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_fault.h"
#include "tests/support/fake_view.h"

namespace {

constexpr int kBoot = 0;
constexpr int kTarget = 1;
constexpr uint64_t kDiskBytes = 16ull << 20;
// Not a multiple of any sector size, so the padded last chunk is exercised.
constexpr uint64_t kImageBytes = (10ull << 20) + 612;
constexpr uint64_t kPaddedEnd = (kImageBytes + 4095) / 4096 * 4096;
const wchar_t kImagePath[] = L"X:\\images\\system.img";
const wchar_t kTargetVolume[] = L"\\\\?\\Volume{00000001-target}\\";

std::vector<uint8_t> ImageBytes() {
  std::vector<uint8_t> bytes(kImageBytes);
  uint32_t x = 12345;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

const std::vector<uint8_t>& Image() {
  static const std::vector<uint8_t> image = ImageBytes();
  return image;
}

// A PE stick (boot), a target with one mounted volume, an image beside.
DiskEntry BuildMachine() {
  SimReset();
  SimSetExecutablePath(L"X:\\tessavane.exe");
  SimDisk boot;
  boot.number = kBoot;
  boot.length = 8ull << 20;
  boot.vendor = "PE";
  boot.product = "STICK";
  boot.serial = "BOOT0001";
  boot.removable = true;
  SimAddDisk(boot);
  SimDisk target;
  target.number = kTarget;
  target.length = kDiskBytes;
  target.vendor = "ACME";
  target.product = "TARGET";
  target.serial = "T0001";
  SimAddDisk(target);
  SimVolume pe;
  pe.name = L"\\\\?\\Volume{00000000-boot}\\";
  pe.letter = L'X';
  pe.extents = {{kBoot, 1ull << 20, 6ull << 20}};
  SimAddVolume(pe);
  SimVolume v;
  v.name = kTargetVolume;
  v.extents = {{kTarget, 1ull << 20, 14ull << 20}};
  SimAddVolume(v);
  SimPutFile(kImagePath, Image());

  EnumerateDisks();
  EXPECT_EQ(bootDiskNumber, kBoot);
  DiskEntry entry;
  std::memset(&entry, 0, sizeof entry);
  for (int i = 0; i < diskTable.count; ++i)
    if (diskTable.entries[i].number == kTarget) entry = diskTable.entries[i];
  EXPECT_EQ(entry.number, kTarget);

  FakeViewReset();
  FakeSetText(kImagePathBox, kImagePath);
  // As the Start command leaves them.
  ViewEnable(kStartButton, false);
  ViewEnable(kCancelButton, true);
  ViewEnable(kDeleteButton, false);
  cancelRequested = false;
  SimClearCallLog();
  return entry;
}

// Which occurrence of (op, target, code) a logged call is: the fault table
// counts matching calls, so the sweep must address them the same way.
// Whether call `index` of `log` came during a volume enumeration.
bool InVolumeWalk(const std::vector<SimCall>& log, size_t index) {
  for (size_t i = index; i-- > 0;) {
    if (log[i].op == SimOp::kFindFirstVolume) return true;
    if (log[i].op == SimOp::kFindVolumeClose) return false;
  }
  return false;
}

int Occurrence(const std::vector<SimCall>& log, size_t index) {
  int n = 0;
  for (size_t i = 0; i <= index; ++i)
    if (log[i].op == log[index].op && log[i].target == log[index].target &&
        log[i].code == log[index].code)
      ++n;
  return n;
}

bool Injectable(SimOp op) {
  // Releasing memory and closing handles cannot fail in a way anyone checks.
  return op != SimOp::kClose && op != SimOp::kPageFree &&
         op != SimOp::kHeapFree && op != SimOp::kFindVolumeClose &&
         op != SimOp::kPerfCounter && op != SimOp::kPerfFrequency;
}

uint32_t ErrorFor(SimOp op) {
  switch (op) {
    case SimOp::kOpen: return kErrorSharingViolation;
    case SimOp::kPageAlloc: return kErrorNotEnoughMemory;
    case SimOp::kFindFirstVolume:
    case SimOp::kFindNextVolume: return kErrorNoMoreFiles;
    default: return kErrorAccessDenied;
  }
}

std::string Describe(const SimCall& c, int nth, bool shortened) {
  std::string s = SimOpName(c.op);
  s += "#" + std::to_string(nth);
  s += " on '" + std::string(c.target.begin(), c.target.end()) + "'";
  if (c.code != 0 && c.op == SimOp::kDeviceControl) s += " ioctl " + std::to_string(c.code);
  if (shortened) s += " (short)";
  return s;
}

const std::set<std::wstring>& WriteFailureTexts() {
  static const std::set<std::wstring> texts = {
      L"请先选择镜像文件", L"打开镜像失败", L"镜像大于磁盘容量", L"内存分配失败",
      L"写入失败"};
  return texts;
}

bool IsOpenFailureText(const std::wstring& text) {
  return text.rfind(L"打开目标磁盘失败 (错误码: ", 0) == 0;
}

// Everything the user and the disk must show after any write run.
void CheckWriteRun(const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(SimOpenHandles(), 0);
  EXPECT_EQ(SimOpenFinds(), 0);
  EXPECT_EQ(SimLivePageAllocations(), 0);
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_FALSE(cancelRequested.load());
  EXPECT_EQ(FakeText(kSpeedLabel), L"速度：-");
  EXPECT_TRUE(SimDiskWrites(kBoot).empty()) << "the boot disk was written";

  for (const SimRange& r : SimDiskWrites(kTarget))
    EXPECT_LE(r.offset + r.length, kPaddedEnd) << "write outside the image's range";

  // Every byte is either untouched or exactly what the image (or its zero
  // padding) puts there.
  // Compared a block at a time, byte by byte only where a block is neither
  // (the sweep runs this after every one of its runs).
  std::vector<uint8_t> disk = SimReadDisk(kTarget, 0, kDiskBytes);
  std::vector<uint8_t> wanted(kDiskBytes, 0), pattern(kDiskBytes);
  std::copy(Image().begin(), Image().end(), wanted.begin());
  SimFillPattern(kTarget, 0, pattern.data(), pattern.size());
  bool equalsImage = true;
  size_t bad = 0;
  constexpr uint64_t kBlock = 4096;
  for (uint64_t at = 0; at < kDiskBytes; at += kBlock) {
    if (at < kPaddedEnd && std::memcmp(&disk[at], &wanted[at], kBlock) == 0) continue;
    const size_t imagePart = at < kImageBytes ? std::min(kBlock, kImageBytes - at) : 0;
    if (std::memcmp(&disk[at], &pattern[at], kBlock) == 0) {
      if (std::memcmp(&pattern[at], &wanted[at], imagePart) != 0) equalsImage = false;
      continue;
    }
    for (uint64_t i = at; i < at + kBlock; ++i) {
      if (i < kImageBytes && disk[i] != wanted[i]) equalsImage = false;
      bool ok = disk[i] == pattern[i] || (i < kPaddedEnd && disk[i] == wanted[i]);
      if (!ok && bad++ < 3) ADD_FAILURE() << "byte " << i << " holds foreign data";
    }
  }

  std::wstring status = FakeText(kStatusLabel);
  std::vector<FakeBox> boxes = FakeBoxes();
  bool completed = status.rfind(L"写入完成 (平均速度: ", 0) == 0;
  if (completed) {
    EXPECT_TRUE(equalsImage) << "completion reported but the disk differs";
    EXPECT_EQ(FakeProgress(), 100);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().caption, L"完成");
    EXPECT_EQ(boxes.back().flags, kMbOk);
  } else {
    EXPECT_EQ(status, L"写入失败或被中止");
    for (const FakeBox& b : boxes) {
      EXPECT_EQ(b.owner, BoxOwner::kNone);
      EXPECT_EQ(b.caption, L"错误");
      EXPECT_EQ(b.flags, kMbIconError);
      EXPECT_TRUE(WriteFailureTexts().count(b.text) != 0 || IsOpenFailureText(b.text))
          << "unexpected message";
    }
  }
  for (const FakeBox& b : boxes) EXPECT_EQ(b.owner, BoxOwner::kNone);
}

TEST(FaultSweep, WriteJobSurvivesEveryFailedCall) {
  DiskEntry entry = BuildMachine();
  WriteImageJob(entry);
  CheckWriteRun("clean run");
  ASSERT_EQ(FakeText(kStatusLabel).rfind(L"写入完成", 0), 0u) << "clean run must complete";
  const std::vector<SimCall> clean = SimCallLog();
  ASSERT_GT(clean.size(), 10u);

  int injected = 0;
  for (size_t i = 0; i < clean.size(); ++i) {
    const SimCall& call = clean[i];
    if (!Injectable(call.op)) continue;
    int nth = Occurrence(clean, i);
    for (bool shortened : {false, true}) {
      bool transfer = call.op == SimOp::kRead || call.op == SimOp::kWrite;
      if (shortened && (!transfer || call.length < 2)) continue;
      DiskEntry e = BuildMachine();
      SimFault f = Fault(call.op, call.target, nth, ErrorFor(call.op), false,
                         call.op == SimOp::kDeviceControl ? call.code : 0);
      if (shortened) f.shortBytes = static_cast<uint32_t>(call.length / 2);
      SimAddFault(f);
      WriteImageJob(e);
      ++injected;
      std::string what = Describe(call, nth, shortened);
      CheckWriteRun(what);

      // The ones whose message the user must see, named.
      std::wstring status = FakeText(kStatusLabel);
      std::vector<FakeBox> boxes = FakeBoxes();
      auto shown = [&](const std::wstring& text) {
        return std::any_of(boxes.begin(), boxes.end(),
                           [&](const FakeBox& b) { return b.text == text; });
      };
      bool imageCall = call.target == kImagePath;
      std::wstring expected;
      if ((call.op == SimOp::kOpen && imageCall) || call.op == SimOp::kGetFileSizeEx)
        expected = L"打开镜像失败";
      else if (call.op == SimOp::kPageAlloc)
        expected = L"内存分配失败";
      else if (call.op == SimOp::kWrite && !shortened)
        expected = L"写入失败";
      if (!expected.empty()) {
        EXPECT_TRUE(shown(expected)) << what;
      }
      if ((call.op == SimOp::kRead || call.op == SimOp::kWrite) && !shortened) {
        EXPECT_EQ(status, L"写入失败或被中止") << what;
      }
    }
  }
  EXPECT_GT(injected, 20);
  std::printf("[ sweep    ] write job: %d faults injected over %zu calls\n",
              injected, clean.size());
}

// The wipe job: whatever fails, the user is told, nothing leaks, the buttons
// come back, and a refresh is posted only when the layout really went.
TEST(FaultSweep, WipeJobSurvivesEveryFailedCall) {
  DiskEntry entry = BuildMachine();
  ViewEnable(kCancelButton, false);
  WipePartitionsJob(entry);
  ASSERT_TRUE(SimLayoutDeleted(kTarget));
  ASSERT_EQ(FakePostedRefreshes(), 1);
  const std::vector<SimCall> clean = SimCallLog();

  int injected = 0;
  for (size_t i = 0; i < clean.size(); ++i) {
    const SimCall& call = clean[i];
    if (!Injectable(call.op)) continue;
    int nth = Occurrence(clean, i);
    DiskEntry e = BuildMachine();
    ViewEnable(kCancelButton, false);
    SimFault f = Fault(call.op, call.target, nth, ErrorFor(call.op), false,
                       call.op == SimOp::kDeviceControl ? call.code : 0);
    SimAddFault(f);
    WipePartitionsJob(e);
    ++injected;
    std::string what = Describe(call, nth, false);
    SCOPED_TRACE(what);

    EXPECT_EQ(SimOpenHandles(), 0);
    EXPECT_EQ(SimOpenFinds(), 0);
    EXPECT_EQ(FakeButtonState(), "idle");
    EXPECT_FALSE(SimLayoutDeleted(kBoot));
    bool deleted = SimLayoutDeleted(kTarget);
    EXPECT_EQ(FakePostedRefreshes(), deleted ? 1 : 0);
    std::wstring status = FakeText(kStatusLabel);
    std::vector<FakeBox> boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, BoxOwner::kNone);
    if (deleted) {
      EXPECT_EQ(status, L"成功：PhysicalDrive1 全部分区已删除。");
      EXPECT_EQ(boxes[0].text, L"全部分区删除成功。请刷新列表。");
    } else if (call.op == SimOp::kDeviceControl &&
               call.code == kIoctlDiskDeleteDriveLayout) {
      EXPECT_EQ(status, L"删除失败 (IOCTL 失败)");
      EXPECT_EQ(boxes[0].text,
                L"分区删除操作失败 (错误码: 5)。请确保具有管理员权限。");
    } else {
      // The disk could not be opened, or not known for the one confirmed:
      // a failed open or length query shows its own code, a name or serial
      // that reads differently shows ERROR_MEDIA_CHANGED, and so does any
      // failure of the check before a volume is locked.
      const uint32_t code = call.op == SimOp::kOpen ? kErrorSharingViolation
                            : call.op == SimOp::kDeviceControl &&
                                    call.code == kIoctlDiskGetLengthInfo &&
                                    !InVolumeWalk(clean, i)
                                ? kErrorAccessDenied
                                : kErrorMediaChanged;
      EXPECT_EQ(status, L"删除失败 (打开磁盘失败)");
      EXPECT_EQ(boxes[0].text, L"打开目标磁盘失败 (错误码: " +
                                   std::to_wstring(code) +
                                   L")。磁盘可能被其他程序锁定。");
    }
  }
  EXPECT_GT(injected, 5);
  std::printf("[ sweep    ] wipe job: %d faults injected over %zu calls\n",
              injected, clean.size());
}

}  // namespace
