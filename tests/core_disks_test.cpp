// The disk inventory over the simulated machine, and the descriptor text
// extraction over hand-built replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "core/disks.h"
#include "platform/sim/sim.h"

namespace {

SimDisk Disk(int number, uint64_t length, const std::string& vendor = "",
             const std::string& product = "", const std::string& serial = "") {
  SimDisk d;
  d.number = number;
  d.length = length;
  d.vendor = vendor;
  d.product = product;
  d.serial = serial;
  return d;
}

constexpr uint64_t kGiB = 1073741824ull;

// A STORAGE_DEVICE_DESCRIPTOR reply: the 40-byte header with the three text
// offsets, then whatever bytes follow.
std::vector<unsigned char> Reply(uint32_t vendorOffset, uint32_t productOffset,
                                 uint32_t serialOffset,
                                 const std::string& tail = "") {
  std::vector<unsigned char> r(40 + tail.size(), 0);
  for (size_t i = 0; i < tail.size(); ++i)
    r[40 + i] = static_cast<unsigned char>(tail[i]);
  auto put = [&r](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put(0, 1);
  put(12, vendorOffset);
  put(16, productOffset);
  put(24, serialOffset);
  put(4, static_cast<uint32_t>(r.size()));
  return r;
}

struct Described {
  std::wstring name;
  std::wstring serial;
};

Described Describe(const std::vector<unsigned char>& reply) {
  // An exact-size heap copy, so that a sanitizer build sees any overread;
  // and one followed by zeros, which would make an offset field read past
  // the reply's end count in any build.
  std::vector<unsigned char> exact(reply), padded(reply);
  padded.resize(reply.size() + 8, 0);
  Described d[2];
  for (std::vector<unsigned char>* r : {&exact, &padded}) {
    wchar_t name[kNameChars];
    wchar_t serial[kSerialChars];
    wmemset(name, L'#', kNameChars);
    wmemset(serial, L'#', kSerialChars);
    DescribeDescriptor(r->data(), static_cast<uint32_t>(reply.size()), name,
                       kNameChars, serial, kSerialChars);
    EXPECT_LT(wcsnlen(name, kNameChars), static_cast<size_t>(kNameChars));
    EXPECT_LT(wcsnlen(serial, kSerialChars), static_cast<size_t>(kSerialChars));
    d[r == &padded] = {name, serial};
  }
  EXPECT_EQ(d[0].name, d[1].name);
  EXPECT_EQ(d[0].serial, d[1].serial);
  return d[1];
}

class InventoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    diskTable.count = 0;
  }
  void TearDown() override {
    EXPECT_EQ(SimOpenHandles(), 0);
    EXPECT_EQ(SimLiveHeapAllocations(), 0);
  }
};

TEST_F(InventoryTest, SlotsHoldPresentDisksInDriveOrder) {
  SimAddDisk(Disk(3, 64 * kGiB, "ACME", "THREE", "S3"));
  SimAddDisk(Disk(0, 500 * kGiB, "ATA", "ZERO", "S0"));
  SimAddDisk(Disk(1, 512, "", "ONE", "S1"));
  EnumerateDisks();

  ASSERT_EQ(diskTable.count, 3);
  const int32_t numbers[] = {0, 1, 3};
  const uint64_t sizes[] = {500 * kGiB, 512, 64 * kGiB};
  const wchar_t* names[] = {L"ATA ZERO", L"ONE", L"ACME THREE"};
  for (int i = 0; i < 3; ++i) {
    const DiskEntry& e = diskTable.entries[i];
    EXPECT_EQ(e.number, numbers[i]);
    EXPECT_EQ(e.sizeBytes, sizes[i]);
    EXPECT_STREQ(e.displayName, names[i]);
  }
  EXPECT_STREQ(diskTable.entries[2].devicePath, L"\\\\.\\PhysicalDrive3");
  EXPECT_STREQ(diskTable.entries[2].serial, L"S3");

  // Every drive number 0..63 is opened for the inventory, and none beyond.
  const std::wstring prefix = L"\\\\.\\PhysicalDrive";
  std::set<int> opened;
  for (const SimCall& c : SimCallLog()) {
    if (c.op != SimOp::kOpen || c.target.rfind(prefix, 0) != 0) continue;
    EXPECT_EQ(c.code, kGenericRead);
    EXPECT_EQ(c.share, kFileShareRead | kFileShareWrite);
    opened.insert(std::stoi(c.target.substr(prefix.size())));
  }
  ASSERT_EQ(opened.size(), 64u);
  EXPECT_EQ(*opened.begin(), 0);
  EXPECT_EQ(*opened.rbegin(), 63);
}

TEST_F(InventoryTest, DisksWithoutAUsableLengthAreAbsent) {
  SimAddDisk(Disk(0, 0, "ZERO", "LENGTH"));
  SimDisk failing = Disk(1, 8 * kGiB, "NO", "LENGTH");
  failing.lengthQueryError = kErrorInvalidFunction;
  SimAddDisk(failing);
  SimAddDisk(Disk(2, 8 * kGiB, "HELD", "ELSEWHERE"));
  SimAddDisk(Disk(5, 8 * kGiB, "GOOD", "DISK"));
  SimSetDiskHolder(2, SimHolder::kExclusive);  // does not open
  EnumerateDisks();

  ASSERT_EQ(diskTable.count, 1);
  EXPECT_EQ(diskTable.entries[0].number, 5);
  EXPECT_STREQ(diskTable.entries[0].displayName, L"GOOD DISK");
  // A job is told 1110 for a disk that answers with no length, and the
  // query's own code when it fails; each look lets go of the one before.
  HandleGuard look;
  EXPECT_EQ(CheckSameDiskAt(diskTable.entries[0], &look), 0u);
  for (int32_t number : {0, 1}) {
    DiskEntry expected{};
    expected.number = number;
    EXPECT_EQ(CheckSameDiskAt(expected, &look), number == 0 ? kErrorMediaChanged
                                                            : kErrorInvalidFunction);
  }
  EXPECT_EQ(SimOpenHandles(), 0);

  // A second enumeration starts from an empty table.
  SimReset();
  EnumerateDisks();
  EXPECT_EQ(diskTable.count, 0);
}

TEST_F(InventoryTest, QueryDiskLengthReportsLengthOrZero) {
  SimAddDisk(Disk(0, 3 * kGiB + 512));
  SimDisk failing = Disk(1, kGiB);
  failing.lengthQueryError = kErrorNotSupported;
  SimAddDisk(failing);
  for (int n = 0; n < 2; ++n) {
    HandleGuard h;
    std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(n);
    ASSERT_TRUE(OsOpen(path.c_str(), kGenericRead,
                       kFileShareRead | kFileShareWrite, kOpenExisting, 0,
                       h.out()));
    EXPECT_EQ(QueryDiskLength(h.get()), n == 0 ? int64_t(3 * kGiB + 512) : 0);
  }
}

TEST_F(InventoryTest, NamesFromVendorAndProduct) {
  SimAddDisk(Disk(0, kGiB, "ACME", "FASTDISK   "));
  SimAddDisk(Disk(1, kGiB, "", "ONLYPRODUCT"));
  SimAddDisk(Disk(2, kGiB, "", "", "SERIAL2"));
  SimAddDisk(Disk(3, kGiB, "ONLYVENDOR\t\r\n ", ""));
  SimAddDisk(Disk(4, kGiB, "  LEAD", "  PROD "));
  SimDisk silent = Disk(5, kGiB);
  silent.hasDescriptor = false;
  SimAddDisk(silent);
  // A product of blanks only is empty once trimmed.
  SimAddDisk(Disk(6, kGiB, "VENDOR6", "   "));
  EnumerateDisks();

  ASSERT_EQ(diskTable.count, 7);
  EXPECT_STREQ(diskTable.entries[0].displayName, L"ACME FASTDISK");
  EXPECT_STREQ(diskTable.entries[1].displayName, L"ONLYPRODUCT");
  EXPECT_STREQ(diskTable.entries[2].displayName, L"PhysicalDrive2");
  EXPECT_STREQ(diskTable.entries[2].serial, L"SERIAL2");
  EXPECT_STREQ(diskTable.entries[3].displayName, L"ONLYVENDOR");
  EXPECT_STREQ(diskTable.entries[4].displayName, L"  LEAD   PROD");
  EXPECT_STREQ(diskTable.entries[5].displayName, L"PhysicalDrive5");
  EXPECT_STREQ(diskTable.entries[5].serial, L"");
  EXPECT_STREQ(diskTable.entries[6].displayName, L"VENDOR6");
}

TEST_F(InventoryTest, SerialsKeepLeadingBlanksAndFullStops) {
  SimAddDisk(Disk(0, kGiB, "A", "B", "  AB12  "));
  SimAddDisk(Disk(1, kGiB, "A", "B", "0000_0000_0000_0000_0000_0074_2916_5830."));
  SimAddDisk(Disk(2, kGiB, "A", "B", "TABS\t\r\n"));
  SimAddDisk(Disk(3, kGiB, "A", "B", "50%ls%d"));
  EnumerateDisks();

  ASSERT_EQ(diskTable.count, 4);
  EXPECT_STREQ(diskTable.entries[0].serial, L"  AB12");
  EXPECT_STREQ(diskTable.entries[1].serial,
               L"0000_0000_0000_0000_0000_0074_2916_5830.");
  EXPECT_STREQ(diskTable.entries[2].serial, L"TABS");
  // Device text is data, never a format.
  EXPECT_STREQ(diskTable.entries[3].serial, L"50%ls%d");
}

TEST_F(InventoryTest, GbkDeviceTextBecomesChinese) {
  SimSetCodePage(936);
  SimAddDisk(Disk(0, kGiB, "\xC4\xE3\xBA\xC3", "\xB4\xC5\xC5\xCC",
                  "\xC4\xE3\xBA\xC3-01"));
  EnumerateDisks();
  ASSERT_EQ(diskTable.count, 1);
  EXPECT_STREQ(diskTable.entries[0].displayName, L"你好 磁盘");
  EXPECT_STREQ(diskTable.entries[0].serial, L"你好-01");
}

TEST_F(InventoryTest, RawRepliesAreCutToTheQueryBuffer) {
  // A device that answers with more than 2,048 bytes: the text at the end of
  // the buffer is cut where the buffer ends.
  std::string tail(2048 - 40, 'P');
  tail[0] = 'V';
  tail[1] = '\0';
  SimDisk d = Disk(0, kGiB);
  d.useRawDescriptor = true;
  d.rawDescriptor = Reply(40, 2048 - 10, 0, tail + "MOREMOREMORE");
  SimAddDisk(d);
  EnumerateDisks();
  ASSERT_EQ(diskTable.count, 1);
  EXPECT_STREQ(diskTable.entries[0].displayName, L"V PPPPPPPPPP");
}

TEST_F(InventoryTest, EveryFailingCallLeavesNothingOpen) {
  SimAddDisk(Disk(0, kGiB, "ACME", "ZERO", "S0"));
  SimAddDisk(Disk(2, kGiB, "ACME", "TWO", "S2"));
  SimVolume v;
  v.name = L"\\\\?\\Volume{0002}\\";
  v.letter = L'X';
  v.extents = {{2, 1048576, kGiB / 2}};
  SimAddVolume(v);
  EnumerateDisks();
  ASSERT_EQ(diskTable.count, 2);
  std::vector<SimCall> clean = SimCallLog();

  for (size_t i = 0; i < clean.size(); ++i) {
    const SimCall& target = clean[i];
    if (target.op == SimOp::kClose) continue;
    // The fault table matches targets by containment ("PhysicalDrive1" also
    // matches "PhysicalDrive12"), so count the same way.
    int nth = 0;
    for (size_t j = 0; j <= i; ++j)
      if (clean[j].op == target.op &&
          clean[j].target.find(target.target) != std::wstring::npos &&
          (target.op != SimOp::kDeviceControl || clean[j].code == target.code))
        ++nth;
    SimReset();
    SimAddDisk(Disk(0, kGiB, "ACME", "ZERO", "S0"));
    SimAddDisk(Disk(2, kGiB, "ACME", "TWO", "S2"));
    SimAddVolume(v);
    SimFault f;
    f.op = target.op;
    f.target = target.target;
    f.ioctl = target.op == SimOp::kDeviceControl ? target.code : 0;
    f.nth = nth;
    f.error = kErrorAccessDenied;
    SimAddFault(f);
    EnumerateDisks();
    SCOPED_TRACE(std::string("failing call ") + std::to_string(i) + " " +
                 SimOpName(target.op));
    EXPECT_EQ(SimOpenHandles(), 0);
    EXPECT_GE(diskTable.count, 1);
    EXPECT_LE(diskTable.count, 2);
    EXPECT_GE(bootDiskNumber, 0);
    for (int s = 0; s < diskTable.count; ++s) {
      const DiskEntry& e = diskTable.entries[s];
      EXPECT_NE(e.sizeBytes, 0u);
      // The disk's own texts, or what stands for a text that did not come.
      const std::wstring n = std::to_wstring(e.number), name = e.displayName;
      EXPECT_TRUE(name == (n == L"0" ? L"ACME ZERO" : L"ACME TWO") ||
                  name == L"PhysicalDrive" + n) << name.size();
      EXPECT_TRUE(e.serial == L"S" + n || e.serial[0] == L'\0');
    }
  }
}

TEST(DescriptorTest, FieldOffsetsOutsideTheReplyGiveEmptyFields) {
  // Texts at 40, 45 and 50; the reply is 55 bytes long.
  const std::string texts = std::string("VEND\0PROD\0SER1\0", 15);
  Described d = Describe(Reply(40, 45, 50, texts));
  EXPECT_EQ(d.name, L"VEND PROD");
  EXPECT_EQ(d.serial, L"SER1");

  // One character is a text.
  EXPECT_EQ(Describe(Reply(40, 45, 0, std::string("V\0\0\0\0P\0", 7))).name, L"V P");

  // Offset 0 means "no such field".
  d = Describe(Reply(0, 45, 0, texts));
  EXPECT_EQ(d.name, L"PROD");
  EXPECT_EQ(d.serial, L"");

  // An offset equal to the reply length, and one beyond it.
  d = Describe(Reply(55, 45, 4000, texts));
  EXPECT_EQ(d.name, L"PROD");
  EXPECT_EQ(d.serial, L"");
  d = Describe(Reply(0xFFFFFFFFu, 0xFFFFFFF0u, 55, texts));
  EXPECT_EQ(d.name, L"");
  EXPECT_EQ(d.serial, L"");

  // The last byte of the reply as a one-character field without a NUL.
  d = Describe(Reply(0, 0, 54, texts.substr(0, 14) + "Z"));
  EXPECT_EQ(d.serial, L"Z");

  // Nothing returned at all.
  EXPECT_EQ(Describe({}).name, L"");
}

TEST(DescriptorTest, ShortRepliesOnlyUseTheOffsetsTheyHold) {
  // 27 bytes hold the vendor and product offsets but not all of the serial's.
  std::vector<unsigned char> r = Reply(20, 24, 20);
  r.resize(27);
  std::memcpy(r.data() + 20, "AB\0\0CD\0", 7);
  // Bytes 24..26 are both the product text "CD" and three of the four bytes
  // of the serial offset field, which therefore gives no serial.
  Described d = Describe(r);
  EXPECT_EQ(d.name, L"AB CD");
  EXPECT_EQ(d.serial, L"");

  // 27 bytes hold three of the four bytes of a serial offset of 20.
  r = Reply(20, 0, 20);
  r.resize(27);
  std::memcpy(r.data() + 20, "AB", 3);
  EXPECT_EQ(Describe(r).serial, L"");

  // At 28 bytes the serial offset is whole and used.
  r = Reply(0, 0, 20);
  r.resize(28);
  std::memcpy(r.data() + 20, "SN9\0", 4);
  EXPECT_EQ(Describe(r).serial, L"SN9");

  // 15 bytes: not even the vendor offset is whole.
  r = Reply(13, 0, 0);
  r.resize(15);
  EXPECT_EQ(Describe(r).name, L"");
}

TEST(DescriptorTest, TextsRunningToTheReplyEndStopThere) {
  // No NUL anywhere after the header: each text ends with the reply.
  Described d = Describe(Reply(40, 44, 48, "ABCDEFGHIJKL"));
  EXPECT_EQ(d.name, L"ABCDEFGHIJKL EFGHIJKL");
  EXPECT_EQ(d.serial, L"IJKL");
  // Only a NUL ends a text: another control byte is part of it.
  EXPECT_EQ(Describe(Reply(40, 0, 0, std::string("A\x01" "B\0", 4))).name, L"A\x01" L"B");
}

TEST(DescriptorTest, LongTextsAreCutToWhatTheBuffersHold) {
  std::string vendor(300, 'V');
  vendor[254] = 'E';  // the last byte kept
  vendor[255] = 'X';  // the first byte dropped
  std::string tail = vendor + '\0' + "PRODUCT" + '\0';
  // Vendor alone: 255 bytes, exactly what a name holds.
  Described d = Describe(Reply(40, 0, 40, tail));
  EXPECT_EQ(d.name.size(), 255u);
  EXPECT_EQ(d.name.back(), L'E');
  EXPECT_EQ(d.serial.size(), 255u);
  // Vendor, space and product need 263 characters: the name is cut to 255.
  d = Describe(Reply(40, 341, 0, tail));
  EXPECT_EQ(d.name, std::wstring(vendor.begin(), vendor.begin() + 255));

  // Smaller output buffers are honoured too.
  std::vector<unsigned char> r = Reply(40, 341, 40, tail);
  wchar_t name[8];
  wchar_t serial[4];
  DescribeDescriptor(r.data(), static_cast<uint32_t>(r.size()), name, 8,
                     serial, 4);
  EXPECT_STREQ(name, L"VVVVVVV");
  EXPECT_STREQ(serial, L"VVV");
  // A text running 256 bytes to the reply's end keeps 255 of them, however
  // large the caller's buffers.
  r = Reply(40, 0, 40, std::string(256, 'W'));
  wchar_t wideName[600];
  wchar_t wideSerial[600];
  DescribeDescriptor(r.data(), static_cast<uint32_t>(r.size()), wideName, 600,
                     wideSerial, 600);
  EXPECT_EQ(std::wcslen(wideName), 255u);
  EXPECT_EQ(std::wcslen(wideSerial), 255u);
  // A serial buffer of no room is left alone.
  wchar_t untouched = L'#';
  DescribeDescriptor(r.data(), static_cast<uint32_t>(r.size()), name, 8,
                     &untouched, 0);
  EXPECT_EQ(untouched, L'#');
}

}  // namespace
