// The window's commands: guards and their order, confirmations, button
// states, and what Refresh and Browse do while a job runs.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "core/disks.h"
#include "jobs/jobs.h"
#include "platform/sim/sim.h"
#include "tests/support/fake_view.h"
#include "ui/commands.h"
#include "ui/view.h"

namespace {

constexpr int kNotifySelChange = 1;
const wchar_t kImage[] = L"X:\\images\\a.img";
const wchar_t kNoSelection[] = L"请先选择目标磁盘";

SimDisk Disk(int number, const char* product, const char* serial) {
  SimDisk d;
  d.number = number;
  d.length = 64ull << 20;
  d.vendor = "ACME";
  d.product = product;
  d.serial = serial;
  return d;
}

std::vector<uint8_t> Pattern(size_t bytes, int seed) {
  std::vector<uint8_t> v(bytes);
  for (size_t i = 0; i < bytes; ++i)
    v[i] = static_cast<uint8_t>((i * 131 + static_cast<size_t>(seed)) >> 3);
  return v;
}

// Drive numbers of the list lines ("#N  ...").
std::vector<int> ListedNumbers() {
  std::vector<int> numbers;
  for (const std::wstring& line : FakeListLines())
    numbers.push_back(static_cast<int>(std::wcstol(line.c_str() + 1, nullptr, 10)));
  return numbers;
}

bool HasOp(SimOp op) {
  for (const SimCall& c : SimCallLog())
    if (c.op == op) return true;
  return false;
}

int CountEvents(FakeEvent::Kind kind) {
  int n = 0;
  for (const FakeEvent& e : FakeEvents())
    if (e.kind == kind) ++n;
  return n;
}

// Slots after start-up: 0 = drive 0 (built-in protected serial),
// 1 = drive 1 (plain target), 2 = drive 3 (boot disk, also in the file list),
// 3 = drive 5 (plain).
class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    FakeViewReset();
    SimAddDisk(Disk(0, "SYSDISK", "5D2C8E1F07A3"));
    SimAddDisk(Disk(1, "TARGET", "T1"));
    SimAddDisk(Disk(3, "STICK", "PE3"));
    SimAddDisk(Disk(5, "SPARE", "S5"));
    SimVolume pe;
    pe.name = L"\\\\?\\Volume{0003}\\";
    pe.letter = L'X';
    pe.extents = {{3, 1 << 20, 16 << 20}};
    SimAddVolume(pe);
    std::string list = "# protected here\nPE3\n";
    SimPutFile(L"X:\\prohibited_disks.txt",
               std::vector<uint8_t>(list.begin(), list.end()));
    image_ = Pattern((1u << 20) + 512, 1);
    SimPutFile(kImage, image_);
    InitializeWindowState();
    ASSERT_EQ(diskTable.count, 4);
    ASSERT_EQ(bootDiskNumber, 3);
    cancelRequested = false;
    FakeClearEvents();
    SimClearCallLog();
  }

  void TearDown() override {
    SimWaitForThreads();
    SimSetCallHook(nullptr);
    cancelRequested = false;
  }

  std::vector<uint8_t> image_;
};

TEST_F(CommandsTest, NoSelectionIsReportedBeforeAnythingElse) {
  // No image chosen either: the missing selection is still the one message.
  for (int id : {kStartButton, kDeleteButton}) {
    for (int selection : {-1, 4, 63}) {  // 4 and 63: past the table's end
      FakeClearEvents();
      FakeSelect(selection);
      HandleCommand(id, 0);
      std::vector<FakeEvent> events = FakeEvents();
      ASSERT_EQ(events.size(), 1u) << id << " " << selection;
      EXPECT_EQ(events[0].kind, FakeEvent::kMessageBox);
      EXPECT_EQ(events[0].text, kNoSelection);
      EXPECT_EQ(events[0].caption, L"提示");
      EXPECT_EQ(events[0].flags, kMbOk | kMbIconInformation);
      EXPECT_EQ(events[0].owner, BoxOwner::kMainWindow);
    }
  }
  EXPECT_FALSE(HasOp(SimOp::kStartThread));
  EXPECT_EQ(FakeButtonState(), "idle");
}

TEST_F(CommandsTest, BootDiskIsRefusedBeforeTheProtectedCheck) {
  // Slot 2 is the boot disk and its serial is also in the file list.
  FakeSelect(2);
  HandleCommand(kStartButton, 0);
  HandleCommand(kDeleteButton, 0);
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, L"不能写入当前 PE 磁盘");
  EXPECT_EQ(boxes[0].caption, L"错误");
  EXPECT_EQ(boxes[0].flags, kMbIconError);
  EXPECT_EQ(boxes[0].owner, BoxOwner::kMainWindow);
  EXPECT_EQ(boxes[1].text, L"不能删除当前 PE 磁盘的分区");
  EXPECT_EQ(boxes[1].caption, L"错误");
  EXPECT_EQ(boxes[1].flags, kMbIconError);
  EXPECT_EQ(boxes[1].owner, BoxOwner::kMainWindow);
  EXPECT_EQ(CountEvents(FakeEvent::kEnable), 0);
  EXPECT_FALSE(HasOp(SimOp::kStartThread));
}

TEST_F(CommandsTest, ProtectedDiskIsRefusedByStartButNotByDelete) {
  FakeSelect(0);
  FakeAnswerBoxes([](const FakeBox&) { return kIdNo; });
  HandleCommand(kStartButton, 0);
  HandleCommand(kDeleteButton, 0);
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            L"警告：该磁盘编号在硬编码或外部禁止写入列表中，操作被阻止。");
  EXPECT_EQ(boxes[0].caption, L"禁止写入");
  EXPECT_EQ(boxes[0].flags, kMbIconError);
  EXPECT_EQ(boxes[0].owner, BoxOwner::kMainWindow);
  // Delete goes straight to its final confirmation.
  EXPECT_EQ(boxes[1].text,
            L"警告：您确定要删除 PhysicalDrive0 (ACME SYSDISK) 上的所有分区吗？\n"
            L"此操作将清空整个磁盘的分区表，所有数据将丢失且不可恢复！");
  EXPECT_EQ(boxes[1].caption, L"最终确认");
  EXPECT_EQ(boxes[1].flags, kMbYesNo | kMbIconError);
  EXPECT_EQ(boxes[1].owner, BoxOwner::kMainWindow);
}

TEST_F(CommandsTest, AnsweringNoChangesNothing) {
  FakeSelect(3);
  FakeAnswerBoxes([](const FakeBox&) { return kIdNo; });
  cancelRequested = true;  // Start must not clear it unless confirmed
  HandleCommand(kStartButton, 0);
  HandleCommand(kDeleteButton, 0);
  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text,
            L"将把镜像写入 PhysicalDrive5 (ACME SPARE)，所有数据将丢失，确认？");
  EXPECT_EQ(events[0].caption, L"确认");
  EXPECT_EQ(events[0].flags, kMbYesNo | kMbIconWarning);
  EXPECT_EQ(events[0].owner, BoxOwner::kMainWindow);
  EXPECT_EQ(events[1].caption, L"最终确认");
  EXPECT_TRUE(cancelRequested);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_FALSE(HasOp(SimOp::kStartThread));
  EXPECT_EQ(SimDiskWrites(5).size(), 0u);
  EXPECT_FALSE(SimLayoutDeleted(5));
}

TEST_F(CommandsTest, FailedThreadStartReturnsToIdle) {
  SimFault noThread;
  noThread.op = SimOp::kStartThread;
  noThread.persistent = true;
  noThread.error = kErrorNotEnoughMemory;
  SimAddFault(noThread);
  FakeSelect(1);
  cancelRequested = true;

  HandleCommand(kStartButton, 0);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_FALSE(cancelRequested);
  HandleCommand(kDeleteButton, 0);
  EXPECT_EQ(FakeButtonState(), "idle");

  // Writing, then idle again; wiping, then idle again. No message is added.
  std::vector<std::pair<int, int>> enables;
  for (const FakeEvent& e : FakeEvents())
    if (e.kind == FakeEvent::kEnable) enables.push_back({e.control, e.value});
  std::vector<std::pair<int, int>> expected = {
      {kStartButton, 0}, {kCancelButton, 1}, {kDeleteButton, 0},
      {kStartButton, 1}, {kCancelButton, 0}, {kDeleteButton, 1},
      {kStartButton, 0}, {kCancelButton, 0}, {kDeleteButton, 0},
      {kStartButton, 1}, {kCancelButton, 0}, {kDeleteButton, 1}};
  EXPECT_EQ(enables, expected);
  EXPECT_EQ(FakeBoxes().size(), 2u);  // the two confirmations
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  EXPECT_EQ(SimRunningThreads(), 0);
}

TEST_F(CommandsTest, WipeStarterGivesBackItsCopyWhenNoThreadStarts) {
  // The copy itself cannot be made: nothing runs, nothing leaks.
  SimFault noHeap;
  noHeap.op = SimOp::kHeapAlloc;
  noHeap.error = kErrorNotEnoughMemory;
  SimAddFault(noHeap);
  FakeSelect(1);
  HandleCommand(kDeleteButton, 0);
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_FALSE(HasOp(SimOp::kStartThread));
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  EXPECT_FALSE(SimLayoutDeleted(1));
}

TEST_F(CommandsTest, SelectionChangeShowsTheSerialOfThatSlot) {
  FakeSelect(0);
  HandleCommand(kDiskList, kNotifySelChange);
  EXPECT_EQ(FakeText(kSerialBox), L"5D2C8E1F07A3");
  FakeSelect(2);
  HandleCommand(kDiskList, kNotifySelChange);
  EXPECT_EQ(FakeText(kSerialBox), L"PE3");
  FakeSelect(3);
  HandleCommand(kDiskList, 2);  // another list notification: ignored
  EXPECT_EQ(FakeText(kSerialBox), L"PE3");
  HandleCommand(kDiskList, kNotifySelChange);
  EXPECT_EQ(FakeText(kSerialBox), L"S5");
  FakeSelect(-1);
  HandleCommand(kDiskList, kNotifySelChange);
  EXPECT_EQ(FakeText(kSerialBox), L"");
  // Drive 5 drops out: slot 3 keeps its old contents but is past the count,
  // and a line index there must not read them.
  SimSetDiskHolder(5, SimHolder::kExclusive);
  HandleCommand(kRefreshButton, 0);
  ASSERT_EQ(diskTable.count, 3);
  FakeSetText(kSerialBox, L"x");
  FakeSelect(3);
  HandleCommand(kDiskList, kNotifySelChange);
  EXPECT_EQ(FakeText(kSerialBox), L"");
  FakeClearEvents();
  HandleCommand(kStartButton, 0);
  HandleCommand(kDeleteButton, 0);
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, kNoSelection);
  EXPECT_EQ(boxes[1].text, kNoSelection);
  EXPECT_FALSE(HasOp(SimOp::kStartThread));
}

TEST_F(CommandsTest, RefreshRebuildsTheListAndForgetsTheSelection) {
  FakeSelect(1);
  HandleCommand(kDiskList, kNotifySelChange);
  ASSERT_EQ(FakeText(kSerialBox), L"T1");
  FakeSetText(kSpeedLabel, L"速度：1.00 MB/s");
  SimSetDiskHolder(0, SimHolder::kExclusive);  // gone until released
  SimPutFile(L"X:\\prohibited_disks.txt", {'T', '1'});  // edited since the start

  HandleCommand(kRefreshButton, 0);
  EXPECT_EQ(ListedNumbers(), (std::vector<int>{1, 3, 5}));
  EXPECT_TRUE(IsProtectedSerial(L"T1"));
  EXPECT_EQ(FakeText(kStatusLabel), L"磁盘列表已刷新");
  EXPECT_EQ(FakeText(kSerialBox), L"");
  EXPECT_EQ(FakeText(kSpeedLabel), L"速度：1.00 MB/s");  // left as it was

  FakeClearEvents();
  HandleCommand(kStartButton, 0);
  HandleCommand(kDeleteButton, 0);
  std::vector<FakeBox> boxes = FakeBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, kNoSelection);
  EXPECT_EQ(boxes[1].text, kNoSelection);

  SimSetDiskHolder(0, SimHolder::kNone);
  HandleCommand(kRefreshButton, 7);  // button notifications are not examined
  EXPECT_EQ(ListedNumbers(), (std::vector<int>{0, 1, 3, 5}));
}

TEST_F(CommandsTest, BrowsePutsOnlyAPickedPathIntoThePathBox) {
  FakeSetText(kImagePathBox, L"X:\\old.img");
  FakeAnswerFileDialog(L"", false);
  HandleCommand(kBrowseButton, 0);
  EXPECT_EQ(FakeText(kImagePathBox), L"X:\\old.img");
  FakeAnswerFileDialog(L"X:\\images\\新镜像.img", true);
  HandleCommand(kBrowseButton, 0);
  EXPECT_EQ(FakeText(kImagePathBox), L"X:\\images\\新镜像.img");
  EXPECT_EQ(FakeFileDialogs(), 2);
  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, FakeEvent::kFileDialog);
  EXPECT_EQ(events[1].kind, FakeEvent::kFileDialog);
  EXPECT_EQ(events[2].kind, FakeEvent::kSetText);
  EXPECT_EQ(events[2].control, kImagePathBox);
}

TEST_F(CommandsTest, CancelSetsTheFlagAndSaysSo) {
  HandleCommand(kCancelButton, 0);
  EXPECT_TRUE(cancelRequested);
  EXPECT_EQ(FakeText(kStatusLabel), L"取消中...");
  EXPECT_EQ(FakeEvents().size(), 1u);
}

TEST_F(CommandsTest, OtherIdentifiersDoNothing) {
  FakeSelect(1);
  for (int id : {0, 1004, 1005, 1006, 1009, 1010, 1011, 1012, 1014, 65535})
    HandleCommand(id, kNotifySelChange);
  EXPECT_TRUE(FakeEvents().empty());
  EXPECT_TRUE(SimCallLog().empty());
  EXPECT_FALSE(cancelRequested);
}

// ---- with the jobs' own threads ---------------------------------------------

// Holds a job's thread inside one seam call until the test lets it go.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool reached = false;
  bool open = false;

  void Arrive() {
    std::unique_lock<std::mutex> l(m);
    reached = true;
    cv.notify_all();
    cv.wait(l, [this] { return open; });
  }
  bool WaitReached() {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::seconds(20), [this] { return reached; });
  }
  void Open() {
    std::lock_guard<std::mutex> l(m);
    open = true;
    cv.notify_all();
  }
};

bool Targets(const SimCall& c, const wchar_t* device) {
  return c.target == device;
}

class CommandsConcurrencyTest : public CommandsTest {
 protected:
  // A failed assertion must not leave a job parked at the gate.
  void TearDown() override {
    gate_.Open();
    CommandsTest::TearDown();
  }

  // Stops the job after its first write to drive 1, i.e. while it holds the
  // disk open exclusively.
  void GateFirstWrite() {
    SimSetCallHook([this](const SimCall& c) {
      if (c.op == SimOp::kWrite && Targets(c, L"\\\\.\\PhysicalDrive1"))
        gate_.Arrive();
    });
  }

  void StartWriteOnDrive1() {
    FakeSetText(kImagePathBox, kImage);
    FakeSelect(1);
    HandleCommand(kStartButton, 0);
  }

  void ExpectImageOnDrive1() {
    EXPECT_EQ(SimReadDisk(1, 0, image_.size()), image_);
  }

  Gate gate_;
};

TEST_F(CommandsConcurrencyTest, StartWritesAndTheButtonsGoBackToIdle) {
  cancelRequested = true;  // a leftover must not cancel the new run
  GateFirstWrite();
  StartWriteOnDrive1();
  ASSERT_TRUE(gate_.WaitReached());
  EXPECT_EQ(FakeButtonState(), "writing");
  EXPECT_FALSE(cancelRequested);
  gate_.Open();
  SimWaitForThreads();

  EXPECT_EQ(FakeButtonState(), "idle");
  ExpectImageOnDrive1();
  EXPECT_EQ(FakeText(kStatusLabel).rfind(L"写入完成", 0), 0u)
      << FakeText(kStatusLabel);
  EXPECT_EQ(SimOpenHandles(), 0);
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
}

TEST_F(CommandsConcurrencyTest, RefreshDuringAWriteDropsTheHeldDisk) {
  GateFirstWrite();
  StartWriteOnDrive1();
  ASSERT_TRUE(gate_.WaitReached());

  FakeSelect(3);
  HandleCommand(kDiskList, kNotifySelChange);
  ASSERT_EQ(FakeText(kSerialBox), L"S5");
  HandleCommand(kRefreshButton, 0);
  // Drive 1 is open exclusively by the job: the lines after it move up.
  EXPECT_EQ(ListedNumbers(), (std::vector<int>{0, 3, 5}));
  EXPECT_EQ(FakeText(kSerialBox), L"");
  EXPECT_EQ(FakeText(kStatusLabel), L"磁盘列表已刷新");
  EXPECT_EQ(FakeButtonState(), "writing");

  gate_.Open();
  SimWaitForThreads();
  ExpectImageOnDrive1();
  EXPECT_EQ(FakeText(kStatusLabel).rfind(L"写入完成", 0), 0u);
  EXPECT_EQ(FakeButtonState(), "idle");

  HandleCommand(kRefreshButton, 0);
  EXPECT_EQ(ListedNumbers(), (std::vector<int>{0, 1, 3, 5}));
}

TEST_F(CommandsConcurrencyTest, BrowseDuringAWriteOnlyChangesThePathBox) {
  std::vector<uint8_t> other = Pattern(1u << 20, 9);
  SimPutFile(L"X:\\images\\b.img", other);
  GateFirstWrite();
  StartWriteOnDrive1();
  ASSERT_TRUE(gate_.WaitReached());

  FakeClearEvents();
  FakeAnswerFileDialog(L"X:\\images\\b.img", true);
  HandleCommand(kBrowseButton, 0);
  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, FakeEvent::kFileDialog);
  EXPECT_EQ(events[1].kind, FakeEvent::kSetText);
  EXPECT_EQ(events[1].control, kImagePathBox);
  EXPECT_EQ(events[1].text, L"X:\\images\\b.img");

  gate_.Open();
  SimWaitForThreads();
  ExpectImageOnDrive1();  // the image opened at the start, not the new pick
  EXPECT_EQ(FakeButtonState(), "idle");
}

// A Refresh can be dispatched while a confirmation is open (the wipe job's
// posted one). The job must get the disk the user said yes to, even when the
// rebuilt list puts another disk, here the boot disk, on the same line.
TEST_F(CommandsConcurrencyTest, TheConfirmedDiskIsTheOneUsedAfterARebuild) {
  FakeSetText(kImagePathBox, kImage);
  FakeAnswerBoxes([](const FakeBox& box) {
    if (box.caption == L"确认" || box.caption == L"最终确认") {
      SimDisk late;
      late.number = 2;
      late.length = 64ull << 20;
      late.product = "LATE";
      SimAddDisk(late);
      HandleCommand(kRefreshButton, 0);
    }
    return (box.flags & 0xF) == kMbYesNo ? kIdYes : kIdOk;
  });
  FakeSelect(3);  // drive 5; after the rebuild line 3 is drive 3, the boot disk
  HandleCommand(kStartButton, 0);
  SimWaitForThreads();
  ASSERT_EQ(ListedNumbers(), (std::vector<int>{0, 1, 2, 3, 5}));
  EXPECT_EQ(SimReadDisk(5, 0, image_.size()), image_);
  EXPECT_TRUE(SimDiskWrites(3).empty());

  SetUp();  // the same machine again, for Delete
  FakeAnswerBoxes([](const FakeBox& box) {
    if (box.caption == L"最终确认") {
      SimDisk late;
      late.number = 2;
      late.length = 64ull << 20;
      SimAddDisk(late);
      HandleCommand(kRefreshButton, 0);
    }
    return (box.flags & 0xF) == kMbYesNo ? kIdYes : kIdOk;
  });
  FakeSelect(3);
  HandleCommand(kDeleteButton, 0);
  SimWaitForThreads();
  EXPECT_TRUE(SimLayoutDeleted(5));
  EXPECT_FALSE(SimLayoutDeleted(3));
}

TEST_F(CommandsConcurrencyTest, DeleteWipesThenPostsOneRefresh) {
  SimSetCallHook([this](const SimCall& c) {
    if (c.op == SimOp::kDeviceControl && c.code == kIoctlDiskDeleteDriveLayout)
      gate_.Arrive();
  });
  FakeSelect(3);  // drive 5
  HandleCommand(kDeleteButton, 0);
  ASSERT_TRUE(gate_.WaitReached());
  EXPECT_EQ(FakeButtonState(), "wiping");
  EXPECT_EQ(FakePostedRefreshes(), 0);
  gate_.Open();
  SimWaitForThreads();

  EXPECT_TRUE(SimLayoutDeleted(5));
  EXPECT_EQ(FakeButtonState(), "idle");
  EXPECT_EQ(FakePostedRefreshes(), 1);
  EXPECT_EQ(SimLiveHeapAllocations(), 0);
  EXPECT_EQ(SimOpenHandles(), 0);
  // The posted command, when the UI thread gets to it.
  HandleCommand(kRefreshButton, 0);
  EXPECT_EQ(FakeText(kStatusLabel), L"磁盘列表已刷新");
}

}  // namespace

namespace {

// A PE run from its RAM disk: no line is the PE disk, so the internal disk,
// the one the technician came to write, can be written.
TEST(CommandsRamDisk, InternalDiskIsWritableWhenThePeRunsFromMemory) {
  for (bool stickRemovable : {false, true}) {
    SCOPED_TRACE(stickRemovable ? "stick reports removable" : "stick reports fixed");
    SimReset();
    FakeViewReset();
    SimAddDisk(Disk(0, "INTERNAL", "INT0"));
    SimDisk stick = Disk(1, "STICK", "PE1");
    stick.removable = stickRemovable;
    SimAddDisk(stick);
    SimSetExecutablePath(L"X:\\Windows\\System32\\tessavane.exe");
    SimVolume ram;
    ram.name = L"\\\\?\\Volume{ram}\\";
    ram.letter = L'X';
    ram.extents = {{0xFFFFFFFFu, 0, 3u << 20}};
    SimAddVolume(ram);
    SimPutFile(kImage, Pattern(4096, 2));
    InitializeWindowState();

    std::vector<std::wstring> lines = FakeListLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find(L"(PE盘，禁止写入)"), std::wstring::npos);
    EXPECT_EQ(lines[1].find(L"(PE盘，禁止写入)") != std::wstring::npos,
              stickRemovable);

    FakeAnswerBoxes([](const FakeBox&) { return kIdNo; });
    FakeSetText(kImagePathBox, kImage);
    FakeSelect(0);
    FakeClearEvents();
    HandleCommand(kStartButton, 0);
    std::vector<FakeBox> boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"确认");
    EXPECT_NE(boxes[0].text.find(L"PhysicalDrive0"), std::wstring::npos);
    EXPECT_FALSE(HasOp(SimOp::kStartThread));
    EXPECT_EQ(FakeButtonState(), "idle");
  }
}

}  // namespace
