// Host files through the simulated machine (`hostfiles`): what reaches the
// host and what never does, that it is read-only, and a person's own image
// written through the program; then the report read after a run by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/disks.h"
#include "jobs/jobs.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/support/fake_view.h"
#include "ui/commands.h"
#include "ui/view.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kShareRW = kFileShareRead | kFileShareWrite;
// CreateFileW's other dispositions (the program itself only opens existing).
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Open's error, 0 when it opened (the handle is closed again).
uint32_t OpenError(const std::wstring& path, uint32_t access = kGenericRead,
                   uint32_t disposition = kOpenExisting, uint32_t share = kShareRW) {
  OsHandle h = nullptr;
  if (!OsOpen(path.c_str(), access, share, disposition, 0, &h)) return OsLastError();
  OsClose(h);
  return 0;
}

std::string ReadAll(const std::wstring& path) {
  OsHandle h = nullptr;
  if (!OsOpen(path.c_str(), kGenericRead, kShareRW, kOpenExisting, 0, &h)) {
    return "!" + std::to_string(OsLastError());
  }
  std::string text;
  char buffer[4096];
  uint32_t done = 0;
  while (OsRead(h, buffer, sizeof buffer, &done) && done > 0) text.append(buffer, done);
  OsClose(h);
  return text;
}

class SimHostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    FakeViewReset();
    dir_ = FreshTestFolder("sim_hostfiles");
    Put("real.img", "REAL IMAGE");
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd_);
    SimReset();
    fs::remove_all(dir_);
  }

  void Put(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::wstring Host(const std::string& name) const { return Wide((dir_ / name).string()); }
  bool Load(const std::string& text, std::string* error = nullptr) {
    std::string ignored;
    return SimLoadDescription(text, dir_.string(), error ? error : &ignored);
  }

  fs::path dir_;
  fs::path cwd_;
};

TEST_F(SimHostFiles, OnlyWithTheStatementAndOnlyForReading) {
  const std::wstring real = Host("real.img");
  ASSERT_TRUE(Load("disk 0 size=1M\n"));
  EXPECT_EQ(OpenError(real), 2u);

  ASSERT_TRUE(Load("hostfiles\ndisk 0 size=1M\n"));
  EXPECT_EQ(ReadAll(real), "REAL IMAGE");
  OsHandle h = nullptr;
  ASSERT_TRUE(OsOpen(real.c_str(), kGenericRead, kFileShareRead, kOpenExisting, 0, &h));
  int64_t size = 0;
  ASSERT_TRUE(OsGetFileSizeEx(h, &size));
  EXPECT_EQ(size, 10);
  uint32_t done = 0;
  EXPECT_FALSE(OsWrite(h, "X", 1, &done));
  EXPECT_EQ(OsLastError(), 5u);
  OsClose(h);

  // Every open that could change the file fails; an existing one is not new.
  EXPECT_EQ(OpenError(real, kGenericWrite), 5u);
  EXPECT_EQ(OpenError(real, kGenericRead | kGenericWrite, kOpenAlways), 5u);
  EXPECT_EQ(OpenError(real, kGenericRead, kCreateAlways), 5u);
  EXPECT_EQ(OpenError(real, kGenericRead, kTruncateExisting), 5u);
  EXPECT_EQ(OpenError(real, kGenericRead, kCreateNew), 80u);
  EXPECT_EQ(OpenError(real, kGenericRead, kOpenAlways), 0u);
  EXPECT_EQ(ReadAll(real), "REAL IMAGE");

  // A missing host file is missing; one the program creates lives in the
  // machine and never reaches the host.
  const std::wstring made = Host("made.img");
  EXPECT_EQ(OpenError(made), 2u);
  EXPECT_EQ(OpenError(made, kGenericWrite, kCreateAlways), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "made.img"));
  EXPECT_EQ(OpenError(made), 0u);

  SimReset();
  EXPECT_EQ(OpenError(real), 2u);
}

// Names that are files on this host but device, drive or volume names on the
// machine: a machine without such a disk or volume says so itself.
TEST_F(SimHostFiles, DeviceDriveAndVolumeNamesNeverReachTheHost) {
  ASSERT_TRUE(Load("hostfiles\n"
                   "disk 0 size=1M\n"
                   "volume \\\\?\\Volume{0001}\\ letter=C extent=0:0:1M\n"));
  fs::current_path(dir_);
  Put("plain.img", "PLAIN");
  const struct {
    const char* name;
    uint32_t error;
  } cases[] = {
      {"\\\\.\\PhysicalDrive7", 2},  {"\\\\?\\PhysicalDrive7", 2},
      {"\\\\.\\E:", 2},              {"E:", 2},
      {"C:", 2},                     {"\\\\?\\Volume{0009}", 2},
      {"\\\\.\\plain.img", 2},       {"\\\\?\\plain.img", 2},
      {"E:\\", 3},
  };
  for (const auto& c : cases) {
    Put(c.name, "HOST");
    EXPECT_EQ(OpenError(Wide(c.name)), c.error) << c.name;
  }
  // The same names as plain relative paths do reach the host.
  EXPECT_EQ(ReadAll(L"plain.img"), "PLAIN");
  EXPECT_EQ(ReadAll(L"./E:"), "HOST");
}

TEST_F(SimHostFiles, OnlyPlainFiles) {
  ASSERT_TRUE(Load("hostfiles\n"));
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(OpenError(Wide(dir_.string())), 2u);  // a folder
  EXPECT_EQ(OpenError(Host("pipe")), 2u);         // and nothing blocks
  EXPECT_EQ(OpenError(L"/dev/null"), 2u);
  EXPECT_EQ(OpenError(L"/dev/zero"), 2u);
}

// A `file` statement names a machine file; a disk's backing file is that disk
// under any name it is reached by. A file's host source stays readable.
TEST_F(SimHostFiles, WhatTheDescriptionNamesWins) {
  Put("disk.img", std::string(4096, 'D'));
  Put("list.txt", "SERIAL\n");
  fs::create_hard_link(dir_ / "disk.img", dir_ / "disk-alias.img");
  fs::create_symlink(dir_ / "list.txt", dir_ / "list-alias.txt");
  const std::string real = (dir_ / "real.img").string();
  ASSERT_TRUE(Load("hostfiles\n"
                   "disk 2 size=1M file=disk.img\n"
                   "file " + real + " text=\"SIMULATED\"\n"
                   "file X:\\prohibited_disks.txt host=list.txt\n"));
  EXPECT_EQ(ReadAll(Wide(real)), "SIMULATED");
  EXPECT_EQ(ReadAll(L"X:\\prohibited_disks.txt"), "SERIAL\n");
  EXPECT_EQ(OpenError(Host("disk.img")), 2u);
  EXPECT_EQ(OpenError(Host("disk-alias.img")), 2u);
  EXPECT_EQ(ReadAll(Host("list-alias.txt")), "SERIAL\n");
  // Once the disk has been written, its file is open in the machine.
  OsHandle disk = nullptr;
  ASSERT_TRUE(OsOpen(L"\\\\.\\PhysicalDrive2", kGenericRead | kGenericWrite, 0,
                     kOpenExisting, 0, &disk));
  std::vector<uint8_t> sector(512, 0x5A);
  uint32_t done = 0;
  ASSERT_TRUE(OsWrite(disk, sector.data(), 512, &done));
  OsClose(disk);
  EXPECT_EQ(OpenError(Host("disk-alias.img")), 2u);
}

TEST_F(SimHostFiles, OpensOfOneHostFileMeetAsOneFile) {
  fs::create_symlink(dir_ / "real.img", dir_ / "alias.img");
  ASSERT_TRUE(Load("hostfiles\n"));
  OsHandle first = nullptr;
  ASSERT_TRUE(OsOpen(Host("real.img").c_str(), kGenericRead, 0, kOpenExisting, 0, &first));
  EXPECT_EQ(OpenError(Host("real.img")), 32u);
  EXPECT_EQ(OpenError(Host("alias.img")), 32u);
  OsClose(first);
  EXPECT_EQ(OpenError(Host("alias.img"), kGenericRead, kOpenExisting, kFileShareRead), 0u);
  EXPECT_EQ(SimOpenHandles(), 0);
}

TEST_F(SimHostFiles, StatementTakesNoArgumentAndComesOnce) {
  std::string error;
  EXPECT_FALSE(Load("hostfiles on\n", &error));
  EXPECT_EQ(error, "description:1: hostfiles takes no argument, not 'on'");
  EXPECT_FALSE(Load("# try\nhostfiles\ndisk 0 size=1M\nhostfiles\n", &error));
  EXPECT_EQ(error, "description:4: hostfiles is already given on line 2");
  EXPECT_EQ(OpenError(Host("real.img")), 2u);  // the refused text set up nothing
}

// What a person does with tessavane-sim.exe: pick an image of their own in
// the file dialog and write it.
TEST_F(SimHostFiles, APickedHostImageIsWrittenByTheProgram) {
  std::string image(3 * 1024 * 1024 + 1000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 151 + 7);
  Put("mine.img", image);
  ASSERT_TRUE(Load("hostfiles\n"
                   "exe D:\\tessavane.exe\n"
                   "disk 3 size=16M vendor=\"USB\" product=\"Stick\" serial=\"U3\"\n"));
  InitializeWindowState();
  ASSERT_EQ(FakeListLines().size(), 1u);
  FakeAnswerFileDialog(Host("mine.img"), true);
  HandleCommand(kBrowseButton, 0);
  ASSERT_EQ(FakeText(kImagePathBox), Host("mine.img"));
  WriteImageJob(diskTable.entries[0]);
  EXPECT_EQ(FakeText(kStatusLabel).rfind(L"写入完成", 0), 0u) << FakeText(kStatusLabel).size();
  const std::vector<uint8_t> disk = SimReadDisk(3, 0, image.size() + 1);
  ASSERT_EQ(disk.size(), image.size() + 1);
  EXPECT_EQ(std::memcmp(disk.data(), image.data(), image.size()), 0);
  EXPECT_EQ(disk.back(), SimPatternByte(3, image.size()));  // the disk's own
  EXPECT_EQ(SimOpenHandles(), 0);

  const uint64_t padded = (image.size() + 4095) / 4096 * 4096;
  EXPECT_EQ(SimReport(),
            "disk 3 written " + std::to_string(padded) + " end " + std::to_string(padded) +
                " layout kept origin described state present\n"
                "hostfile " + (dir_ / "mine.img").string() + "\n");
}

TEST(SimReport, DevicesInArrivalOrderWithWritesLayoutOriginAndBackingFile) {
  SimReset();
  SimDisk d;
  d.number = 4;
  d.length = 1 << 20;
  SimAddDisk(d);
  d.number = 1;
  d.backingFile = "backing dir/one.img";
  SimAddDisk(d);
  d.backingFile.clear();
  EXPECT_EQ(SimReport(),
            "disk 4 written 0 end 0 layout kept origin described state present\n"
            "disk 1 written 0 end 0 layout kept origin described state present"
            " backing backing dir/one.img\n");

  OsHandle h = nullptr;
  ASSERT_TRUE(OsOpen(L"\\\\.\\PhysicalDrive4", kGenericRead | kGenericWrite, 0,
                     kOpenExisting, 0, &h));
  std::vector<uint8_t> data(8192, 1);
  uint32_t done = 0;
  ASSERT_TRUE(OsSeek(h, 65536));
  ASSERT_TRUE(OsWrite(h, data.data(), 8192, &done));
  ASSERT_TRUE(OsSeek(h, 0));
  ASSERT_TRUE(OsWrite(h, data.data(), 512, &done));
  uint32_t returned = 0;
  ASSERT_TRUE(OsDeviceControl(h, kIoctlDiskDeleteDriveLayout, nullptr, 0, nullptr, 0,
                              &returned));
  OsClose(h);
  // Disk 4 pulled out, another arriving takes its number: two lines for 4.
  SimUnplugDisk(4);
  d.number = 9;  // ignored: the lowest free number is 0
  EXPECT_EQ(SimPlugDisk(d), 0);
  EXPECT_EQ(SimPlugDisk(d), 2);
  EXPECT_EQ(SimPlugDisk(d), 3);
  EXPECT_EQ(SimPlugDisk(d), 4);
  EXPECT_EQ(SimReport(),
            "disk 4 written 8704 end 73728 layout deleted origin described state gone\n"
            "disk 1 written 0 end 0 layout kept origin described state present"
            " backing backing dir/one.img\n"
            "disk 0 written 0 end 0 layout kept origin plugged state present\n"
            "disk 2 written 0 end 0 layout kept origin plugged state present\n"
            "disk 3 written 0 end 0 layout kept origin plugged state present\n"
            "disk 4 written 0 end 0 layout kept origin plugged state present\n");
  SimReset();
}

}  // namespace
