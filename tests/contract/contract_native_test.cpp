// The contracts over the simulated machine: the file contract in a folder of
// its own, and both contracts on a machine described as the Windows runner's
// disk is prepared (contract_tests.exe --disk N --volume X:).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/disk_contract.h"
#include "tests/contract/fat_image.h"
#include "tests/contract/file_contract.h"
#include "tests/support/scratch.h"

namespace {

void PutFileContractFiles(const std::wstring& dir) {
  std::vector<uint8_t> data(kContractDataBytes);
  for (uint32_t i = 0; i < kContractDataBytes; ++i) data[i] = ContractDataByte(i);
  SimPutFile(dir + L"\\" + kContractDataFile, data);
  SimPutFile(dir + L"\\" + kContractEmptyFile, {});
}

void NoPause(uint32_t) {}

bool RescanDisk(int disk) {
  SimRescanDisk(disk);
  return true;
}

}  // namespace

TEST(FileContract, SimulatedMachineBehavesAsWindows) {
  SimReset();
  const std::wstring dir = L"X:\\contract";
  PutFileContractFiles(dir);
  int passed = 0;
  EXPECT_EQ(RunFileContract(dir.c_str(), &passed), 0);
  EXPECT_GT(passed, 0);
  EXPECT_EQ(SimOpenHandles(), 0);
}

class DiskContract : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    dir_ = FreshTestFolder("disk_contract");
  }
  void TearDown() override {
    EXPECT_EQ(SimOpenHandles(), 0);
    SimReset();
    std::filesystem::remove_all(dir_);
  }
  bool Load(const std::string& text) {
    std::string error;
    const bool ok = SimLoadDescription(text, dir_.string(), &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  std::filesystem::path dir_;
};

// The runner's disk: a 256 MiB virtual disk whose MBR has one FAT32
// partition from 1 MiB, its volume E:, a file on it. Around it what Windows
// cannot offer the runner: a volume over three extents and an empty reader.
TEST_F(DiskContract, SimulatedMachineKeepsItsClaims) {
  constexpr uint64_t kDisk = 256u << 20;
  std::vector<uint8_t> head(8u << 20);
  FatImageBytes(kDisk, 0, head.data(), head.size());
  std::ofstream(dir_ / "contract-disk.img", std::ios::binary)
      .write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  ASSERT_TRUE(Load(
      "disk 1 size=256M vendor=\"Msft    \" product=\"Virtual Disk    \" file=contract-disk.img\n"
      "disk 2 size=16M vendor=\"Msft    \" product=\"Virtual Disk    \"\n"
      "disk 3 size=16M\n"
      "disk 4 size=1M removable vendor=\"Generic\" product=\"SD Reader\" nomedia\n"
      "volume \\\\?\\Volume{c0ffee00-0001}\\ letter=E extent=1:1M:255M\n"
      "volume \\\\?\\Volume{c0ffee00-0002}\\ extent=2:1M:4M extent=3:1M:4M extent=2:8M:4M\n"
      "file E:\\contract\\note.txt text=\"a file on the volume\"\n"));
  PutFileContractFiles(L"E:\\contract");

  std::string reason;
  ASSERT_TRUE(ContractDiskAllowed(1, L'E', &reason)) << reason;
  int filePassed = 0;
  EXPECT_EQ(RunFileContract(L"E:\\contract", &filePassed), 0);
  EXPECT_GT(filePassed, 0);

  DiskContractTarget target;
  target.disk = 1;
  target.letter = L'E';
  target.filePath = L"E:\\contract\\note.txt";
  target.spanningVolume = L"\\\\?\\Volume{c0ffee00-0002}";
  target.emptyReader = 4;
  const DiskContractHost host = {NoPause, RescanDisk};
  ContractTally tally;
  testing::internal::CaptureStdout();
  RunDiskContract(target, host, &tally);
  std::istringstream printed(testing::internal::GetCapturedStdout());
  EXPECT_EQ(tally.failed, 0);
  EXPECT_EQ(tally.skipped, 0);
  EXPECT_EQ(tally.passed, static_cast<int>(DiskContractRows().size()));
  // Each check's line of the table follows its own line, so that a run cut
  // short on Windows still shows what it answered; the rows no check asks
  // come last.
  const std::vector<std::string> checks = DiskContractRows();
  std::vector<std::string> rowLines;
  std::string previous, line;  // the last check's own line
  size_t checksSeen = 0;
  while (std::getline(printed, line)) {
    if (line.compare(0, 3, "| `") == 0) {
      rowLines.push_back(line.substr(3, line.find('`', 3) - 3));
      if (checksSeen < checks.size()) {
        EXPECT_EQ(previous.compare(0, 6 + checks[checksSeen].size(), "ok    " + checks[checksSeen]),
                  0)
            << previous;
        ++checksSeen;
      }
    }
    if (line.compare(0, 4, "ok  ") == 0) previous = line;
  }
  std::vector<std::string> unasked;
  for (const std::string& row : DescriptionRows(false)) {
    if (std::find(checks.begin(), checks.end(), row) == checks.end()) unasked.push_back(row);
  }
  std::vector<std::string> expected = checks;
  expected.insert(expected.end(), unasked.begin(), unasked.end());
  EXPECT_EQ(rowLines, expected);
  // What runs next on the runner finds the table new-partitions wrote
  // deleted, and with it the volume.
  const std::vector<uint8_t> table = SimReadDisk(1, 440, 72);
  EXPECT_TRUE(std::all_of(table.begin(), table.end(), [](uint8_t b) { return b == 0; }));
}

// The contract writes raw sectors: anything but a small virtual disk with the
// named volume on it is refused, and the reason says what was found.
TEST_F(DiskContract, OnlyASmallVirtualDiskWithItsVolumeIsTaken) {
  ASSERT_TRUE(Load(
      "disk 0 size=64G vendor=\"ATA\" product=\"SAMSUNG SSD 860\"\n"
      "disk 1 size=256M vendor=\"Msft    \" product=\"Virtual Disk    \"\n"
      "disk 2 size=2G vendor=\"Msft\" product=\"Virtual Disk\"\n"
      "disk 3 size=1G vendor=\"Msft\" product=\"Virtual Disk\" nodescriptor\n"
      "disk 5 size=1G vendor=\"Msft\" product=\"Virtual Disk\" lengtherror=21\n"
      "volume \\\\?\\Volume{c}\\ letter=C extent=0:1M:63G\n"
      "volume \\\\?\\Volume{e}\\ letter=E extent=1:1M:255M\n"
      "volume \\\\?\\Volume{f}\\ letter=F extent=2:1M:2000M\n"
      "volume \\\\?\\Volume{g}\\ letter=G extent=1:1M:100M extent=2:1M:100M\n"));
  struct Case {
    int disk;
    wchar_t letter;
    const char* reason;
  };
  const Case refused[] = {
      {0, L'C',
       "it is not a virtual disk: vendor \"ATA\", product \"SAMSUNG SSD 860\" (only a Msft "
       "Virtual Disk is taken)"},
      {2, L'F', "it holds 2147483648 bytes, more than 1 GiB"},
      {3, L'E', "its storage descriptor cannot be read (error 1)"},
      {5, L'E', "its length cannot be read (error 21)"},
      {1, L'C', "volume \\\\.\\C: does not lie on disk 1 alone"},
      {1, L'G', "volume \\\\.\\G: does not lie on disk 1 alone"},
      {1, L'Q', "volume \\\\.\\Q: cannot be opened (error 2)"},
      {1, 0, "no volume letter given"},
      {7, L'E', "cannot open \\\\.\\PhysicalDrive7 (error 2)"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.reason);
    std::string reason;
    EXPECT_FALSE(ContractDiskAllowed(c.disk, c.letter, &reason));
    EXPECT_EQ(reason, c.reason);
  }
  std::string reason;
  EXPECT_TRUE(ContractDiskAllowed(1, L'E', &reason)) << reason;
}

// Each check names a row of the machine description that says where the
// answer comes from.
TEST(DiskContractRows, EveryRowIsInTheMachineDescription) {
  std::ifstream in(std::string(TESSAVANE_SOURCE_DIR) + "/docs/machine-description.md");
  std::stringstream text;
  text << in.rdbuf();
  const std::string doc = text.str();
  ASSERT_FALSE(doc.empty());
  const std::vector<std::string> rows = DiskContractRows();
  EXPECT_GE(rows.size(), 20u);
  for (const std::string& row : rows) {
    EXPECT_NE(doc.find("| `" + row + "` |"), std::string::npos) << row;
  }
  // The table the contract ends with has a line for every row of the
  // description, in its order, and marks those the description calls not
  // settled.
  std::vector<std::string> described, unsettled;
  std::istringstream lines(doc.substr(doc.find("## Where these answers come from")));
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 3, "| `") != 0) {
      if (described.empty()) continue;
      break;  // the table's end
    }
    const std::string row = line.substr(3, line.find('`', 3) - 3);
    described.push_back(row);
    if (line.find("Not settled") != std::string::npos) unsettled.push_back(row);
  }
  EXPECT_EQ(DescriptionRows(false), described);
  EXPECT_EQ(DescriptionRows(true), unsettled);
  EXPECT_FALSE(unsettled.empty());
}

// The test image is a FAT32 volume Windows would mount: one partition from
// 1 MiB to the end, a boot sector whose sizes agree with it, FATs large
// enough for every cluster, and more clusters than FAT16 can count.
TEST(FatImage, OnePartitionFromOneMiBHoldingAValidFat32) {
  EXPECT_FALSE(FatImageSizeValid(39u << 20));
  EXPECT_FALSE(FatImageSizeValid((64u << 20) + 512));
  const auto le32 = [](const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
  };
  for (uint64_t size : {uint64_t{40} << 20, uint64_t{256} << 20}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(FatImageSizeValid(size));
    std::vector<uint8_t> head((1u << 20) + 8 * 512);
    FatImageBytes(size, 0, head.data(), head.size());
    const uint32_t sectors = static_cast<uint32_t>(size / 512) - 2048;
    EXPECT_EQ(head[510], 0x55);
    EXPECT_EQ(head[511], 0xAA);
    EXPECT_EQ(head[446 + 4], kFatImagePartitionType);
    EXPECT_EQ(le32(head, 446 + 8), 2048u);
    EXPECT_EQ(le32(head, 446 + 12), sectors);
    const std::vector<uint8_t> boot(head.begin() + (1 << 20), head.begin() + (1 << 20) + 512);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
    EXPECT_EQ(le32(boot, 32), sectors);
    EXPECT_EQ(le32(boot, 28), 2048u);  // hidden sectors: where it starts
    const uint32_t fatSectors = le32(boot, 36);
    const uint32_t clusters = sectors - 32 - 2 * fatSectors;
    EXPECT_GE(uint64_t{fatSectors} * 128, uint64_t{clusters} + 2);
    EXPECT_GE(clusters, 65525u);
    const std::vector<uint8_t> backup(head.begin() + (1 << 20) + 6 * 512,
                                      head.begin() + (1 << 20) + 7 * 512);
    EXPECT_EQ(backup, boot);
    EXPECT_EQ(le32(head, (1 << 20) + 512), 0x41615252u);  // FSInfo
    // Blocks are the same bytes however they are asked for.
    std::vector<uint8_t> piece(700);
    FatImageBytes(size, (1 << 20) - 100, piece.data(), piece.size());
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), head.begin() + (1 << 20) - 100));
  }
}

// What the Windows job's last step and its twin read back after the write:
// the disk's first bytes against the image, whose last sector is a short one;
// a byte that differs is named with the bytes on both sides; the bytes after
// the image up to the next 4 KiB boundary against those kept before, also
// after they were marked; a disk the contract would refuse is never read,
// nor is anything compared without an image.
TEST_F(DiskContract, CompareDiskWithImageReadsBackOnlyAScratchDisk) {
  std::vector<uint8_t> image((3u << 20) + 1000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + i / 4093);
  std::vector<uint8_t> disk = image;
  disk.resize(4u << 20, 0);
  disk[(2u << 20) + 77] ^= 0x40;
  disk[image.size() + 5] = 0x17;
  std::ofstream(dir_ / "vhd.img", std::ios::binary)
      .write(reinterpret_cast<const char*>(disk.data()), static_cast<std::streamsize>(disk.size()));
  ASSERT_TRUE(Load(
      "disk 0 size=64G vendor=\"ATA\" product=\"SAMSUNG SSD 860\"\n"
      "disk 2 size=256M vendor=\"Msft    \" product=\"Virtual Disk    \" file=vhd.img\n"
      "volume \\\\?\\Volume{e}\\ letter=E extent=2:8M:248M\n"));
  SimPutFile(L"D:\\image.img", image);
  std::vector<uint8_t> head(image.begin(), image.begin() + (2u << 20) + 77);
  SimPutFile(L"D:\\head.img", head);

  std::string report;
  EXPECT_EQ(CompareDiskWithImage(2, L"D:\\image.img", &report), 1);
  EXPECT_EQ(report,
            "disk 2 differs from the image at byte 2097229: the image has 53 72 91 b0 cf ee 0d "
            "2c 4b 6a 89 a8 c7 e6 05 24, the disk 13 72 91 b0 cf ee 0d 2c 4b 6a 89 a8 c7 e6 05 24");
  EXPECT_EQ(CompareDiskWithImage(2, L"D:\\head.img", &report), 0);
  EXPECT_EQ(report, "disk 2 starts with the image: its first 2097229 bytes are the image's");

  // The tail: read, kept, and found again after the "write".
  std::vector<unsigned char> tail;
  EXPECT_EQ(ReadDiskTail(2, L"D:\\head.img", false, &tail, &report), 0);
  ASSERT_EQ(tail.size(), 4096u - 2097229 % 4096);
  EXPECT_EQ(tail[0], disk[2097229]);
  EXPECT_EQ(CompareDiskWithImage(2, L"D:\\head.img", &report, &tail), 0);
  EXPECT_EQ(report,
            "disk 2 starts with the image: its first 2097229 bytes are the image's; the 4019 "
            "bytes after it, up to the next 4 KiB, are as they were before the write");
  tail[3] ^= 0xFF;
  EXPECT_EQ(CompareDiskWithImage(2, L"D:\\head.img", &report, &tail), 1);
  EXPECT_NE(report.find("; the tail after it differs from before the write at byte 2097232: "
                        "before "),
            std::string::npos)
      << report;
  SimPutFile(L"D:\\whole.img", std::vector<uint8_t>(image.begin(), image.begin() + 8192));
  EXPECT_EQ(ReadDiskTail(2, L"D:\\whole.img", true, &tail, &report), 0);
  EXPECT_EQ(report, "disk 2: the image ends on a 4 KiB boundary, it has no tail");
  EXPECT_TRUE(SimDiskWrites(2).empty());
  // Marked: a pattern from the image's last sector to the boundary, the
  // image's own bytes before that sector untouched.
  EXPECT_EQ(ReadDiskTail(2, L"D:\\image.img", true, &tail, &report), 0);
  ASSERT_EQ(tail.size(), 4096u - image.size() % 4096);
  const std::vector<uint8_t> marked = SimReadDisk(2, (3u << 20), 4096);
  EXPECT_EQ(std::vector<uint8_t>(marked.begin() + 1000, marked.end()), tail);
  EXPECT_EQ(marked[511], image[(3u << 20) + 511]);
  EXPECT_NE(marked[512], image[(3u << 20) + 512]);
  EXPECT_NE(std::count(tail.begin(), tail.end(), 0), static_cast<long>(tail.size()));
  // Where a mounted volume lies, the mark is refused and nothing is kept.
  SimPutFile(L"D:\\far.img", std::vector<uint8_t>((8u << 20) + 100, 1));
  EXPECT_EQ(ReadDiskTail(2, L"D:\\far.img", true, &tail, &report), 2);
  EXPECT_EQ(report, "disk 2: the tail cannot be marked (error 5, 0 bytes)");

  EXPECT_EQ(CompareDiskWithImage(0, L"D:\\head.img", &report), 2);
  EXPECT_EQ(report,
            "refused: disk 0: it is not a virtual disk: vendor \"ATA\", product \"SAMSUNG SSD "
            "860\" (only a Msft Virtual Disk is taken)");
  EXPECT_EQ(ReadDiskTail(0, L"D:\\head.img", true, &tail, &report), 2);
  EXPECT_EQ(report.compare(0, 17, "refused: disk 0: "), 0) << report;
  EXPECT_EQ(CompareDiskWithImage(2, L"D:\\missing.img", &report), 2);
  EXPECT_EQ(report, "cannot read the image D:\\missing.img (error 2)");
  EXPECT_EQ(SimReadDisk(2, 0, 4)[0], image[0]);  // nothing but the mark was written
  EXPECT_EQ(SimDiskWrites(2).size(), 1u);
}
