// The disk list lines and the state the window starts in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/disks.h"
#include "core/text.h"
#include "platform/sim/sim.h"
#include "tests/support/fake_view.h"
#include "ui/commands.h"

namespace {

DiskEntry Entry(int32_t number, const wchar_t* name, uint64_t size,
                const wchar_t* serial) {
  DiskEntry e;
  std::memset(&e, 0, sizeof e);
  e.number = number;
  CopyText(e.displayName, kNameChars, name);
  e.sizeBytes = size;
  FormatDevicePath(e.devicePath, kDevicePathChars, number);
  CopyText(e.serial, kSerialChars, serial);
  return e;
}

std::wstring Line(const DiskEntry& e) {
  wchar_t buffer[512];
  FormatDiskLine(e, buffer, 512);
  return buffer;
}

class DiskListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    FakeViewReset();
    ParseProtectedSerials("", 0);
    bootDiskNumber = -1;
    diskTable.count = 0;
  }
};

TEST_F(DiskListTest, LineShowsNumberNameSizeAndOneMark) {
  const uint64_t kTerabyte = 1000000000000ull;
  ParseProtectedSerials("FILE01\r\n", 8);
  bootDiskNumber = 2;

  EXPECT_EQ(Line(Entry(1, L"ACME FASTDISK", kTerabyte, L"X1")),
            L"#1  ACME FASTDISK  931.32 GB");
  EXPECT_EQ(Line(Entry(2, L"SanDisk Ultra", kTerabyte, L"X2")),
            L"#2  SanDisk Ultra  931.32 GB (PE盘，禁止写入)");
  // Built-in and file lists mark the same way, case folded.
  EXPECT_EQ(Line(Entry(3, L"ATA SSD", 1073741824ull, L"5d2c8e1f07a3")),
            L"#3  ATA SSD  1.00 GB (禁止列表，禁止写入)");
  EXPECT_EQ(Line(Entry(4, L"USB", 1073741824ull, L"file01")),
            L"#4  USB  1.00 GB (禁止列表，禁止写入)");
  // A boot disk that is also protected shows only the boot mark.
  EXPECT_EQ(Line(Entry(2, L"SanDisk Ultra", kTerabyte, L"5D2C8E1F07A3")),
            L"#2  SanDisk Ultra  931.32 GB (PE盘，禁止写入)");
  // An empty serial is never protected, even on a machine with no boot disk.
  EXPECT_EQ(Line(Entry(0, L"PhysicalDrive0", 512, L"")),
            L"#0  PhysicalDrive0  0.00 GB");
}

TEST_F(DiskListTest, SizeIsUnsignedAndRounded) {
  // Rounded, not cut: one byte short of 1 GiB is 0.99999999907 GB.
  EXPECT_EQ(Line(Entry(7, L"D", 1073741823ull, L"")), L"#7  D  1.00 GB");
  EXPECT_EQ(Line(Entry(7, L"D", 1610612736ull, L"")), L"#7  D  1.50 GB");
  // The top bit set must not make the size negative.
  EXPECT_EQ(Line(Entry(63, L"Huge", 0xFFFFFFFFFFFFFFFFull, L"")),
            L"#63  Huge  17179869184.00 GB");
}

TEST_F(DiskListTest, DeviceTextIsNeverAFormat) {
  EXPECT_EQ(Line(Entry(5, L"%s%n%ls", 1073741824ull, L"%d")),
            L"#5  %s%n%ls  1.00 GB");
}

TEST_F(DiskListTest, LongNameIsCutAtTheLineBuffer) {
  std::wstring name(255, L'名');
  std::wstring line = Line(Entry(12, name.c_str(), 1073741824ull, L""));
  EXPECT_EQ(line, L"#12  " + name + L"  1.00 GB");

  wchar_t small[16];
  FormatDiskLine(Entry(12, name.c_str(), 1073741824ull, L""), small, 16);
  EXPECT_EQ(std::wstring(small), L"#12  " + name.substr(0, 10));
}

TEST_F(DiskListTest, FillFollowsSlotOrderAndReplacesOldLines) {
  bootDiskNumber = 0;
  diskTable.entries[0] = Entry(0, L"Boot", 1073741824ull, L"");
  diskTable.entries[1] = Entry(1, L"One", 2147483648ull, L"");
  diskTable.entries[2] = Entry(3, L"Three", 3221225472ull, L"");
  // A stale slot past the count must not show.
  diskTable.entries[3] = Entry(9, L"Stale", 1073741824ull, L"");
  diskTable.count = 3;

  FillDiskList();
  FillDiskList();

  std::vector<std::wstring> expected = {
      L"#0  Boot  1.00 GB (PE盘，禁止写入)", L"#1  One  2.00 GB",
      L"#3  Three  3.00 GB"};
  EXPECT_EQ(FakeListLines(), expected);
  // Each fill starts from an empty list.
  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[0].kind, FakeEvent::kListReset);
  EXPECT_EQ(events[4].kind, FakeEvent::kListReset);

  diskTable.count = 0;
  FillDiskList();
  EXPECT_TRUE(FakeListLines().empty());
}

TEST_F(DiskListTest, StartupWithNoDisksIsReadyAndEmpty) {
  ViewListAdd(L"left over");
  InitializeWindowState();
  EXPECT_TRUE(FakeListLines().empty());
  EXPECT_EQ(FakeText(kStatusLabel), L"准备就绪");
  EXPECT_EQ(FakeProgress(), 0);
  EXPECT_EQ(FakeText(kSpeedLabel), L"速度：-");
  EXPECT_EQ(FakeButtonState(), "idle");
}

TEST_F(DiskListTest, StartupReadsTheListThenTheDisksThenReports) {
  SimSetExecutablePath(L"D:\\pe\\tessavane.exe");
  SimDisk boot;
  boot.number = 1;
  boot.length = 32000000000ull;
  boot.vendor = "SanDisk";
  boot.product = "Ultra";
  boot.serial = "4C530001";
  boot.removable = true;
  SimAddDisk(boot);
  SimDisk listed;
  listed.number = 2;
  listed.length = 1000000000000ull;
  listed.vendor = "WDC";
  listed.product = "BLUE";
  listed.serial = "WD-0042";
  SimAddDisk(listed);
  SimDisk bare;
  bare.number = 5;
  bare.length = 1073741824ull;
  bare.hasDescriptor = false;
  SimAddDisk(bare);
  SimVolume pe;
  pe.name = L"\\\\?\\Volume{0001}\\";
  pe.letter = L'D';
  pe.extents = {{1, 1048576, 1048576}};
  SimAddVolume(pe);
  std::string list = "# protected\nwd-0042\n";
  // Serials from an earlier load must be forgotten by the new one.
  ParseProtectedSerials("4C530001\n", 9);
  SimPutFile(L"D:\\pe\\prohibited_disks.txt",
             std::vector<uint8_t>(list.begin(), list.end()));

  InitializeWindowState();

  std::vector<std::wstring> expected = {
      L"#1  SanDisk Ultra  29.80 GB (PE盘，禁止写入)",
      L"#2  WDC BLUE  931.32 GB (禁止列表，禁止写入)",
      L"#5  PhysicalDrive5  1.00 GB"};
  EXPECT_EQ(FakeListLines(), expected);
  EXPECT_EQ(fileProtectedSerialCount, 1);

  // The ready status comes last, after the progress bar was reset.
  std::vector<FakeEvent> events = FakeEvents();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].kind, FakeEvent::kProgress);
  EXPECT_EQ(events[events.size() - 2].value, 0);
  EXPECT_EQ(events.back().kind, FakeEvent::kSetText);
  EXPECT_EQ(events.back().control, kStatusLabel);
  EXPECT_EQ(events.back().text, L"准备就绪");
}

}  // namespace
