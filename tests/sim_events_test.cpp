// Disks that come and go while the program runs: each disk a device of its
// own, arrivals at the lowest free number, the events file, and the volume
// lock a file held by another process refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/support/scratch.h"

namespace {

constexpr uint32_t kRW = kGenericRead | kGenericWrite;
constexpr uint32_t kShareRW = kFileShareRead | kFileShareWrite;
const wchar_t kDrive3[] = L"\\\\.\\PhysicalDrive3";

OsHandle Open(const std::wstring& path, uint32_t access = kRW, uint32_t share = kShareRW) {
  OsHandle h = nullptr;
  if (!OsOpen(path.c_str(), access, share, kOpenExisting, 0, &h)) return nullptr;
  return h;
}

uint32_t OpenError(const std::wstring& path, uint32_t access = kGenericRead,
                   uint32_t share = kShareRW) {
  OsHandle h = Open(path, access, share);
  if (h == nullptr) return OsLastError();
  OsClose(h);
  return 0;
}

uint32_t WriteAt(OsHandle h, uint64_t offset, const std::vector<uint8_t>& data) {
  if (!OsSeek(h, static_cast<int64_t>(offset))) return OsLastError();
  uint32_t done = 0;
  if (!OsWrite(h, data.data(), static_cast<uint32_t>(data.size()), &done)) {
    return OsLastError();
  }
  return done == data.size() ? 0 : 0xFFFFFFFFu;
}

uint32_t Control(OsHandle h, uint32_t code) {
  uint32_t returned = 0;
  return OsDeviceControl(h, code, nullptr, 0, nullptr, 0, &returned) ? 0 : OsLastError();
}

// The serial the disk at a path reports, or "!ERROR".
std::string Serial(const std::wstring& path) {
  OsHandle h = Open(path, kGenericRead);
  if (h == nullptr) return "!" + std::to_string(OsLastError());
  const uint8_t query[12] = {};
  std::vector<uint8_t> out(512);
  uint32_t returned = 0;
  const bool ok = OsDeviceControl(h, kIoctlStorageQueryProperty, query, 12, out.data(),
                                  512, &returned);
  OsClose(h);
  if (!ok) return "!" + std::to_string(OsLastError());
  uint32_t at = 0;
  std::memcpy(&at, &out[24], 4);
  return at == 0 ? "" : std::string(reinterpret_cast<const char*>(&out[at]));
}

SimDisk Disk(int number, const std::string& serial, uint64_t length = 16 << 20) {
  SimDisk d;
  d.number = number;
  d.length = length;
  d.serial = serial;
  return d;
}

SimVolume Volume(const wchar_t* name, wchar_t letter, uint32_t disk) {
  SimVolume v;
  v.name = name;
  v.letter = letter;
  v.extents = {{disk, 1 << 20, 8 << 20}};
  return v;
}

class SimEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    for (int n = 0; n <= 3; ++n) SimAddDisk(Disk(n, "OLD" + std::to_string(n)));
    SimAddVolume(Volume(L"\\\\?\\Volume{old3}\\", L'E', 3));
    dir_ = FreshTestFolder("sim_events");
  }
  void TearDown() override {
    EXPECT_EQ(SimOpenHandles(), 0);
    SimReset();
    std::filesystem::remove_all(dir_);
  }

  bool Load(const std::string& text, std::string* error = nullptr) {
    std::string ignored;
    return SimLoadDescription(text, dir_.string(), error ? error : &ignored);
  }
  void Append(const std::string& text) {
    std::ofstream(dir_ / "events.txt", std::ios::binary | std::ios::app) << text;
  }

  std::filesystem::path dir_;
};

// Disk 3 is pulled out and a different disk arrives and takes number 3 while
// handles to the old one, its volume and a file on it are still open.
TEST_F(SimEvents, ASwappedDiskIsANewDeviceAtTheOldNumber) {
  SimPutFile(L"E:\\image.img", {1, 2, 3});
  OsHandle oldDisk = Open(kDrive3, kRW, 0);  // shares nothing
  OsHandle oldVolume = Open(L"\\\\.\\E:");
  OsHandle oldFile = Open(L"E:\\image.img", kGenericRead, kFileShareRead);
  ASSERT_TRUE(oldDisk && oldVolume && oldFile);
  const uint64_t oldId = SimDiskDevice(3);
  ASSERT_NE(oldId, 0u);

  SimUnplugDisk(3);
  EXPECT_EQ(SimDiskDevice(3), 0u);
  EXPECT_EQ(OpenError(kDrive3), 2u);
  EXPECT_EQ(OpenError(L"\\\\.\\E:"), 2u);
  EXPECT_TRUE(ListedVolumeNames().empty());
  EXPECT_EQ(SimPlugDisk(Disk(9, "NEW")), 3);
  const uint64_t newId = SimDiskDevice(3);
  EXPECT_GT(newId, oldId);

  // The old handles stay on the device that is gone.
  const std::vector<uint8_t> data(4096, 0x6B);
  EXPECT_EQ(WriteAt(oldDisk, 0, data), 55u);
  EXPECT_EQ(Control(oldVolume, kFsctlLockVolume), 55u);
  std::vector<uint8_t> buffer(16);
  uint32_t done = 0;
  EXPECT_FALSE(OsRead(oldFile, buffer.data(), 3, &done));
  EXPECT_EQ(OsLastError(), 55u);

  // A new open reaches the new disk, and no sharing with the old handle
  // stands in its way; the old disk's volume guards nothing on it.
  EXPECT_EQ(Serial(kDrive3), "NEW");
  OsHandle newDisk = Open(kDrive3, kRW, 0);
  ASSERT_NE(newDisk, nullptr);
  EXPECT_EQ(WriteAt(newDisk, 1 << 20, data), 0u);
  EXPECT_EQ(WriteAt(oldDisk, 1 << 20, data), 55u);

  // Writes went to the right device; the number-based calls see the new one.
  EXPECT_EQ(SimReadDevice(newId, 1 << 20, 4096), data);
  EXPECT_NE(SimReadDevice(oldId, 1 << 20, 4096), data);
  EXPECT_TRUE(SimDeviceWrites(oldId).empty());
  ASSERT_EQ(SimDeviceWrites(newId).size(), 1u);
  EXPECT_EQ(SimDiskWrites(3).size(), 1u);
  EXPECT_EQ(SimReadDisk(3, 1 << 20, 4096), data);
  EXPECT_TRUE(SimDiskPresent(3));
  EXPECT_FALSE(SimDevicePresent(oldId));
  EXPECT_TRUE(SimDevicePresent(newId));
  EXPECT_EQ(SimDeviceNumber(oldId), 3);
  EXPECT_EQ(SimDeviceNumber(newId), 3);
  EXPECT_EQ(SimDeviceConfig(oldId).serial, "OLD3");
  EXPECT_EQ(SimDeviceConfig(newId).serial, "NEW");
  const std::vector<uint64_t> devices = SimDevices();
  ASSERT_EQ(devices.size(), 5u);
  EXPECT_EQ(devices[3], oldId);
  EXPECT_EQ(devices[4], newId);

  // The same stick's volume name comes back with the new disk: it guards the
  // new disk's sectors, while the old volume handle stays stale.
  std::string error;
  ASSERT_TRUE(SimApplyEvent("volume \\\\?\\Volume{old3}\\ letter=E extent=3:1M:8M", &error))
      << error;
  EXPECT_EQ(WriteAt(newDisk, 1 << 20, data), 5u);
  EXPECT_EQ(Control(oldVolume, kFsctlDismountVolume), 55u);
  OsHandle newVolume = Open(L"\\\\.\\E:");
  ASSERT_NE(newVolume, nullptr);
  EXPECT_EQ(Control(newVolume, kFsctlLockVolume), 0u);
  EXPECT_EQ(WriteAt(newDisk, 1 << 20, data), 0u);
  EXPECT_EQ(OpenError(L"E:\\image.img"), 5u);  // locked, not gone
  OsClose(newVolume);
  EXPECT_EQ(OpenError(L"E:\\image.img"), 0u);
  EXPECT_FALSE(OsRead(oldFile, buffer.data(), 3, &done));
  EXPECT_EQ(OsLastError(), 55u);

  // Deleting the new disk's layout takes the new volume only.
  EXPECT_EQ(Control(newDisk, kIoctlDiskDeleteDriveLayout), 0u);
  EXPECT_TRUE(SimLayoutDeleted(3));
  EXPECT_EQ(OpenError(L"\\\\.\\E:"), 2u);
  for (OsHandle h : {oldDisk, oldVolume, oldFile, newDisk}) OsClose(h);

  // Ids are never reused, not even on a fresh machine.
  SimReset();
  SimAddDisk(Disk(3, "AFTER"));
  EXPECT_GT(SimDiskDevice(3), newId);
  EXPECT_EQ(SimDevices().size(), 1u);
}

// A volume describes the disks present when it was added: a disk arriving
// later at the number it names is not on it, but a volume event for the disk
// just plugged guards that disk's sectors, and its remount and removal
// follow that disk's writes.
TEST_F(SimEvents, VolumesBelongToTheDisksPresentWhenAdded) {
  SimAddVolume(Volume(L"\\\\?\\Volume{early}\\", L'G', 4));  // no disk 4 yet
  ASSERT_EQ(SimPlugDisk(Disk(0, "P4")), 4);
  OsHandle disk4 = Open(L"\\\\.\\PhysicalDrive4");
  const std::vector<uint8_t> data(4096, 1);
  EXPECT_EQ(WriteAt(disk4, 1 << 20, data), 0u);
  EXPECT_EQ(Control(disk4, kIoctlDiskDeleteDriveLayout), 0u);
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{early}"));

  std::string error;
  ASSERT_TRUE(SimApplyEvent("volume \\\\?\\Volume{p4}\\ letter=P extent=4:1M:4M remount=3",
                            &error))
      << error;
  EXPECT_EQ(WriteAt(disk4, 1 << 20, data), 5u);
  EXPECT_EQ(WriteAt(disk4, 5 << 20, data), 0u);  // past its extent: write 2
  OsHandle vol = Open(L"\\\\.\\P:");
  EXPECT_EQ(Control(vol, kFsctlDismountVolume), 0u);
  OsClose(vol);
  // Writes to another disk do not count for it.
  OsHandle disk3 = Open(kDrive3);
  EXPECT_EQ(WriteAt(disk3, 0, data), 0u);
  EXPECT_EQ(WriteAt(disk3, 0, data), 0u);
  OsClose(disk3);
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{p4}"));
  // The disk's third write since it arrived: another process touches P.
  EXPECT_EQ(WriteAt(disk4, 1 << 20, data), 0u);
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{p4}"));
  EXPECT_EQ(WriteAt(disk4, 1 << 20, data), 5u);
  EXPECT_EQ(Control(disk4, kIoctlDiskDeleteDriveLayout), 0u);
  EXPECT_EQ(ListedVolumeNames(), (std::vector<std::wstring>{L"\\\\?\\Volume{old3}\\",
                                                      L"\\\\?\\Volume{early}\\"}));
  OsClose(disk4);
}

TEST_F(SimEvents, ArrivalsTakeTheLowestFreeNumberUntilAllAreTaken) {
  SimUnplugDisk(1);
  SimUnplugDisk(2);
  SimAddDisk(Disk(6, "SIX"));
  EXPECT_EQ(SimPlugDisk(Disk(0, "A")), 1);
  EXPECT_EQ(SimPlugDisk(Disk(0, "B")), 2);
  EXPECT_EQ(SimPlugDisk(Disk(0, "C")), 4);
  EXPECT_EQ(SimPlugDisk(Disk(0, "D")), 5);
  EXPECT_EQ(SimPlugDisk(Disk(0, "E")), 7);
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive2"), "B");
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive6"), "SIX");
  for (int n = 8; n <= 63; ++n) ASSERT_EQ(SimPlugDisk(Disk(0, "F")), n);
  const size_t count = SimDevices().size();
  EXPECT_EQ(SimPlugDisk(Disk(0, "G")), -1);
  std::string error;
  EXPECT_FALSE(SimApplyEvent("plug size=1M", &error));
  EXPECT_EQ(error, "plug: no free disk number (all 64 are taken)");
  EXPECT_EQ(SimDevices().size(), count);
  SimUnplugDisk(40);
  EXPECT_TRUE(SimApplyEvent("plug size=1M serial=\"LAST\"", &error)) << error;
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive40"), "LAST");
  EXPECT_EQ(SimDevices().size(), count + 1);
}

// Events lines as SimApplyEvent takes them: the description's own parser,
// the machine's own effects.
TEST_F(SimEvents, EventLinesParseAsTheDescriptionAndAreCheckedAgainstTheMachine) {
  ASSERT_TRUE(Load("disk 0 size=1M\n"
                   "volume \\\\?\\Volume{c}\\ letter=C extent=0:0:1M\n"));
  struct Case {
    const char* line;
    const char* error;
  };
  const Case refused[] = {
      {"unplug 7", "unplug 7: no disk 7 is present"},
      {"unplug 64", "unplug: '64' is not a number from 0 to 63"},
      {"unplug", "unplug needs an argument"},
      {"unplug 0 1", "unplug takes one argument, not '1'"},
      {"plug", "plug needs a size (size=...)"},
      {"plug size=1M sise=2M", "unknown attribute 'sise'"},
      {"plug size=1000", "size 1000 is not a whole number of 512-byte sectors"},
      {"disk 5 size=1M", "unknown event 'disk' (unplug, plug or volume)"},
      {"volume V extent=0:1M", "extent: '0:1M' is not DISK:OFFSET:LENGTH"},
      {"volume \\\\?\\volume{C} letter=D", "volume '\\\\?\\volume{C}': a volume of that name is present"},
      {"volume W letter=c", "volume 'W': letter C is taken by a volume present"},
      {"volume X vendor=\"unterminated", "unterminated quoted text"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.line);
    std::string error;
    EXPECT_FALSE(SimApplyEvent(c.line, &error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(SimDevices().size(), 1u);
  EXPECT_EQ(ListedVolumeNames().size(), 1u);
  std::string error;
  EXPECT_TRUE(SimApplyEvent("   # a comment", &error));
  EXPECT_TRUE(SimApplyEvent("", &error));

  // file= is taken from the description's folder.
  ASSERT_TRUE(SimApplyEvent("plug size=2M sector=4096 serial=\"P1\" file=sub.img removable",
                            &error))
      << error;
  const uint64_t plugged = SimDiskDevice(1);
  ASSERT_NE(plugged, 0u);
  EXPECT_EQ(SimDeviceConfig(plugged).backingFile, (dir_ / "sub.img").string());
  EXPECT_TRUE(SimDeviceConfig(plugged).removable);
  OsHandle h = Open(L"\\\\.\\PhysicalDrive1");
  EXPECT_EQ(WriteAt(h, 4096, std::vector<uint8_t>(4096, 0x33)), 0u);
  OsClose(h);
  std::ifstream in(dir_ / "sub.img", std::ios::binary);
  std::vector<char> bytes(8192);
  in.read(bytes.data(), 8192);
  EXPECT_EQ(std::filesystem::file_size(dir_ / "sub.img"), 2u << 20);
  EXPECT_EQ(bytes[4096], 0x33);
  EXPECT_EQ(bytes[4095], 0);

  // The volume may name a disk that was removed: it is gone with it, the
  // name is free again.
  EXPECT_TRUE(SimApplyEvent("unplug 0", &error)) << error;
  EXPECT_TRUE(SimApplyEvent("volume \\\\?\\Volume{c}\\ letter=C extent=1:0:1M", &error))
      << error;
  EXPECT_EQ(ListedVolumeNames(), std::vector<std::wstring>{L"\\\\?\\Volume{c}\\"});
}

// The events file, appended to between seam calls: its complete lines take
// effect at the next call, a partial line waits, a bad one is skipped with a
// line on standard error and the rest still apply.
TEST_F(SimEvents, TheEventsFileIsReadAtEveryCall) {
  std::string error;
  ASSERT_TRUE(Load("events events.txt\n"
                   "disk 0 size=1M serial=\"S0\"\n"
                   "disk 1 size=1M serial=\"S1\"\n",
                   &error))
      << error;
  // The file need not exist yet.
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive1"), "S1");
  Append("# pulled out\nunplug 1\n");
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive1"), "!2");
  Append("plug size=1M serial=\"NEW\"");  // no line end yet
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive1"), "!2");
  EXPECT_EQ(SimDevices().size(), 2u);
  Append("\n");
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive1"), "NEW");

  ::testing::internal::CaptureStderr();
  Append("unplug 7\r\n"
         "\n"
         "volume \\\\?\\Volume{n}\\ letter=N extent=1:0:512K\n"
         "frobnicate 3\n"
         "volume \\\\?\\Volume{m}\\ letter=N\n"
         "plug size=1M serial=\"TWO\"\n");
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive2"), "TWO");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "events.txt:4: unplug 7: no disk 7 is present; skipped\n"
            "events.txt:7: unknown event 'frobnicate' (unplug, plug or volume); skipped\n"
            "events.txt:8: volume '\\\\?\\Volume{m}\\': letter N is taken by a volume "
            "present; skipped\n");
  EXPECT_EQ(ListedVolumeNames(), std::vector<std::wstring>{L"\\\\?\\Volume{n}\\"});
  // Nothing added: nothing read again, nothing applied twice.
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive3"), "!2");
  EXPECT_EQ(SimDevices().size(), 4u);

  // A line too long to be one waits for its end and is skipped whole.
  ::testing::internal::CaptureStderr();
  Append("plug size=1M serial=\"" + std::string(70000, 'x'));
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive3"), "!2");
  Append("\"\nplug size=1M serial=\"THREE\"\n");
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive3"), "THREE");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "events.txt:10: a line longer than 65536 bytes; skipped\n");

  // Written anew, shorter: read again from its start.
  std::ofstream(dir_ / "events.txt", std::ios::binary | std::ios::trunc) << "unplug 3\n";
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive3"), "!2");
  // A fresh machine forgets the file.
  ASSERT_TRUE(Load("disk 3 size=1M serial=\"S3\"\n"));
  Append("unplug 3\n");
  EXPECT_EQ(Serial(L"\\\\.\\PhysicalDrive3"), "S3");
}

TEST_F(SimEvents, EventsStatementIsGivenOnceWithOnePath) {
  std::string error;
  EXPECT_FALSE(Load("events a.txt b.txt\n", &error));
  EXPECT_EQ(error, "description:1: events takes one argument, not 'b.txt'");
  EXPECT_FALSE(Load("events a.txt\nevents a.txt\n", &error));
  EXPECT_EQ(error, "description:2: events is already given on line 1");
  EXPECT_FALSE(Load("events\n", &error));
  EXPECT_EQ(error, "description:1: events needs an argument");
  EXPECT_FALSE(Load("events \"\"\n", &error));
  EXPECT_EQ(error, "description:1: events: empty path");
}

// Another process with a file open on the volume keeps the lock away, as
// the program's own open files do; a dismount leaves its handle stale.
TEST_F(SimEvents, AHeldFileRefusesTheVolumeLockUntilADismount) {
  SimPutFile(L"E:\\busy.txt", {1});
  SimPutFile(L"F:\\elsewhere.txt", {1});
  SimSetFileHolder(L"E:\\busy.txt", SimHolder::kShared);
  SimSetFileHolder(L"F:\\elsewhere.txt", SimHolder::kExclusive);
  OsHandle vol = Open(L"\\\\.\\E:");
  EXPECT_EQ(Control(vol, kFsctlLockVolume), 5u);
  EXPECT_FALSE(SimVolumeLocked(L"\\\\?\\Volume{old3}"));
  EXPECT_EQ(OpenError(L"E:\\busy.txt", kGenericRead, kFileShareRead), 32u);

  EXPECT_EQ(Control(vol, kFsctlDismountVolume), 0u);
  EXPECT_EQ(Control(vol, kFsctlLockVolume), 0u);
  EXPECT_EQ(Control(vol, kFsctlUnlockVolume), 0u);
  // The file opens afresh on the mounted-again volume, without the clash.
  EXPECT_EQ(OpenError(L"E:\\busy.txt", kGenericRead, kFileShareRead), 0u);

  // Held again: the hold counts from then on.
  SimSetFileHolder(L"E:\\busy.txt", SimHolder::kExclusive);
  EXPECT_EQ(Control(vol, kFsctlLockVolume), 5u);
  SimSetFileHolder(L"E:\\busy.txt", SimHolder::kNone);
  EXPECT_EQ(Control(vol, kFsctlLockVolume), 0u);
  OsClose(vol);

  // Touched by another process: mounted again unless locked.
  vol = Open(L"\\\\.\\E:");
  EXPECT_EQ(Control(vol, kFsctlDismountVolume), 0u);
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{old3}"));
  SimTouchVolume(L"\\\\?\\Volume{old3}\\");
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{old3}"));
  EXPECT_EQ(Control(vol, kFsctlLockVolume), 0u);
  EXPECT_EQ(Control(vol, kFsctlDismountVolume), 0u);
  SimTouchVolume(L"\\\\?\\Volume{old3}");
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{old3}"));
  OsClose(vol);

  // A holder's handle goes with the stick it was on: the volume of another
  // stick that takes the letter can be locked.
  SimSetFileHolder(L"E:\\busy.txt", SimHolder::kShared);
  SimUnplugDisk(3);
  std::string error;
  ASSERT_TRUE(SimApplyEvent("plug size=16M", &error)) << error;
  ASSERT_TRUE(SimApplyEvent("volume \\\\?\\Volume{new3}\\ letter=E extent=3:1M:8M", &error))
      << error;
  vol = Open(L"\\\\.\\E:");
  EXPECT_EQ(Control(vol, kFsctlLockVolume), 0u);
  OsClose(vol);
}

TEST_F(SimEvents, ControlMisuseStops) {
  // Job threads of earlier tests may still be winding down.
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  EXPECT_DEATH(SimUnplugDisk(9), "no disk is present");
  EXPECT_DEATH(SimTouchVolume(L"\\\\?\\Volume{none}"), "does not have");
  EXPECT_DEATH(SimDeviceConfig(999999), "unknown device");
}

}  // namespace
