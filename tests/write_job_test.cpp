// The image write job on the simulated machine, watched through the
// recording view: bytes on the disk, what the user is told, call order,
// cancellation, and that nothing is left behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/sim/sim.h"
#include "tests/contract/fat_image.h"
#include "tests/support/sim_fault.h"
#include "tests/support/fake_view.h"
#include "ui/view.h"

namespace {

constexpr int kDisk = 1;
constexpr uint64_t kMiB = 1024 * 1024;
const wchar_t kImage[] = L"D:\\images\\system.img";
const wchar_t kDiskPath[] = L"\\\\.\\PhysicalDrive1";
const wchar_t kVolume[] = L"\\\\?\\Volume{0001}\\";

std::vector<uint8_t> ImageBytes(size_t size, uint32_t seed = 7) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

DiskEntry EntryFor(int number, uint64_t length) {
  DiskEntry e{};
  e.number = number;
  e.sizeBytes = length;
  FormatDevicePath(e.devicePath, kDevicePathChars, number);
  CopyText(e.displayName, kNameChars, L"SIM DISK");
  CopyText(e.serial, kSerialChars, L"S1");  // as AddDisk describes it
  return e;
}

// The disk the user confirmed: EntryFor describes it.
SimDisk TargetDisk(uint64_t length, uint32_t sectorSize = 512) {
  SimDisk d;
  d.number = kDisk;
  d.length = length;
  d.sectorSize = sectorSize;
  d.vendor = "SIM";
  d.product = "DISK";
  d.serial = "S1";
  return d;
}

void AddDisk(uint64_t length, uint32_t sectorSize = 512,
             SimHolder holder = SimHolder::kNone) {
  SimDisk d = TargetDisk(length, sectorSize);
  d.holder = holder;
  SimAddDisk(d);
}

// The target's volume, kVolume, over [offset, offset + length) of the disk.
void AddTargetVolume(wchar_t letter, uint64_t offset, uint64_t length,
                     uint64_t remountAfterWrites = 0) {
  SimVolume v;
  v.name = kVolume;
  v.letter = letter;
  v.extents = {{kDisk, offset, length}};
  v.remountAfterWrites = remountAfterWrites;
  SimAddVolume(v);
}

// As the Start command leaves the window before it starts the job.
// The speed line of an earlier run stays until this one's end resets it.
void EnterWritingState() {
  FakeSetText(kImagePathBox, kImage);
  FakeSetText(kSpeedLabel, L"速度：上一次");
  ViewEnable(kStartButton, false);
  ViewEnable(kCancelButton, true);
  ViewEnable(kDeleteButton, false);
  cancelRequested = false;
}

void PressCancel() {
  cancelRequested = true;
  SetStatus(L"取消中...");
}

bool IsDisk(const SimCall& c) {
  return c.target.find(L"PhysicalDrive") != std::wstring::npos;
}
bool IsImage(const SimCall& c) { return c.target == kImage; }

// The job's calls on the image, the disk and memory, one word pair each;
// the volume release shows as "release" (its volume calls are left out), the
// identity check as "look disk", "length disk", "describe disk", "close disk".
// "box" stands where a message box came up, `boxAt` calls into the log.
std::vector<std::string> Trace(size_t boxAt = SIZE_MAX) {
  std::vector<std::string> out;
  const std::vector<SimCall> log = SimCallLog();
  for (size_t i = 0; i <= log.size(); ++i) {
    if (i == boxAt) out.push_back("box");
    if (i == log.size()) break;
    const SimCall& c = log[i];
    std::string who = IsDisk(c) ? "disk" : IsImage(c) ? "img" : "";
    std::string what;
    switch (c.op) {
      // The inventory's shared open, which the identity check makes.
      case SimOp::kOpen: what = c.share != 0 && IsDisk(c) ? "look" : "open"; break;
      case SimOp::kClose: what = "close"; break;
      case SimOp::kRead: what = "read"; break;
      case SimOp::kWrite: what = "write"; break;
      case SimOp::kSeek: what = "seek"; break;
      case SimOp::kFlush: what = "flush"; break;
      case SimOp::kGetFileSizeEx: what = "size"; break;
      case SimOp::kDeviceControl:
        if (c.code == kIoctlDiskGetLengthInfo) what = "length";
        if (c.code == kIoctlStorageQueryProperty) what = "describe";
        break;
      case SimOp::kFindFirstVolume: out.push_back("release"); continue;
      case SimOp::kPageAlloc: what = "alloc"; who = ""; break;
      case SimOp::kPageFree: what = "free"; who = ""; break;
      default: break;
    }
    if (what.empty()) continue;
    if (what != "alloc" && what != "free" && who.empty()) continue;
    std::string entry = who.empty() ? what : what + " " + who;
    if (!c.ok) entry += " !";
    out.push_back(entry);
  }
  return out;
}

std::vector<std::wstring> SpeedTexts() {
  std::vector<std::wstring> out;
  for (const FakeEvent& e : FakeEvents())
    if (e.kind == FakeEvent::kSetText && e.control == kSpeedLabel)
      out.push_back(e.text);
  return out;
}

std::vector<int> ProgressSteps() {
  std::vector<int> out;
  for (const FakeEvent& e : FakeEvents())
    if (e.kind == FakeEvent::kProgress) out.push_back(e.value);
  return out;
}

int CountOp(SimOp op, bool onDisk) {
  int n = 0;
  for (const SimCall& c : SimCallLog())
    if (c.op == op && IsDisk(c) == onDisk) ++n;
  return n;
}

// What every run must leave behind, whatever happened.
void ExpectCleanEnd() {
  EXPECT_EQ(SimOpenHandles(), 0);
  EXPECT_EQ(SimOpenFinds(), 0);
  EXPECT_EQ(SimLivePageAllocations(), 0);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_FALSE(cancelRequested.load());
  EXPECT_EQ(FakeText(kSpeedLabel), L"速度：-");
}

void ExpectOneBox(const std::wstring& text, const std::wstring& caption,
                  uint32_t flags) {
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, text);
  EXPECT_EQ(boxes[0].caption, caption);
  EXPECT_EQ(boxes[0].flags, flags);
  EXPECT_EQ(boxes[0].owner, BoxOwner::kNone);
}

void ExpectCompleted(const std::wstring& average) {
  EXPECT_EQ(FakeProgress(), 100);
  const std::vector<std::wstring> statuses = FakeStatusTexts();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[statuses.size() - 2], L"开始写入镜像...");
  EXPECT_EQ(FakeText(kStatusLabel), L"写入完成 (平均速度: " + average + L" MB/s)");
  ExpectOneBox(L"镜像写入完成\n\n平均速度：" + average + L" MB/s", L"完成",
               kMbOk);
}

bool SameBytes(const std::vector<uint8_t>& a, const uint8_t* b, size_t n) {
  return a.size() == n && (n == 0 || std::memcmp(a.data(), b, n) == 0);
}

class WriteJob : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    FakeViewReset();
    cancelRequested = false;
  }
  void TearDown() override {
    SimSetCallHook(nullptr);
    cancelRequested = false;
  }
  void Run(uint64_t diskLength) { WriteImageJob(EntryFor(kDisk, diskLength)); }

  // A run on a fresh 64 MiB disk whose every write takes `seconds` of the
  // virtual clock, with the fault `f` if one is given.
  void RunWithWritesTaking(double seconds, uint64_t imageSize,
                           const SimFault* f = nullptr) {
    SimReset();
    FakeViewReset();
    AddDisk(64 * kMiB);
    SimPutFile(kImage, ImageBytes(imageSize));
    if (f != nullptr) SimAddFault(*f);
    SimSetCallHook([seconds](const SimCall& c) {
      if (c.op == SimOp::kWrite && IsDisk(c)) SimAdvanceClock(seconds);
    });
    EnterWritingState();
    Run(64 * kMiB);
    SimSetCallHook(nullptr);
  }
};

// ---- what ends up on the disk -----------------------------------------------

struct SizeCase {
  const char* name;
  uint64_t size;
};

// The last chunk goes out with its true length when that is whole sectors of
// the disk; otherwise in whole 4 KiB blocks, after a refused try when it is
// whole 512-byte sectors. Past the image's end the disk must keep what it
// held (an MBR backup followed by a GPT header).
TEST_F(WriteJob, DiskHoldsExactlyTheImageAndKeepsWhatFollows) {
  for (uint32_t sector : {512u, 4096u}) {
    // Not a multiple of 4 KiB on the 512-byte disk: the last block must stop
    // at the disk's end.
    const uint64_t diskLength =
        12 * kMiB + (sector == 512 ? 3 * 512 : 4096);
    const SizeCase cases[] = {
        {"empty", 0},
        {"one byte", 1},
        {"511", 511},
        {"512", 512},
        {"4 MiB", 4 * kMiB},
        {"4 MiB + 1", 4 * kMiB + 1},
        {"10 MiB + 512", 10 * kMiB + 512},
        {"disk length - 100", diskLength - 100},
        {"disk length", diskLength},
        {"disk length + 1", diskLength + 1},
    };
    for (const SizeCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", sector " + std::to_string(sector));
      SimReset();
      FakeViewReset();
      AddDisk(diskLength, sector);
      std::vector<uint8_t> image = ImageBytes(c.size, sector);
      SimPutFile(kImage, image);
      EnterWritingState();

      Run(diskLength);

      const bool fits = c.size <= diskLength;
      const bool whole = c.size % sector == 0;
      const uint64_t padEnd =
          !fits  ? 0
          : whole ? c.size
                  : std::min<uint64_t>((c.size + 4095) / 4096 * 4096, diskLength);
      if (fits) {
        std::vector<uint8_t> onDisk = SimReadDisk(kDisk, 0, c.size);
        EXPECT_TRUE(SameBytes(onDisk, image.data(), c.size));
      }
      const std::vector<SimRange> writes = SimDiskWrites(kDisk);
      if (fits && c.size != 0) {
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().offset + writes.back().length, padEnd);
      }
      for (const SimRange& w : writes) EXPECT_LE(w.offset + w.length, padEnd);
      // The disk is read back only for a tail that is padded.
      EXPECT_EQ(CountOp(SimOp::kRead, true) != 0, fits && !whole);
      // Refused only where 512-byte sectors meet a larger-sectored disk.
      int refused = 0;
      for (const SimCall& call : SimCallLog())
        if (call.op == SimOp::kWrite && IsDisk(call) && !call.ok) {
          EXPECT_EQ(call.error, kErrorInvalidParameter);
          ++refused;
        }
      EXPECT_EQ(refused, fits && !whole && c.size % 512 == 0 ? 1 : 0);
      const uint64_t from = fits ? c.size : 0;
      const uint64_t after = std::min<uint64_t>(64 * 1024, diskLength - from);
      std::vector<uint8_t> tail = SimReadDisk(kDisk, from, after);
      for (uint64_t i = 0; i < after; ++i)
        if (tail[i] != SimPatternByte(kDisk, from + i)) {
          ADD_FAILURE() << "byte changed past the image at " << from + i;
          break;
        }

      if (c.size == 0) {
        EXPECT_TRUE(FakeBoxes().empty());
        EXPECT_EQ(FakeStatusTexts(), (std::vector<std::wstring>{
                                         L"开始写入镜像...", L"写入失败或被中止"}));
        EXPECT_EQ(CountOp(SimOp::kOpen, true), 0);
      } else if (!fits) {
        ExpectOneBox(L"镜像大于磁盘容量", L"错误", kMbIconError);
        EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
        EXPECT_TRUE(SimDiskWrites(kDisk).empty());
      } else {
        ExpectCompleted(L"0.00");  // the virtual clock never moved
      }
      ExpectCleanEnd();
    }
  }
}

TEST_F(WriteJob, ProgressAfterEveryChunkOfAnUnevenImage) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(10 * kMiB + 512));
  EnterWritingState();
  FakeSetText(kStatusLabel, L"previous run");
  Run(64 * kMiB);
  // Three chunks, then the completion sets 100 once more.
  EXPECT_EQ(ProgressSteps(), (std::vector<int>{39, 79, 100, 100}));
  std::vector<SimRange> writes = SimDiskWrites(kDisk);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].offset, 0u);
  EXPECT_EQ(writes[1].offset, 4 * kMiB);
  EXPECT_EQ(writes[2].offset, 8 * kMiB);
  EXPECT_EQ(writes[2].length, 2 * kMiB + 512);
  EXPECT_EQ(CountOp(SimOp::kRead, true), 0);
}

// A mid-file read that returns less than asked must not leave a hole or move
// the rest of the image.
TEST_F(WriteJob, ShortReadsAreFilledUpNotWrittenUnaligned) {
  AddDisk(64 * kMiB);
  std::vector<uint8_t> image = ImageBytes(9 * kMiB + 700);
  SimPutFile(kImage, image);
  SimFault f;
  f.op = SimOp::kRead;
  f.target = kImage;
  f.nth = 1;
  f.persistent = true;
  f.shortBytes = 1000001;  // odd, so no chunk boundary is ever hit by chance
  SimAddFault(f);
  EnterWritingState();
  Run(64 * kMiB);
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                        image.size()));
  for (const SimRange& w : SimDiskWrites(kDisk)) {
    EXPECT_EQ(w.offset % (4 * kMiB), 0u);
    EXPECT_EQ(w.length % 4096, 0u);
  }
  EXPECT_EQ(SimDiskWrites(kDisk).size(), 3u);
  ExpectCompleted(L"0.00");
  ExpectCleanEnd();
}

TEST_F(WriteJob, CallOrderOfACleanRun) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(5 * kMiB));
  EnterWritingState();
  Run(64 * kMiB);
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "open img", "size img", "look disk", "length disk",
                         "describe disk", "release", "close disk",
                         "open disk", "length disk", "describe disk",
                         "length disk", "alloc", "seek disk", "seek img",
                         "read img", "write disk", "read img", "read img",
                         "write disk", "flush disk", "free", "close disk",
                         "close img"}));
  for (const SimCall& c : SimCallLog()) {
    // The one open that writes is exclusive; the check only reads.
    if (c.op == SimOp::kOpen && IsDisk(c)) {
      if (c.code == kGenericRead) {
        EXPECT_EQ(c.share, kFileShareRead | kFileShareWrite);
      } else {
        EXPECT_EQ(c.code, kGenericRead | kGenericWrite);
        EXPECT_EQ(c.share, 0u);
      }
    }
    if (c.op == SimOp::kOpen && IsImage(c)) {
      EXPECT_EQ(c.code, kGenericRead);
      EXPECT_EQ(c.share, kFileShareRead);
    }
    if (c.op == SimOp::kRead && IsImage(c)) {
      EXPECT_LE(c.length, 4 * kMiB);
    }
  }
  EXPECT_EQ(FakeText(kStatusLabel), L"写入完成 (平均速度: 0.00 MB/s)");
}

// ---- failures, row by row -------------------------------------------------

struct FailureRow {
  const char* name;
  std::wstring imagePath;          // L"" leaves the path box empty
  uint64_t imageSize;
  std::vector<SimFault> faults;
  uint32_t lengthQueryError;
  std::wstring box;                // L"" for none
  std::vector<std::string> trace;
};


TEST_F(WriteJob, EveryFailureIsReportedAndCleanedUpInOrder) {
  auto cat = [](std::vector<std::string> head,
                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const std::vector<std::string> opened = {
      "open img", "size img", "look disk", "length disk", "describe disk",
      "release", "close disk", "open disk", "length disk", "describe disk"};
  const std::vector<std::string> copyStart =
      cat(opened, {"length disk", "alloc", "seek disk", "seek img"});
  auto with = [&](const std::vector<std::string>& tail) {
    return cat(copyStart, tail);
  };
  const FailureRow rows[] = {
      {"empty path", L"", 5 * kMiB, {}, 0, L"请先选择镜像文件", {}},
      {"image missing (a one-character path)", L"m", 5 * kMiB, {}, 0, L"打开镜像失败",
       {}},
      {"image size unreadable", kImage, 5 * kMiB,
       {Fault(SimOp::kGetFileSizeEx, kImage, 1, 5)}, 0, L"打开镜像失败",
       {"open img", "size img !", "box", "close img"}},
      {"disk gone since the list was made", kImage, 5 * kMiB,
       {Fault(SimOp::kOpen, kDiskPath, 1, 2)}, 0,
       L"打开目标磁盘失败 (错误码: 2)。\n请尝试先使用“删除全部分区”按钮清除磁盘分区。",
       {"open img", "size img", "look disk !", "box", "close img"}},
      // A length that cannot be read counts as 0; the name and serial still
      // tell that it is the disk confirmed. No volume is touched.
      {"disk no longer answers the length query", kImage, 5 * kMiB, {}, 1,
       L"镜像大于磁盘容量",
       {"open img", "size img", "look disk", "length disk !", "describe disk",
        "box", "close disk", "close img"}},
      {"writing handle cannot read the length", kImage, 1,
       {Fault(SimOp::kDeviceControl, kDiskPath, 2, 1, false,
              kIoctlDiskGetLengthInfo)},
       0, L"镜像大于磁盘容量",
       {"open img", "size img", "look disk", "length disk", "describe disk",
        "release", "close disk", "open disk", "length disk !", "describe disk",
        "box", "close disk", "close img"}},
      // Refused on the handle that would write: let go before the box.
      {"writing handle is not the disk confirmed", kImage, 5 * kMiB,
       {Fault(SimOp::kDeviceControl, kDiskPath, 2, 1, false,
              kIoctlStorageQueryProperty)},
       0,
       L"打开目标磁盘失败 (错误码: 1110)。\n请尝试先使用“删除全部分区”按钮清除磁盘分区。",
       {"open img", "size img", "look disk", "length disk", "describe disk",
        "release", "close disk", "open disk", "length disk", "describe disk !",
        "close disk", "box", "close img"}},
      // The retry looks again before its release.
      {"disk refuses twice", kImage, 5 * kMiB,
       {Fault(SimOp::kOpen, kDiskPath, 2, 5), Fault(SimOp::kOpen, kDiskPath, 4, 5)},
       0,
       L"打开目标磁盘失败 (错误码: 5)。\n请尝试先使用“删除全部分区”按钮清除磁盘分区。",
       {"open img", "size img", "look disk", "length disk", "describe disk",
        "release", "close disk", "open disk !", "look disk", "length disk",
        "describe disk", "release", "close disk", "open disk !", "box", "close img"}},
      // Against the size confirmed, before the disk is looked at.
      {"image larger than disk", kImage, 64 * kMiB + 1, {}, 0,
       L"镜像大于磁盘容量", {"open img", "size img", "box", "close img"}},
      // The third length query is the size check's own.
      {"disk length unreadable", kImage, 1,
       {Fault(SimOp::kDeviceControl, kDiskPath, 3, 1, false,
              kIoctlDiskGetLengthInfo)},
       0, L"镜像大于磁盘容量",
       cat(opened, {"length disk !", "box", "close disk", "close img"})},
      {"no buffer", kImage, 5 * kMiB, {Fault(SimOp::kPageAlloc, L"", 1, 8)}, 0,
       L"内存分配失败",
       cat(opened, {"length disk", "alloc !", "box", "close disk", "close img"})},
      // A whole chunk refused is not padded and tried again.
      {"second chunk not written", kImage, 10 * kMiB,
       {Fault(SimOp::kWrite, kDiskPath, 2, 87)}, 0, L"写入失败",
       with({"read img", "write disk", "read img", "write disk !", "box", "free",
             "close disk", "close img"})},
      // Only a refusal of its length (87) has the last chunk padded and
      // tried again.
      {"last chunk not written", kImage, 8 * kMiB + 512,
       {Fault(SimOp::kWrite, kDiskPath, 3, 1117)}, 0, L"写入失败",
       with({"read img", "write disk", "read img", "write disk", "read img",
             "read img", "write disk !", "box", "free", "close disk", "close img"})},
      // Nor is a padded one refused once more.
      {"padded last chunk not written", kImage, 8 * kMiB + 100,
       {Fault(SimOp::kWrite, kDiskPath, 3, 87)}, 0, L"写入失败",
       with({"read img", "write disk", "read img", "write disk", "read img",
             "read img", "seek disk", "read disk", "seek disk", "write disk !",
             "box", "free", "close disk", "close img"})},
      {"read fails mid-file", kImage, 10 * kMiB,
       {Fault(SimOp::kRead, kImage, 2, 23)}, 0, L"",
       with({"read img", "write disk", "read img !", "flush disk", "free",
             "close disk", "close img"})},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    SimReset();
    FakeViewReset();
    SimDisk d = TargetDisk(64 * kMiB);
    d.lengthQueryError = row.lengthQueryError;
    SimAddDisk(d);
    SimPutFile(kImage, ImageBytes(row.imageSize));
    for (const SimFault& f : row.faults) SimAddFault(f);
    EnterWritingState();
    FakeSetText(kImagePathBox, row.imagePath);
    int progressBefore = FakeProgress();
    // The trace shows what is still held while the error box is up.
    size_t callsAtBox = SIZE_MAX;
    FakeAnswerBoxes([&](const FakeBox&) {
      callsAtBox = SimCallLog().size();
      return kIdOk;
    });

    Run(64 * kMiB);

    if (row.box.empty()) {
      EXPECT_TRUE(FakeBoxes().empty());
    } else {
      ExpectOneBox(row.box, L"错误", kMbIconError);
    }
    EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
    // Whatever the first chunk managed is shown; nothing else moves the bar.
    if (std::string(row.name) == "second chunk not written" ||
        std::string(row.name) == "read fails mid-file") {
      EXPECT_EQ(ProgressSteps(), std::vector<int>{40});
    } else if (std::string(row.name).find("last chunk not written") !=
               std::string::npos) {
      EXPECT_EQ(ProgressSteps(), (std::vector<int>{49, 99}));
    } else {
      EXPECT_EQ(FakeProgress(), progressBefore);
    }
    if (row.imagePath == kImage) {
      EXPECT_EQ(Trace(callsAtBox), row.trace);
    } else {
      // Another path: at most its one failed open, nothing on the disk.
      std::vector<SimCall> log = SimCallLog();
      EXPECT_EQ(log.size(), row.imagePath.empty() ? 0u : 1u);
      for (const SimCall& c : log) {
        EXPECT_EQ(c.op, SimOp::kOpen);
        EXPECT_EQ(c.target, row.imagePath);
        EXPECT_FALSE(c.ok);
      }
    }
    ExpectCleanEnd();
  }
}

// Fail each call of a clean run in turn: every run ends told either success
// (and then the disk holds the image) or failure, never past the image, and
// leaves nothing behind.
TEST_F(WriteJob, ShortWriteStopsTheCopyWithoutAMessage) {
  AddDisk(64 * kMiB);
  std::vector<uint8_t> image = ImageBytes(10 * kMiB);
  SimPutFile(kImage, image);
  SimFault f;
  f.op = SimOp::kWrite;
  f.target = kDiskPath;
  f.nth = 2;
  f.shortBytes = 1 * kMiB;
  SimAddFault(f);
  EnterWritingState();
  Run(64 * kMiB);

  // Chunk 1 whole, chunk 2 only its first MiB; chunk 3 would have landed at
  // the wrong offset, so it is never written.
  std::vector<SimRange> writes = SimDiskWrites(kDisk);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].length, 1 * kMiB);
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, 5 * kMiB), image.data(), 5 * kMiB));
  EXPECT_EQ(ProgressSteps(), (std::vector<int>{40, 50}));
  EXPECT_TRUE(FakeBoxes().empty());
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  EXPECT_EQ(CountOp(SimOp::kFlush, true), 1);
  ExpectCleanEnd();

  // A disk that stalls for ten minutes and then takes one sector: the line
  // shows how far from done the write is, not that it is nearly done.
  f.nth = 1;
  f.shortBytes = 512;
  RunWithWritesTaking(600.0, 10 * kMiB, &f);
  // 10 MiB less a sector, at 512 bytes in 600 s.
  EXPECT_EQ(SpeedTexts(),
            (std::vector<std::wstring>{
                L"速度：0.00 MB/s    已写 0.00 / 10.00 MB    ETA: 12287400 s",
                L"速度：-"}));
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  ExpectCleanEnd();
}

TEST_F(WriteJob, UnknownImageSizeIsAFailedImageOpen) {
  // A file that reads as empty but delivers data (a device or a file still
  // being written) has no size to check against the disk or divide by.
  AddDisk(64 * kMiB);
  SimPutFile(kImage, {});
  bool grown = false;
  SimSetCallHook([&](const SimCall& c) {
    if (c.op == SimOp::kGetFileSizeEx && !grown) {
      grown = true;
      SimPutFile(kImage, ImageBytes(3 * kMiB));
    }
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);
  ExpectOneBox(L"打开镜像失败", L"错误", kMbIconError);
  EXPECT_EQ(CountOp(SimOp::kOpen, true), 0);
  EXPECT_TRUE(SimDiskWrites(kDisk).empty());
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  ExpectCleanEnd();
}

// An image that grows during the copy: what lies past the size checked
// against the disk is never written, and the run is not called complete.
TEST_F(WriteJob, ImageGrowingMidCopyIsNotWrittenPastItsSize) {
  AddDisk(8 * kMiB);
  std::vector<uint8_t> image = ImageBytes(6 * kMiB);
  SimPutFile(kImage, image);
  SimSetCallHook([&](const SimCall& c) {
    if (c.op == SimOp::kWrite && IsDisk(c) && c.offset == 0) {
      std::vector<uint8_t> grown = image;
      grown.resize(12 * kMiB, 0x5A);
      SimPutFile(kImage, grown);
    }
  });
  EnterWritingState();
  Run(8 * kMiB);
  SimSetCallHook(nullptr);
  for (const SimRange& w : SimDiskWrites(kDisk)) {
    EXPECT_LE(w.offset + w.length, 6 * kMiB);
  }
  EXPECT_TRUE(FakeBoxes().empty());
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  EXPECT_LE(FakeProgress(), 100);
  ExpectCleanEnd();
}

// ---- volumes and holders ----------------------------------------------------

TEST_F(WriteJob, MountedVolumeIsReleasedBeforeTheFirstOpen) {
  AddDisk(64 * kMiB);
  AddTargetVolume(L'E', 1 * kMiB, 32 * kMiB);
  std::vector<uint8_t> image = ImageBytes(12 * kMiB);
  SimPutFile(kImage, image);
  EnterWritingState();
  Run(64 * kMiB);

  ExpectCompleted(L"0.00");
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                        image.size()));
  EXPECT_FALSE(SimVolumeMounted(kVolume));
  EXPECT_FALSE(SimVolumeLocked(kVolume));
  // The open succeeds the first time: one release, one open, both after the
  // identity check.
  // Before the volume is locked, the look's device is checked once more.
  std::vector<std::string> trace = Trace();
  ASSERT_GE(trace.size(), 10u);
  EXPECT_EQ(trace[2], "look disk");
  EXPECT_EQ(trace[5], "release");
  EXPECT_EQ(trace[6], "length disk");
  EXPECT_EQ(trace[7], "describe disk");
  EXPECT_EQ(trace[8], "close disk");
  EXPECT_EQ(trace[9], "open disk");
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "open disk"), 1);
  ExpectCleanEnd();
}

// Something on the machine touches the target's volume after the disk's
// second write. The job's kept lock holds it down for the whole copy.
void AddRemountingVolume() { AddTargetVolume(0, 4 * kMiB, 32 * kMiB, 2); }

TEST_F(WriteJob, KeptVolumeLockOutlastsARemount) {
  AddDisk(64 * kMiB);
  AddRemountingVolume();
  std::vector<uint8_t> image = ImageBytes(12 * kMiB);
  SimPutFile(kImage, image);
  std::atomic<int> unlockedWrites{0};
  SimSetCallHook([&unlockedWrites](const SimCall& c) {
    if (c.op == SimOp::kWrite && IsDisk(c) && !SimVolumeLocked(kVolume))
      ++unlockedWrites;
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);

  ExpectCompleted(L"0.00");
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                        image.size()));
  EXPECT_EQ(SimDiskWrites(kDisk).size(), 3u);
  EXPECT_EQ(unlockedWrites.load(), 0);
  EXPECT_FALSE(SimVolumeMounted(kVolume));
  EXPECT_FALSE(SimVolumeLocked(kVolume));
  // The volume is let go right after the disk, before the image.
  std::vector<std::wstring> closes;
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kClose) closes.push_back(c.target);
  ASSERT_GE(closes.size(), 3u);
  EXPECT_EQ(closes[closes.size() - 3], kDiskPath);
  EXPECT_EQ(closes[closes.size() - 2], L"\\\\?\\Volume{0001}");
  EXPECT_EQ(closes[closes.size() - 1], kImage);
  ExpectCleanEnd();
}

// Volumes past the 128 the job holds are dismounted and let go at once, and
// nothing of them stays open.
TEST_F(WriteJob, VolumesPastTheHeldOnesAreLetGo) {
  AddDisk(64 * kMiB);
  for (int i = 1; i <= HeldVolumes::kMaxHeldVolumes + 2; ++i) {
    SimVolume v;
    v.name = L"\\\\?\\Volume{" + std::to_wstring(i) + L"}\\";
    v.extents = {{kDisk, i * 64 * 1024ull, 64 * 1024}};
    SimAddVolume(v);
  }
  SimPutFile(kImage, ImageBytes(12 * kMiB));
  EnterWritingState();
  Run(64 * kMiB);
  ExpectCompleted(L"0.00");
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{130}\\"));
  ExpectCleanEnd();
}

// The same machine under the lock-dismount-unlock release alone: the
// remount after the second write refuses the third.
TEST_F(WriteJob, StatelessReleaseLosesToTheSameRemount) {
  AddDisk(64 * kMiB);
  AddRemountingVolume();
  ASSERT_TRUE(ReleaseDiskVolumes(kDisk));
  EXPECT_FALSE(SimVolumeMounted(kVolume));
  EXPECT_FALSE(SimVolumeLocked(kVolume));
  OsHandle disk = nullptr;
  ASSERT_TRUE(OsOpen(kDiskPath, kGenericRead | kGenericWrite, 0, kOpenExisting,
                     0, &disk));
  std::vector<uint8_t> chunk = ImageBytes(4 * kMiB);
  std::vector<uint32_t> errors;
  for (int i = 0; i < 3; ++i) {
    uint32_t done = 0;
    errors.push_back(OsWrite(disk, chunk.data(), 4 * kMiB, &done) ? 0
                                                                   : OsLastError());
  }
  OsClose(disk);
  EXPECT_EQ(errors, (std::vector<uint32_t>{0, 0, kErrorAccessDenied}));
  EXPECT_TRUE(SimVolumeMounted(kVolume));
}

// Another program holds a file open on the target's volume, so the lock is
// refused, and it touches the volume right after the first write. The lock
// asked for again after the forced dismount (which closed that file) holds
// the volume down; when that lock too is refused, the touch mounts the
// volume and its sectors refuse the next write.
TEST_F(WriteJob, ALockRefusedForAnotherProgramsFileIsTakenAfterTheDismount) {
  for (bool secondLockRefused : {false, true}) {
    SCOPED_TRACE(secondLockRefused ? "second lock refused" : "second lock granted");
    SimReset();
    FakeViewReset();
    AddDisk(64 * kMiB);
    AddTargetVolume(L'E', 4 * kMiB, 32 * kMiB, 1);
    SimPutFile(L"E:\\pagefile.dat", {1, 2, 3});
    SimSetFileHolder(L"E:\\pagefile.dat", SimHolder::kShared);
    std::vector<uint8_t> image = ImageBytes(12 * kMiB);
    SimPutFile(kImage, image);
    if (secondLockRefused)
      SimAddFault(Fault(SimOp::kDeviceControl, L"Volume{0001}", 2, kErrorAccessDenied,
                        false, kFsctlLockVolume));
    EnterWritingState();
    Run(64 * kMiB);

    std::vector<uint32_t> locks;
    for (const SimCall& c : SimCallLog())
      if (c.op == SimOp::kDeviceControl && c.code == kFsctlLockVolume)
        locks.push_back(c.ok ? 0 : c.error);
    if (!secondLockRefused) {
      EXPECT_EQ(locks, (std::vector<uint32_t>{kErrorAccessDenied, 0}));
      ExpectCompleted(L"0.00");
      EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                            image.size()));
    } else {
      EXPECT_EQ(locks, (std::vector<uint32_t>{kErrorAccessDenied, kErrorAccessDenied}));
      ExpectOneBox(L"写入失败", L"错误", kMbIconError);
      EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
      std::vector<uint32_t> writes;
      for (const SimCall& c : SimCallLog())
        if (c.op == SimOp::kWrite && IsDisk(c)) writes.push_back(c.ok ? 0 : c.error);
      EXPECT_EQ(writes, (std::vector<uint32_t>{0, kErrorAccessDenied}));
    }
    ExpectCleanEnd();
  }
}

// A volume the job cannot lock (the image itself is open on it) is still
// dismounted and kept; the image's handle goes with the old file system, so
// not one byte of the disk, which holds the image, is overwritten.
TEST_F(WriteJob, ImageOnTheTargetItselfIsNeverOverwritten) {
  AddDisk(64 * kMiB);
  AddTargetVolume(L'E', 1 * kMiB, 60 * kMiB);
  const std::wstring onTarget = L"E:\\images\\x.img";
  SimPutFile(onTarget, ImageBytes(9 * kMiB));
  const std::vector<uint8_t> before = SimReadDisk(kDisk, 0, 64 * kMiB);
  EnterWritingState();
  FakeSetText(kImagePathBox, onTarget);
  Run(64 * kMiB);

  EXPECT_TRUE(FakeBoxes().empty());
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  EXPECT_TRUE(SimDiskWrites(kDisk).empty());
  EXPECT_EQ(SimReadDisk(kDisk, 0, 64 * kMiB), before);
  // The lock is refused while the image is open, and granted once the
  // dismount has closed it.
  std::vector<uint32_t> locks;
  bool dismounted = false, readFailed = false;
  for (const SimCall& c : SimCallLog()) {
    if (c.op == SimOp::kDeviceControl && c.code == kFsctlLockVolume)
      locks.push_back(c.ok ? 0 : c.error);
    if (c.op == SimOp::kDeviceControl && c.code == kFsctlDismountVolume)
      dismounted = c.ok;
    if (c.op == SimOp::kRead && c.target == onTarget)
      readFailed = !c.ok && c.error == 21;
  }
  EXPECT_EQ(locks, (std::vector<uint32_t>{kErrorAccessDenied, 0}));
  EXPECT_TRUE(dismounted);
  EXPECT_TRUE(readFailed);
  ExpectCleanEnd();
}

// The target is pulled out after its second chunk.
TEST_F(WriteJob, DiskPulledOutMidWriteFailsTheWrite) {
  SimDisk d = TargetDisk(64 * kMiB);
  d.unplugAfterWrites = 2;
  SimAddDisk(d);
  AddTargetVolume(0, 1 * kMiB, 60 * kMiB);
  SimPutFile(kImage, ImageBytes(16 * kMiB));
  EnterWritingState();
  Run(64 * kMiB);

  ExpectOneBox(L"写入失败", L"错误", kMbIconError);
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  EXPECT_EQ(SimDiskWrites(kDisk).size(), 2u);
  EXPECT_FALSE(SimDiskPresent(kDisk));
  bool lastWriteGone = false;
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kWrite && IsDisk(c) && !c.ok) lastWriteGone = c.error == 55;
  EXPECT_TRUE(lastWriteGone);
  ExpectCleanEnd();
}

// The image carries an MBR with a FAT partition, and another process has
// the table read after the first chunk: the partition's new volume was not
// there when the job took the disk's volumes, nothing holds it, and it
// refuses the second chunk.
TEST_F(WriteJob, AVolumeOfTheWrittenTableRefusesTheRest) {
  SimDisk d = TargetDisk(64 * kMiB);
  d.rescanAfterWrites = 1;
  SimAddDisk(d);
  std::vector<uint8_t> image(48 * kMiB);
  FatImageBytes(image.size(), 0, image.data(), image.size());
  SimPutFile(kImage, image);
  EnterWritingState();
  Run(64 * kMiB);

  ExpectOneBox(L"写入失败", L"错误", kMbIconError);
  EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
  ASSERT_EQ(SimDiskWrites(kDisk).size(), 1u);
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, 4 * kMiB), image.data(), 4 * kMiB));
  uint32_t refused = 0;
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kWrite && IsDisk(c) && !c.ok) refused = c.error;
  EXPECT_EQ(refused, kErrorAccessDenied);
  ExpectCleanEnd();
}

TEST_F(WriteJob, HeldDiskIsReleasedAndTriedOnceMore) {
  // Another program shares the disk for reading and writing: the identity
  // check reads it, the exclusive open is refused twice.
  const std::vector<std::string> look = {"open img", "size img", "look disk",
                                         "length disk", "describe disk"};
  for (SimHolder holder : {SimHolder::kExclusive, SimHolder::kShared}) {
    SCOPED_TRACE(holder == SimHolder::kExclusive ? "exclusive" : "shared");
    SimReset();
    FakeViewReset();
    AddDisk(64 * kMiB, 512, holder);
    SimPutFile(kImage, ImageBytes(1 * kMiB));
    EnterWritingState();
    Run(64 * kMiB);
    ExpectOneBox(
        L"打开目标磁盘失败 (错误码: 32)。\n请尝试先使用“删除全部分区”按钮清除磁盘分区。",
        L"错误", kMbIconError);
    // One holding it exclusively refuses even the check's open: a disk
    // whose identity cannot be read is not touched.
    std::vector<std::string> want = {"open img", "size img", "look disk !",
                                     "close img"};
    if (holder == SimHolder::kShared) {
      want = look;
      for (const char* step :
           {"release", "close disk", "open disk !", "look disk", "length disk",
            "describe disk", "release", "close disk", "open disk !", "close img"})
        want.push_back(step);
    }
    EXPECT_EQ(Trace(), want);
    EXPECT_TRUE(SimDiskWrites(kDisk).empty());
    EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
    ExpectCleanEnd();
  }

  // The holder lets go during the release: the retry succeeds and the first
  // failure is never mentioned.
  SimReset();
  FakeViewReset();
  AddDisk(64 * kMiB, 512, SimHolder::kShared);
  std::vector<uint8_t> image = ImageBytes(1 * kMiB);
  SimPutFile(kImage, image);
  SimSetCallHook([](const SimCall& c) {
    if (c.op == SimOp::kOpen && IsDisk(c) && !c.ok)
      SimSetDiskHolder(kDisk, SimHolder::kNone);
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);
  ExpectCompleted(L"0.00");
  EXPECT_EQ(CountOp(SimOp::kOpen, true), 4);  // look, open, look, open
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                        image.size()));
  ExpectCleanEnd();
}

// The second attempt's code is the one shown, not the first one's.
TEST_F(WriteJob, OpenFailureShowsTheSecondAttemptsCode) {
  AddDisk(64 * kMiB);
  AddTargetVolume(L'E', 1 * kMiB, 32 * kMiB);
  SimPutFile(kImage, ImageBytes(1 * kMiB));
  // Given up on the disk, the job holds its volumes no longer: the box may
  // stay open for a long time.
  std::atomic<int> handlesDuringBox{-1};
  std::atomic<bool> lockedDuringBox{true};
  FakeAnswerBoxes([&](const FakeBox&) {
    handlesDuringBox = SimOpenHandles();
    lockedDuringBox = SimVolumeLocked(kVolume);
    return kIdOk;
  });
  // The first and third opens of the disk are the identity check's.
  SimAddFault(Fault(SimOp::kOpen, kDiskPath, 2, 5));
  SimAddFault(Fault(SimOp::kOpen, kDiskPath, 4, 21));
  EnterWritingState();
  Run(64 * kMiB);
  ExpectOneBox(
      L"打开目标磁盘失败 (错误码: 21)。\n请尝试先使用“删除全部分区”按钮清除磁盘分区。",
      L"错误", kMbIconError);
  EXPECT_EQ(handlesDuringBox.load(), 1);  // the image alone
  EXPECT_FALSE(lockedDuringBox.load());
  ExpectCleanEnd();
}

// ---- the disk confirmed is the disk written ----------------------------------

// Another device may answer to the confirmed number by the time the job
// runs: the stick was pulled out and the next disk plugged in took its
// number. Nothing of that device is written, locked or dismounted.
TEST_F(WriteJob, AnotherDeviceUnderTheConfirmedNumberIsNeverTouched) {
  struct Swap {
    const char* name;
    uint64_t length;
    const char* product;
    const char* serial;
    uint32_t code;  // shown in the box; 0: the same device, written
    uint32_t lengthError = 0;  // the length query's failure, if it fails
  };
  const Swap swaps[] = {
      {"other serial", 64 * kMiB, "DISK", "S2", kErrorMediaChanged},
      {"other size", 32 * kMiB, "DISK", "S1", kErrorMediaChanged},
      {"other name", 64 * kMiB, "BACKUP", "S1", kErrorMediaChanged},
      {"no serial at all", 64 * kMiB, "DISK", "", kErrorMediaChanged},
      {"other serial, no length", 64 * kMiB, "DISK", "S2", kErrorMediaChanged,
       1},
      {"the same stick plugged back", 64 * kMiB, "DISK", "S1", 0},
  };
  for (const Swap& swap : swaps) {
    SCOPED_TRACE(swap.name);
    SimReset();
    FakeViewReset();
    SimDisk d = TargetDisk(swap.length);
    d.product = swap.product;
    d.serial = swap.serial;
    d.lengthQueryError = swap.lengthError;
    SimAddDisk(d);
    AddTargetVolume(L'E', 1 * kMiB, 16 * kMiB);
    std::vector<uint8_t> image = ImageBytes(6 * kMiB + 100);
    SimPutFile(kImage, image);
    EnterWritingState();
    Run(64 * kMiB);  // confirmed: SIM DISK, S1, 64 MiB

    if (swap.code == 0) {
      ExpectCompleted(L"0.00");
      EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                            image.size()));
    } else {
      ExpectOneBox(L"打开目标磁盘失败 (错误码: 1110)。\n"
                   L"请尝试先使用“删除全部分区”按钮清除磁盘分区。",
                   L"错误", kMbIconError);
      EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
      EXPECT_TRUE(SimDiskWrites(kDisk).empty());
      EXPECT_TRUE(SimVolumeMounted(kVolume));
      for (const SimCall& c : SimCallLog()) {
        EXPECT_NE(c.op, SimOp::kFindFirstVolume);
        EXPECT_FALSE(c.op == SimOp::kOpen && IsDisk(c) && c.code != kGenericRead);
      }
    }
    ExpectCleanEnd();
  }
}

// The volume calls that change a volume's state, as "lock"/"dismount"/"unlock".
std::vector<std::string> VolumeChanges() {
  std::vector<std::string> out;
  for (const SimCall& c : SimCallLog()) {
    if (c.op != SimOp::kDeviceControl) continue;
    if (c.code == kFsctlLockVolume) out.push_back("lock");
    if (c.code == kFsctlDismountVolume) out.push_back("dismount");
    if (c.code == kFsctlUnlockVolume) out.push_back("unlock");
  }
  return out;
}

const wchar_t kRefusedMediaChanged[] =
    L"打开目标磁盘失败 (错误码: 1110)。\n请尝试先使用“删除全部分区”按钮清除磁盘分区。";

// The swap lands between the first check and the exclusive open: during the
// volume release (which takes long enough for a person to pull a stick), or
// after the first exclusive open failed, before the retry's release. The
// volume of the device that took the number is never locked or dismounted,
// and the new device is left alone.
TEST_F(WriteJob, ASwapDuringTheVolumeReleaseIsCaughtBeforeTheFirstWrite) {
  for (bool retry : {false, true}) {
    SCOPED_TRACE(retry ? "before the retry's release" : "during the release");
    SimReset();
    FakeViewReset();
    SimDisk system = TargetDisk(64 * kMiB);
    system.number = 0;  // so that a disk plugged in takes number 1
    system.serial = "SYS";
    SimAddDisk(system);
    // For the retry, another program holds the disk: the exclusive open fails.
    AddDisk(64 * kMiB, 512, retry ? SimHolder::kShared : SimHolder::kNone);
    AddTargetVolume(L'E', 1 * kMiB, 16 * kMiB);
    SimPutFile(kImage, ImageBytes(6 * kMiB));
    bool swapped = false;
    SimSetCallHook([&swapped, retry](const SimCall& c) {
      if (swapped) return;
      SimDisk other = TargetDisk(64 * kMiB);
      other.serial = "BACKUP-7";
      if (!retry && c.op == SimOp::kFindFirstVolume) {
        swapped = true;
        SimAddDisk(other);  // the new device has the volume now
      } else if (retry && c.op == SimOp::kOpen && IsDisk(c) && !c.ok) {
        swapped = true;
        SimUnplugDisk(kDisk);
        ASSERT_EQ(SimPlugDisk(other), kDisk);
        AddTargetVolume(L'E', 1 * kMiB, 16 * kMiB);  // the stick's own volume
      }
    });
    EnterWritingState();
    Run(64 * kMiB);
    SimSetCallHook(nullptr);
    ASSERT_TRUE(swapped);
    ExpectOneBox(kRefusedMediaChanged, L"错误", kMbIconError);
    EXPECT_TRUE(SimDiskWrites(kDisk).empty());
    EXPECT_TRUE(SimVolumeMounted(kVolume));
    EXPECT_FALSE(SimVolumeLocked(kVolume));
    // Only the first walk's lock of the confirmed disk's volume, if any.
    const std::vector<std::string> confirmedOnly =
        retry ? std::vector<std::string>{"lock", "dismount"}
              : std::vector<std::string>{};
    EXPECT_EQ(VolumeChanges(), confirmedOnly);
    EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
    ExpectCleanEnd();
  }
}

// A disk whose descriptor cannot be read in the job is not known to be the
// one confirmed: the serial it does not tell may be a protected one. It is
// listed as written (no name, no serial, no mark) and refused untouched.
TEST_F(WriteJob, ADiskThatDoesNotSayWhoItIsIsRefusedUntouched) {
  enum Case { kNever, kEmptyReply, kOnlyAtTheList };
  for (Case c : {kNever, kEmptyReply, kOnlyAtTheList}) {
    SCOPED_TRACE(c == kNever ? "never answers" : c == kEmptyReply ? "empty reply"
                                                                   : "only the list's query fails");
    SimReset();
    FakeViewReset();
    SimDisk d = TargetDisk(64 * kMiB);
    d.serial = "5D2C8E1F07A3";  // on the built-in list
    d.hasDescriptor = c != kNever;
    d.useRawDescriptor = c == kEmptyReply;
    SimAddDisk(d);
    AddTargetVolume(L'E', 1 * kMiB, 16 * kMiB);
    SimPutFile(kImage, ImageBytes(1 * kMiB));
    if (c == kOnlyAtTheList)
      SimAddFault(Fault(SimOp::kDeviceControl, kDiskPath, 1, 1, true,
                        kIoctlStorageQueryProperty));
    EnumerateDisks();
    SimClearFaults();
    ASSERT_EQ(diskTable.count, 1);
    const DiskEntry listed = diskTable.entries[0];
    EXPECT_EQ(std::wstring(listed.displayName), L"PhysicalDrive1");
    EXPECT_FALSE(IsProtectedSerial(listed.serial));
    // Nor does a length it will not tell make it the disk confirmed.
    if (c == kNever)
      SimAddFault(Fault(SimOp::kDeviceControl, kDiskPath, 1, 1, true,
                        kIoctlDiskGetLengthInfo));
    SimClearCallLog();
    EnterWritingState();
    WriteImageJob(listed);

    ExpectOneBox(kRefusedMediaChanged, L"错误", kMbIconError);
    EXPECT_TRUE(SimDiskWrites(kDisk).empty());
    EXPECT_TRUE(SimVolumeMounted(kVolume));
    EXPECT_EQ(CountOp(SimOp::kFindFirstVolume, false), 0);
    ExpectCleanEnd();
  }
}

// An image that does not fit the disk confirmed, or is empty, ends the run
// before a volume is locked or dismounted.
TEST_F(WriteJob, AnImageThatCannotBeWrittenCostsNoVolumeItsMount) {
  for (uint64_t size : {64 * kMiB + 1, uint64_t{0}}) {
    SCOPED_TRACE(size);
    SimReset();
    FakeViewReset();
    AddDisk(64 * kMiB);
    AddTargetVolume(L'E', 1 * kMiB, 16 * kMiB);
    SimPutFile(kImage, ImageBytes(size));
    EnterWritingState();
    Run(64 * kMiB);
    if (size == 0) {
      EXPECT_TRUE(FakeBoxes().empty());
    } else {
      ExpectOneBox(L"镜像大于磁盘容量", L"错误", kMbIconError);
    }
    EXPECT_EQ(FakeText(kStatusLabel), L"写入失败或被中止");
    EXPECT_TRUE(SimVolumeMounted(kVolume));
    EXPECT_TRUE(VolumeChanges().empty());
    EXPECT_EQ(CountOp(SimOp::kOpen, true), 0);
    ExpectCleanEnd();
  }
}

// The volume locks are the program's own: none holds while an error box is
// up. The disk and the image stay open until the box is closed, as before.
TEST_F(WriteJob, NoErrorBoxWhileTheVolumeLocksHold) {
  struct Row {
    const wchar_t* box;
    uint64_t imageSize;
    SimFault fault;
  };
  const Row rows[] = {
      // The fourth length query is the size check's: the look's, the one
      // before the volume's lock, the writing handle's, then its.
      {L"镜像大于磁盘容量", 5 * kMiB,
       Fault(SimOp::kDeviceControl, kDiskPath, 4, 1, false, kIoctlDiskGetLengthInfo)},
      {L"内存分配失败", 5 * kMiB, Fault(SimOp::kPageAlloc, L"", 1, 8)},
      {L"写入失败", 10 * kMiB, Fault(SimOp::kWrite, kDiskPath, 2, 1117)},
      // The last block's tail is read from the disk first.
      {L"写入失败", 1 * kMiB + 100, Fault(SimOp::kRead, kDiskPath, 1, 23)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.imageSize);
    SimReset();
    FakeViewReset();
    AddDisk(64 * kMiB);
    AddTargetVolume(L'E', 16 * kMiB, 16 * kMiB);
    SimPutFile(kImage, ImageBytes(row.imageSize));
    SimAddFault(row.fault);
    int handlesAtBox = -1;
    bool lockedAtBox = true;
    FakeAnswerBoxes([&](const FakeBox&) {
      handlesAtBox = SimOpenHandles();
      lockedAtBox = SimVolumeLocked(kVolume);
      return kIdOk;
    });
    EnterWritingState();
    Run(64 * kMiB);
    ExpectOneBox(row.box, L"错误", kMbIconError);
    EXPECT_FALSE(lockedAtBox);
    EXPECT_EQ(handlesAtBox, 2);  // the disk and the image
    ExpectCleanEnd();
  }
}

// A failed open that leaves the last error at 0 is still a failure: the
// look's (nothing is touched) and the retry's (the code shown is not 0).
TEST_F(WriteJob, AFailedOpenWithoutACodeIsNoSuccess) {
  for (int nth : {1, 4}) {
    SCOPED_TRACE(nth);
    SimReset();
    FakeViewReset();
    AddDisk(64 * kMiB);
    AddTargetVolume(L'E', 1 * kMiB, 16 * kMiB);
    SimPutFile(kImage, ImageBytes(1 * kMiB));
    SimAddFault(Fault(SimOp::kOpen, kDiskPath, nth, 0));
    if (nth == 4) SimAddFault(Fault(SimOp::kOpen, kDiskPath, 2, 5));
    EnterWritingState();
    Run(64 * kMiB);
    ExpectOneBox(kRefusedMediaChanged, L"错误", kMbIconError);
    EXPECT_TRUE(SimDiskWrites(kDisk).empty());
    if (nth == 1) {
      EXPECT_TRUE(SimVolumeMounted(kVolume));
      EXPECT_TRUE(VolumeChanges().empty());
    }
    ExpectCleanEnd();
  }
}

// ---- speed and remaining time -------------------------------------------------

TEST_F(WriteJob, SpeedOverTheIntervalEtaFromTheAverage) {
  AddDisk(64 * kMiB);
  // 20.0054 MiB: a MiB a ten-thousandth off shows as 20.00.
  SimPutFile(kImage, ImageBytes(20 * kMiB + 11 * 512));
  // The clock does not start at 0, so that only time since the start counts.
  SimAdvanceClock(100.0);
  // Seconds each chunk's write takes on the virtual clock.
  const double perChunk[] = {0.3, 0.3, 0.2, 1.0, 0.2};
  int chunk = 0;
  SimSetCallHook([&](const SimCall& c) {
    if (c.op == SimOp::kWrite && IsDisk(c) && chunk < 5)
      SimAdvanceClock(perChunk[chunk++]);
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);

  // 0.3 s: too soon. 0.6 s: 8 MiB in 0.6 s, 12 MiB left at that rate.
  // 0.8 s: too soon. 1.8 s: 8 MiB in the last 1.2 s, but 4 MiB left at the
  // average 8.9 MB/s. 2.0 s: too soon again.
  EXPECT_EQ(SpeedTexts(),
            (std::vector<std::wstring>{
                L"速度：13.33 MB/s    已写 8.00 / 20.01 MB    ETA: 1 s",
                L"速度：6.67 MB/s    已写 16.00 / 20.01 MB    ETA: 0 s",
                L"速度：-"}));
  ExpectCompleted(L"10.00");
  ExpectCleanEnd();
}

TEST_F(WriteJob, SpeedFromTheDisksOwnPace) {
  SimDisk d = TargetDisk(64 * kMiB);
  d.bytesPerSecond = 4 * kMiB;
  SimAddDisk(d);
  SimPutFile(kImage, ImageBytes(12 * kMiB));
  EnterWritingState();
  Run(64 * kMiB);
  EXPECT_EQ(SpeedTexts(),
            (std::vector<std::wstring>{
                L"速度：4.00 MB/s    已写 4.00 / 12.00 MB    ETA: 2 s",
                L"速度：4.00 MB/s    已写 8.00 / 12.00 MB    ETA: 1 s",
                L"速度：4.00 MB/s    已写 12.00 / 12.00 MB    ETA: 0 s",
                L"速度：-"}));
  ExpectCompleted(L"4.00");
}

TEST_F(WriteJob, NoSpeedUpdateBeforeHalfASecond) {
  // 0.4 s per chunk: the first chunk is too soon, the second updates at
  // 0.8 s, the third is too soon again.
  RunWithWritesTaking(0.4, 12 * kMiB);
  EXPECT_EQ(SpeedTexts(),
            (std::vector<std::wstring>{
                L"速度：10.00 MB/s    已写 8.00 / 12.00 MB    ETA: 0 s",
                L"速度：-"}));
  EXPECT_EQ(FakeText(kStatusLabel), L"写入完成 (平均速度: 10.00 MB/s)");

  // Exactly half a second is enough.
  RunWithWritesTaking(0.5, 4 * kMiB);
  EXPECT_EQ(SpeedTexts(),
            (std::vector<std::wstring>{
                L"速度：8.00 MB/s    已写 4.00 / 4.00 MB    ETA: 0 s",
                L"速度：-"}));
  // A run of under a second has an average too.
  EXPECT_EQ(FakeText(kStatusLabel), L"写入完成 (平均速度: 8.00 MB/s)");
}

// ---- cancellation -------------------------------------------------------------

void ExpectCancelled() {
  EXPECT_EQ(FakeText(kStatusLabel), L"已取消");
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().text, L"写入已取消");
  EXPECT_EQ(boxes.back().caption, L"信息");
  EXPECT_EQ(boxes.back().flags, kMbOk);
  EXPECT_EQ(boxes.back().owner, BoxOwner::kNone);
  for (const FakeBox& b : boxes) EXPECT_NE(b.caption, L"完成");
}

TEST_F(WriteJob, CancelBeforeTheFirstChunk) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(10 * kMiB));
  SimSetCallHook([](const SimCall& c) {
    if (c.op == SimOp::kSeek && IsImage(c)) PressCancel();
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);
  EXPECT_TRUE(SimDiskWrites(kDisk).empty());
  EXPECT_EQ(CountOp(SimOp::kRead, false), 0);
  EXPECT_EQ(CountOp(SimOp::kFlush, true), 1);
  EXPECT_TRUE(ProgressSteps().empty());
  ExpectCancelled();
  EXPECT_EQ(FakeBoxes().size(), 1u);
  ExpectCleanEnd();
}

TEST_F(WriteJob, CancelInTheMiddleStopsAfterTheChunkInProgress) {
  AddDisk(64 * kMiB);
  std::vector<uint8_t> image = ImageBytes(16 * kMiB);
  SimPutFile(kImage, image);
  int writes = 0;
  SimSetCallHook([&](const SimCall& c) {
    if (c.op == SimOp::kWrite && IsDisk(c) && ++writes == 2) PressCancel();
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);
  EXPECT_EQ(SimDiskWrites(kDisk).size(), 2u);
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, 8 * kMiB), image.data(), 8 * kMiB));
  EXPECT_EQ(SimReadDisk(kDisk, 8 * kMiB, 1)[0], SimPatternByte(kDisk, 8 * kMiB));
  EXPECT_EQ(ProgressSteps(), (std::vector<int>{25, 50}));
  EXPECT_EQ(CountOp(SimOp::kFlush, true), 1);
  ExpectCancelled();
  ExpectCleanEnd();
}

TEST_F(WriteJob, CancelDuringTheLastChunkStillCancels) {
  AddDisk(64 * kMiB);
  std::vector<uint8_t> image = ImageBytes(10 * kMiB + 512);
  SimPutFile(kImage, image);
  int writes = 0;
  SimSetCallHook([&](const SimCall& c) {
    if (c.op == SimOp::kWrite && IsDisk(c) && ++writes == 3) PressCancel();
  });
  EnterWritingState();
  Run(64 * kMiB);
  SimSetCallHook(nullptr);
  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                        image.size()));
  EXPECT_EQ(ProgressSteps(), (std::vector<int>{39, 79, 100}));
  EXPECT_EQ(CountOp(SimOp::kFlush, true), 1);
  ExpectCancelled();
  EXPECT_EQ(FakeBoxes().size(), 1u);
  ExpectCleanEnd();
}

TEST_F(WriteJob, CancelWhileAnErrorBoxIsOpen) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(10 * kMiB));
  SimAddFault(Fault(SimOp::kWrite, kDiskPath, 2, 1117));
  FakeAnswerBoxes([](const FakeBox& b) {
    if (b.text == L"写入失败") PressCancel();
    return kIdOk;
  });
  EnterWritingState();
  Run(64 * kMiB);
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, L"写入失败");
  EXPECT_EQ(boxes[0].caption, L"错误");
  ExpectCancelled();
  ExpectCleanEnd();
}

// Cancel pressed while the completion box is still up: the buttons are still
// in the writing state, the status keeps "取消中..." and the flag is clear for
// the next run.
TEST_F(WriteJob, CancelDuringTheCompletionBoxOnlyChangesTheStatus) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(1 * kMiB));
  std::string stateAtBox;
  FakeAnswerBoxes([&](const FakeBox&) {
    stateAtBox = FakeButtonState();
    PressCancel();
    return kIdOk;
  });
  EnterWritingState();
  Run(64 * kMiB);
  EXPECT_EQ(stateAtBox, "writing");
  EXPECT_EQ(FakeBoxes().size(), 1u);
  EXPECT_EQ(FakeBoxes()[0].caption, L"完成");
  EXPECT_EQ(FakeText(kStatusLabel), L"取消中...");
  ExpectCleanEnd();
}

// ---- the job on a thread of its own ---------------------------------------------

class WriteJobConcurrency : public WriteJob {};

TEST_F(WriteJobConcurrency, ThreadWritesTheConfirmedDiskAndFreesItsCopy) {
  AddDisk(64 * kMiB);
  SimDisk other;
  other.number = 2;
  other.length = 64 * kMiB;
  SimAddDisk(other);
  std::vector<uint8_t> image = ImageBytes(6 * kMiB);
  SimPutFile(kImage, image);
  // A rebuild has since put another disk in the confirmed slot: the job must
  // not look there.
  diskTable.entries[0] = EntryFor(2, 64 * kMiB);
  diskTable.count = 1;
  EnterWritingState();
  DiskEntry confirmed = EntryFor(kDisk, 64 * kMiB);
  ASSERT_TRUE(StartWriteImageJob(confirmed));
  confirmed.number = 2;  // the caller's copy changes at once
  SimWaitForThreads();

  EXPECT_TRUE(SameBytes(SimReadDisk(kDisk, 0, image.size()), image.data(),
                        image.size()));
  EXPECT_TRUE(SimDiskWrites(2).empty());
  ExpectCompleted(L"0.00");
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  ExpectCleanEnd();
  diskTable.count = 0;
}

TEST_F(WriteJobConcurrency, CancelFromAnotherThreadMidCopy) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(16 * kMiB));
  std::mutex m;
  std::condition_variable cv;
  bool atSecondChunk = false, pressed = false;
  int writes = 0;
  SimSetCallHook([&](const SimCall& c) {
    if (c.op != SimOp::kWrite || !IsDisk(c) || ++writes != 2) return;
    std::unique_lock<std::mutex> g(m);
    atSecondChunk = true;
    cv.notify_all();
    cv.wait(g, [&] { return pressed; });
  });
  EnterWritingState();
  ASSERT_TRUE(StartWriteImageJob(EntryFor(kDisk, 64 * kMiB)));
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return atSecondChunk; });
    PressCancel();
    pressed = true;
    cv.notify_all();
  }
  SimWaitForThreads();
  SimSetCallHook(nullptr);
  EXPECT_EQ(SimDiskWrites(kDisk).size(), 2u);
  ExpectCancelled();
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  ExpectCleanEnd();
}

TEST_F(WriteJobConcurrency, NoThreadNoJobAndNoLeak) {
  AddDisk(64 * kMiB);
  SimPutFile(kImage, ImageBytes(1 * kMiB));
  EnterWritingState();
  for (SimOp op : {SimOp::kStartThread, SimOp::kHeapAlloc}) {
    SCOPED_TRACE(SimOpName(op));
    SimClearFaults();
    SimAddFault(Fault(op, L"", 1, 8));
    EXPECT_FALSE(StartWriteImageJob(EntryFor(kDisk, 64 * kMiB)));
    SimWaitForThreads();
    EXPECT_EQ(SimLiveHeapAllocations(), 0);
    EXPECT_TRUE(SimDiskWrites(kDisk).empty());
    EXPECT_EQ(FakeButtonState(), "writing");  // the command restores them
  }
}

}  // namespace
