// Machine descriptions: what each statement builds, and that a bad one is
// refused whole with the line named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/support/scratch.h"

namespace {

constexpr uint32_t kShareRW = kFileShareRead | kFileShareWrite;

class SimDescription : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    dir_ = FreshTestFolder("sim_description");
    std::ofstream(dir_ / "demo.img", std::ios::binary) << "DEMO";
  }
  void TearDown() override {
    SimReset();
    std::filesystem::remove_all(dir_);
  }

  bool Load(const std::string& text, std::string* error = nullptr) {
    std::string ignored;
    return SimLoadDescription(text, dir_.string(), error ? error : &ignored);
  }

  std::filesystem::path dir_;
};

OsHandle Open(const wchar_t* path, uint32_t access = kGenericRead) {
  OsHandle h = nullptr;
  OsOpen(path, access, kShareRW, kOpenExisting, 0, &h);
  return h;
}

std::vector<uint8_t> Query(OsHandle h, uint32_t code, uint32_t* error) {
  std::vector<uint8_t> out(1024);
  uint32_t returned = 0;
  const uint8_t query[12] = {};
  const bool ok = OsDeviceControl(h, code, query, 12, out.data(), 1024, &returned);
  *error = ok ? 0 : OsLastError();
  out.resize(returned);
  return out;
}

std::string FileText(const wchar_t* path) {
  OsHandle h = Open(path);
  if (h == nullptr) return "!" + std::to_string(OsLastError());
  char buffer[256];
  uint32_t done = 0;
  OsRead(h, buffer, sizeof buffer, &done);
  OsClose(h);
  return std::string(buffer, done);
}

// The fenced block under "## Example" in docs/machine-description.md, read
// from the document itself so that the example cannot drift from what the
// machine accepts; empty when there is none.
std::string DocumentedExample() {
  std::ifstream doc(TESSAVANE_SOURCE_DIR "/docs/machine-description.md");
  std::string line, block;
  bool underHeading = false, inside = false;
  while (std::getline(doc, line)) {
    const bool fence = line.rfind("```", 0) == 0;
    if (inside) {
      if (fence) return block;
      block += line + "\n";
    } else if (line.rfind("## ", 0) == 0) {
      if (underHeading) break;
      underHeading = line == "## Example";
    } else if (underHeading && fence) {
      inside = true;
    }
  }
  return "";
}

TEST_F(SimDescription, TheDocumentedExampleLoads) {
  const std::string example = DocumentedExample();
  ASSERT_FALSE(example.empty())
      << "docs/machine-description.md has no fenced block under ## Example";
  std::string error;
  ASSERT_TRUE(Load(example, &error)) << error;

  wchar_t exe[64];
  ASSERT_EQ(OsModuleFileName(exe, 64), 22u);
  EXPECT_EQ(std::wstring(exe), L"D:\\tools\\tessavane.exe");
  OsHandle h = Open(L"\\\\.\\PhysicalDrive0");
  ASSERT_NE(h, nullptr);
  uint32_t err = 0;
  std::vector<uint8_t> length = Query(h, kIoctlDiskGetLengthInfo, &err);
  ASSERT_EQ(length.size(), 8u);
  EXPECT_EQ(length[4], 476 / 4);  // 476 GiB = 0x77_0000_0000
  std::vector<uint8_t> d = Query(h, kIoctlStorageQueryProperty, &err);
  EXPECT_NE(std::string(d.begin(), d.end()).find("SAMSUNG SSD 860"), std::string::npos);
  OsClose(h);
  h = Open(L"\\\\.\\PhysicalDrive1");
  EXPECT_EQ(Query(h, kIoctlStorageQueryProperty, &err)[10], 1);  // removable
  OsClose(h);
  EXPECT_EQ(FileText(L"D:\\tools\\prohibited_disks.txt"), "# protected disks\nAA01\n");
  EXPECT_EQ(FileText(L"D:\\images\\demo.img"), "DEMO");
  EXPECT_EQ(ListedVolumeNames(), (std::vector<std::wstring>{L"\\\\?\\Volume{0001}\\",
                                                  L"\\\\?\\Volume{0002}\\",
                                                  L"\\\\?\\Volume{0003}\\"}));
  // The target's backing file sits beside the description.
  h = Open(L"\\\\.\\PhysicalDrive2", kGenericRead | kGenericWrite);
  std::vector<uint8_t> sector(512, 0x5A);
  uint32_t done = 0;
  ASSERT_TRUE(OsWrite(h, sector.data(), 512, &done));
  OsClose(h);
  EXPECT_EQ(std::filesystem::file_size(dir_ / "target.img"), 64u << 20);
  // The clock is virtual unless the description says otherwise.
  EXPECT_EQ(OsPerfCounter(), 0);
}

TEST_F(SimDescription, EveryStatementAndAttribute) {
  std::string error;
  ASSERT_TRUE(Load("codepage 1252\n"
                   "exe \"\\\\\\\\server\\\\share\\\\t.exe\"\n"
                   "clock virtual\n"
                   "disk 3 size=0x100000 sector=4096 nodescriptor lengtherror=21 held=shared speed=1M\n"
                   "disk 4 size=1M descriptor=\"28 00 00 00 ff\" held=exclusive\n"
                   "disk 5 size=2048 serial=\"\\xC4\\xE3\\t\"\n"
                   "disk 6 size=1M nomedia rescan=3 removable\n"
                   "volume \"\" extent=3:0:512K extent=4:4K:4K unmounted\n"
                   "volume \\\\?\\Volume{x} unlisted extentserror=50 letter=q\n"
                   "file a.txt hex=\"41 42\" held=shared\n"
                   "file \"C:\\\\with blank.txt\" text=\"\\\"q\\\"\\r\\n\"\n"
                   "fault DeviceControl ioctl=IOCTL_STORAGE_QUERY_PROPERTY error=31 nth=2 persistent target=drive5\n"
                   "fault Read short=1K target=a.txt\n",
                   &error))
      << error;
  wchar_t exe[64];
  OsModuleFileName(exe, 64);
  EXPECT_EQ(std::wstring(exe), L"\\\\server\\share\\t.exe");

  OsHandle h = Open(L"\\\\.\\PhysicalDrive3");
  ASSERT_NE(h, nullptr);
  uint32_t err = 0;
  Query(h, kIoctlDiskGetLengthInfo, &err);
  EXPECT_EQ(err, 21u);
  Query(h, kIoctlStorageQueryProperty, &err);
  EXPECT_EQ(err, 1u);
  OsClose(h);
  h = nullptr;  // held by another process that shares
  EXPECT_FALSE(OsOpen(L"\\\\.\\PhysicalDrive3", kGenericRead | kGenericWrite, 0,
                      kOpenExisting, 0, &h));
  EXPECT_EQ(OsLastError(), 32u);
  EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive4"), nullptr);
  h = Open(L"\\\\.\\PhysicalDrive4", 0);
  EXPECT_EQ(Query(h, kIoctlStorageQueryProperty, &err),
            (std::vector<uint8_t>{0x28, 0, 0, 0, 0xFF}));
  OsClose(h);

  h = Open(L"\\\\.\\PhysicalDrive5");
  std::vector<uint8_t> d = Query(h, kIoctlStorageQueryProperty, &err);
  ASSERT_EQ(err, 0u);
  EXPECT_EQ(std::string(d.begin() + d[24], d.end()), std::string("\xC4\xE3\t\0", 4));
  Query(h, kIoctlStorageQueryProperty, &err);
  EXPECT_EQ(err, 31u);
  Query(h, kIoctlStorageQueryProperty, &err);
  EXPECT_EQ(err, 31u);
  OsClose(h);

  const SimDisk reader = SimDeviceConfig(SimDiskDevice(6));
  EXPECT_TRUE(reader.noMedia);
  EXPECT_EQ(reader.rescanAfterWrites, 3u);
  EXPECT_FALSE(SimDeviceConfig(SimDiskDevice(5)).noMedia);

  // 1252: the serial bytes read as Ä ã.
  wchar_t wide[8];
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "\xC4\xE3", 2, wide, 8), 2);
  EXPECT_EQ(wide[0], L'\u00C4');

  EXPECT_EQ(ListedVolumeNames(), std::vector<std::wstring>{L""});
  h = Open(L"\\\\.\\Q:");
  ASSERT_NE(h, nullptr);
  Query(h, kIoctlVolumeGetVolumeDiskExtents, &err);
  EXPECT_EQ(err, 50u);
  OsClose(h);
  // The unmounted volume leaves drive 3's first sectors writable.
  EXPECT_FALSE(SimVolumeMounted(L""));

  h = Open(L"A.TXT");
  OsHandle exclusive = nullptr;  // the holder shares, but wants sharing too
  EXPECT_FALSE(OsOpen(L"a.txt", kGenericRead, 0, kOpenExisting, 0, &exclusive));
  char buffer[4];
  uint32_t done = 0;
  OsRead(h, buffer, 4, &done);
  EXPECT_EQ(std::string(buffer, done), "AB");
  OsClose(h);
  EXPECT_EQ(FileText(L"c:\\with blank.txt"), "\"q\"\r\n");

  const std::vector<SimFault> faults = SimFaults();
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[1].op, SimOp::kRead);
  EXPECT_EQ(faults[1].shortBytes, 1024u);
  EXPECT_EQ(faults[1].nth, 1);

  ASSERT_TRUE(Load("clock real\n"));
  const int64_t a = OsPerfCounter();
  EXPECT_GT(a, 0);
}

TEST_F(SimDescription, ErrorsNameTheLineAndLeaveNoMachine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"disk 0 size=1M\n\n# c\ndisk 1 sise=4M\n", "description:4: unknown attribute 'sise'"},
      {"disk 0\n", ":1: disk needs a size"},
      {"disk 64 size=1M\n", ":1: disk number: '64' is not a number from 0 to 63"},
      {"disk 0 size=1M\ndisk 0 size=2M\n", ":2: disk 0 is already described on line 1"},
      {"disk 0 size=1000\n", ":1: size 1000 is not a whole number of 512-byte sectors"},
      {"disk 0 size=1Q\n", ":1: size: '1Q' is not a size"},
      {"disk 0 size=99999999999T\n", ":1: size: '99999999999T' is not a size"},
      {"disk 0 size=1M sector=1024\n", ":1: sector: '1024' is not 512 or 4096"},
      {"disk 0 size=1M removable=yes\n", ":1: 'removable' takes no value"},
      {"disk 0 size=1M vendor\n", ":1: 'vendor' needs a value"},
      {"disk 0 size=1M size=2M\n", ":1: 'size' is given twice"},
      {"disk 0 size=1M nodescriptor descriptor=00\n", ":1: 'nodescriptor' and 'descriptor'"},
      {"disk 0 size=1M descriptor=123\n", ":1: descriptor: odd number of hex digits"},
      {"disk 0 size=1M held=maybe\n", ":1: held: 'maybe' is not"},
      {"disk 0 size=1M vendor=\"ACME\n", ":1: unterminated quoted text"},
      {"disk 0 size=1M vendor=\"A\\qB\"\n", ":1: unknown escape '\\q'"},
      {"disk 0 size=1M vendor=\"A\"B\n", ":1: text right after a closing quote"},
      {"disk 0 size=1M vendor=\"\\x4\"\n", ":1: \\x needs two hex digits"},
      {"volume V extent=0:1M\n", ":1: extent: '0:1M' is not DISK:OFFSET:LENGTH"},
      {"volume V extent=4294967296:0:1M\n", ":1: extent disk: '4294967296' is not a number from 0 to 4294967295"},
      {"volume V extent=0:0:1M remount=0\n", ":1: remount: must be 1 or more"},
      {"disk 0 size=1M unplug=0\n", ":1: unplug: must be 1 or more"},
      {"disk 0 size=1M rescan=0\n", ":1: rescan: must be 1 or more"},
      {"disk 0 size=1M nomedia=1\n", ":1: 'nomedia' takes no value"},
      {"disk 0 size=1M unplug=x\n", ":1: unplug: 'x' is not a number"},
      {"volume V letter=CD\n", ":1: letter: 'CD' is not a drive letter"},
      {"volume V letter=C\nvolume W letter=c\n", ":2: letter c is already taken on line 1"},
      {"volume \\\\?\\V\\\nvolume \\\\?\\v\n", ":2: volume '\\\\?\\v' is already described on line 1"},
      {"file a.txt\n", ":1: file needs exactly one of text=, hex= or host="},
      {"file a.txt host=nothere.img\n", ":1: host file"},
      {"fault Explode\n", ":1: unknown operation 'Explode'"},
      {"fault Open nth=0\n", ":1: nth counts from 1"},
      {"fault Open short=5\n", ":1: short= is for Read and Write faults"},
      {"fault Read ioctl=5\n", ":1: ioctl= is for DeviceControl faults"},
      {"codepage 437\n", ":1: codepage 437 is not 936, 1252 or 65001"},
      {"codepage 936\ncodepage 936\n", ":2: codepage is already given on line 1"},
      {"clock fast\n", ":1: clock: 'fast' is not 'real' or 'virtual'"},
      {"exe a b\n", ":1: exe takes one argument, not 'b'"},
      {"exe \"\\xFF\"\n", ":1: exe is not valid UTF-8"},
      {"machine 1\n", ":1: unknown statement 'machine'"},
      {"disk\n", ":1: disk needs an argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SimReset();
    SimAddDisk(SimDisk{});  // must be gone after a refused description
    std::string error;
    EXPECT_FALSE(Load(c.text, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    OsHandle h = nullptr;
    EXPECT_FALSE(OsOpen(L"\\\\.\\PhysicalDrive0", kGenericRead, kShareRW, kOpenExisting, 0, &h));
  }

  // From a file: its name leads the message; a missing file says so.
  std::ofstream(dir_ / "machine.txt") << "disk 0 size=1M\r\ndisk 1 size=1M bogus\r\n";
  std::string error;
  EXPECT_FALSE(SimLoadDescriptionFile((dir_ / "machine.txt").string(), &error));
  EXPECT_EQ(error, "machine.txt:2: unknown attribute 'bogus'");
  EXPECT_FALSE(SimLoadDescriptionFile((dir_ / "none.txt").string(), &error));
  EXPECT_NE(error.find("none.txt: cannot be read"), std::string::npos) << error;
  std::ofstream(dir_ / "machine.txt") << "\xEF\xBB\xBF" "disk 0 size=1M file=d0.img\n";
  EXPECT_TRUE(SimLoadDescriptionFile((dir_ / "machine.txt").string(), &error)) << error;
}

// What real machines do mid-write, described: a RAM disk's extent, a volume
// that comes back, a disk that is pulled out.
TEST_F(SimDescription, RamDiskRemountAndUnplug) {
  ASSERT_TRUE(Load(
      "exe X:\\tessavane.exe\n"
      "disk 0 size=1M unplug=2\n"
      "volume \\\\?\\Volume{ram}\\ letter=X extent=4294967295:0:3M\n"
      "volume \\\\?\\Volume{d0}\\ letter=D extent=0:64K:512K remount=1\n"));
  uint32_t error = 0;
  OsHandle ram = Open(L"\\\\.\\X:");
  std::vector<uint8_t> reply = Query(ram, kIoctlVolumeGetVolumeDiskExtents, &error);
  OsClose(ram);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[8] & reply[9] & reply[10] & reply[11], 0xFF);

  OsHandle vol = Open(L"\\\\.\\D:", kGenericRead | kGenericWrite);
  uint32_t returned = 0;
  ASSERT_TRUE(OsDeviceControl(vol, kFsctlDismountVolume, nullptr, 0, nullptr, 0, &returned));
  OsClose(vol);
  OsHandle disk = Open(L"\\\\.\\PhysicalDrive0", kGenericRead | kGenericWrite);
  std::vector<uint8_t> sector(512, 1);
  uint32_t done = 0;
  EXPECT_TRUE(OsWrite(disk, sector.data(), 512, &done));
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{d0}"));
  EXPECT_TRUE(OsWrite(disk, sector.data(), 512, &done));
  EXPECT_FALSE(SimDiskPresent(0));
  EXPECT_FALSE(OsWrite(disk, sector.data(), 512, &done));
  EXPECT_EQ(OsLastError(), 55u);
  OsClose(disk);
}

}  // namespace
