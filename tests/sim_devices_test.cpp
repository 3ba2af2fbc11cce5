// The simulated machine's disks, volumes and files: the answers every other
// test relies on to mean what Windows would mean by them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/disks.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "tests/contract/fat_image.h"

namespace {

constexpr uint32_t kRW = kGenericRead | kGenericWrite;
constexpr uint32_t kShareRW = kFileShareRead | kFileShareWrite;
constexpr uint32_t kBackupSemantics = 0x02000000u;
const wchar_t kDrive1[] = L"\\\\.\\PhysicalDrive1";
const wchar_t kVolA[] = L"\\\\?\\Volume{aaaa}\\";

OsHandle Open(const wchar_t* path, uint32_t access, uint32_t share,
              uint32_t flags = 0) {
  OsHandle h = nullptr;
  if (!OsOpen(path, access, share, kOpenExisting, flags, &h)) return nullptr;
  return h;
}

// Open's error, 0 when it opened (the handle is closed again).
uint32_t OpenError(const wchar_t* path, uint32_t access, uint32_t share,
                   uint32_t flags = 0) {
  OsHandle h = Open(path, access, share, flags);
  if (h == nullptr) return OsLastError();
  OsClose(h);
  return 0;
}

// Write's error at an offset, 0 on success.
uint32_t WriteAt(OsHandle h, uint64_t offset, const std::vector<uint8_t>& data) {
  EXPECT_TRUE(OsSeek(h, static_cast<int64_t>(offset)));
  uint32_t done = 0;
  if (!OsWrite(h, data.data(), static_cast<uint32_t>(data.size()), &done)) {
    return OsLastError();
  }
  EXPECT_EQ(done, data.size());
  return 0;
}

uint32_t ReadAt(OsHandle h, uint64_t offset, uint32_t length, uint32_t* done) {
  std::vector<uint8_t> buffer(length + 1);
  EXPECT_TRUE(OsSeek(h, static_cast<int64_t>(offset)));
  return OsRead(h, buffer.data(), length, done) ? 0 : OsLastError();
}

std::vector<uint8_t> Pattern(int disk, uint64_t offset, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = SimPatternByte(disk, offset + i);
  return v;
}

uint32_t Control(OsHandle h, uint32_t code, std::vector<uint8_t>* out,
                 uint32_t* returned, const void* in = nullptr,
                 uint32_t inLength = 0) {
  return OsDeviceControl(h, code, in, inLength, out->empty() ? nullptr : out->data(),
                         static_cast<uint32_t>(out->size()), returned)
             ? 0
             : OsLastError();
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
uint64_t U64(const std::vector<uint8_t>& b, size_t at) {
  uint64_t v;
  std::memcpy(&v, b.data() + at, 8);
  return v;
}

class SimDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    SimDisk d;
    d.number = 1;
    d.length = 64 << 20;
    d.vendor = "ACME";
    d.product = "FASTDISK";
    d.serial = "SN1";
    SimAddDisk(d);
    d.number = 2;
    d.sectorSize = 4096;
    d.removable = true;
    SimAddDisk(d);
    SimVolume v;
    v.name = kVolA;
    v.letter = L'E';
    v.extents = {{1, 1 << 20, 8 << 20}};
    SimAddVolume(v);
  }
  void TearDown() override {
    EXPECT_EQ(SimOpenHandles(), 0);
    SimReset();
  }
};

TEST_F(SimDevices, SharingFollowsAccessAndShareModes) {
  // Missing drives, and names Windows would not accept, are not found.
  EXPECT_EQ(OpenError(L"\\\\.\\PhysicalDrive7", kGenericRead, kShareRW), 2u);
  EXPECT_EQ(OpenError(L"\\\\.\\PhysicalDrive01", kGenericRead, kShareRW), 2u);
  EXPECT_EQ(OpenError(L"\\\\.\\physicaldrive1", kGenericRead, kShareRW), 0u);

  // A reader and a writer that both share (the exclusive open is a check
  // of the disk contract).
  OsHandle reader = Open(kDrive1, kGenericRead, kShareRW);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(OpenError(kDrive1, kRW, kShareRW), 0u);
  OsClose(reader);

  // Another process holding the disk.
  SimSetDiskHolder(1, SimHolder::kShared);
  EXPECT_EQ(OpenError(kDrive1, kGenericRead, kShareRW), 0u);
  EXPECT_EQ(OpenError(kDrive1, kRW, 0), 32u);
  EXPECT_EQ(OpenError(kDrive1, kGenericRead, kFileShareRead), 32u);
  SimSetDiskHolder(1, SimHolder::kExclusive);
  EXPECT_EQ(OpenError(kDrive1, kGenericRead, kShareRW), 32u);
  SimSetDiskHolder(1, SimHolder::kNone);

  // Files and volumes follow the same rules.
  SimPutFile(L"D:\\a.img", {1, 2, 3});
  OsHandle file = Open(L"d:/A.IMG", kGenericRead, kFileShareRead);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(OpenError(L"D:\\a.img", kGenericRead, kShareRW), 0u);
  EXPECT_EQ(OpenError(L"D:\\a.img", kRW, kShareRW), 32u);
  OsClose(file);
  EXPECT_EQ(OpenError(L"D:\\a.img", kRW, kShareRW), 0u);
  SimSetFileHolder(L"D:\\a.img", SimHolder::kExclusive);
  EXPECT_EQ(OpenError(L"D:\\a.img", kGenericRead, kShareRW), 32u);

  // A volume handle that shares writing only keeps readers out.
  OsHandle vol = Open(L"\\\\?\\Volume{aaaa}", kRW, kFileShareWrite);
  ASSERT_NE(vol, nullptr);
  EXPECT_EQ(OpenError(L"\\\\.\\E:", kGenericRead, kShareRW), 32u);
  EXPECT_EQ(OpenError(L"\\\\.\\E:", kGenericWrite, kShareRW), 0u);
  OsClose(vol);
}

TEST_F(SimDevices, TransfersMustBeWholeSectors) {
  OsHandle h = Open(kDrive1, kRW, kShareRW);
  OsHandle h4k = Open(L"\\\\.\\PhysicalDrive2", kRW, kShareRW);
  uint32_t done = 0;
  EXPECT_EQ(ReadAt(h, 512, 1024, &done), 0u);
  EXPECT_EQ(done, 1024u);
  EXPECT_EQ(WriteAt(h, 0, std::vector<uint8_t>(513)), 87u);
  EXPECT_EQ(WriteAt(h, 100, std::vector<uint8_t>(512)), 87u);

  EXPECT_EQ(ReadAt(h4k, 0, 512, &done), 87u);
  EXPECT_EQ(WriteAt(h4k, 512, std::vector<uint8_t>(4096)), 87u);
  EXPECT_EQ(WriteAt(h4k, 4096, std::vector<uint8_t>(4096, 7)), 0u);
  EXPECT_EQ(SimReadDisk(2, 4096, 4096), std::vector<uint8_t>(4096, 7));
  // Each handle keeps its own position.
  EXPECT_TRUE(OsSeek(h, 0));
  EXPECT_TRUE(OsSeek(h4k, 8192));
  std::vector<uint8_t> buffer(4096);
  EXPECT_TRUE(OsRead(h, buffer.data(), 512, &done));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 512),
            Pattern(1, 0, 512));
  EXPECT_TRUE(OsRead(h4k, buffer.data(), 4096, &done));
  EXPECT_EQ(buffer, Pattern(2, 8192, 4096));
  EXPECT_EQ(SimDiskWrites(2).size(), 1u);
  EXPECT_TRUE(SimDiskWrites(1).empty());
  // A 4 KiB-sector disk's end: the last sector reads, past it nothing does.
  EXPECT_EQ(ReadAt(h4k, (64 << 20) - 4096, 4096, &done), 0u);
  EXPECT_EQ(ReadAt(h4k, (64 << 20) - 4096, 8192, &done), 27u);
  // A handle without write access writes nothing.
  OsHandle reader = Open(kDrive1, kGenericRead, kShareRW);
  EXPECT_EQ(WriteAt(reader, 0, std::vector<uint8_t>(512)), 5u);
  OsClose(reader);
  OsClose(h);
  OsClose(h4k);
}

TEST_F(SimDevices, MountedVolumesGuardTheirSectorsUntilLockedOrDismounted) {
  OsHandle disk = Open(kDrive1, kRW, kShareRW);
  const std::vector<uint8_t> data(4096, 9);
  // The volume covers [1 MiB, 9 MiB) of drive 1: a write across either edge
  // is refused whole.
  EXPECT_EQ(WriteAt(disk, (1 << 20) - 2048, data), 5u);
  EXPECT_EQ(SimReadDisk(1, (1 << 20) - 2048, 2048), Pattern(1, (1 << 20) - 2048, 2048));
  EXPECT_EQ(WriteAt(disk, (9 << 20) - 512, data), 5u);
  EXPECT_EQ(WriteAt(disk, 9 << 20, data), 0u);
  EXPECT_EQ(WriteAt(disk, 0, data), 0u);

  OsHandle vol = Open(L"\\\\?\\Volume{aaaa}", kRW, kShareRW);
  ASSERT_NE(vol, nullptr);
  std::vector<uint8_t> none;
  uint32_t returned = 0;
  EXPECT_EQ(Control(vol, kFsctlUnlockVolume, &none, &returned), 158u);
  EXPECT_EQ(Control(vol, kFsctlLockVolume, &none, &returned), 0u);
  EXPECT_TRUE(SimVolumeLocked(kVolA));
  EXPECT_EQ(Control(vol, kFsctlLockVolume, &none, &returned), 5u);
  EXPECT_EQ(OpenError(L"\\\\.\\E:", kGenericRead, kShareRW), 5u);
  EXPECT_EQ(WriteAt(disk, 1 << 20, data), 0u);
  OsClose(vol);  // closing unlocks
  EXPECT_FALSE(SimVolumeLocked(kVolA));
  EXPECT_EQ(WriteAt(disk, 1 << 20, data), 5u);

  // A lock is refused while another handle has the volume open.
  vol = Open(L"\\\\.\\e:", kRW, kShareRW);
  OsHandle other = Open(L"\\\\?\\VOLUME{AAAA}", kGenericRead, kShareRW);
  EXPECT_EQ(Control(vol, kFsctlLockVolume, &none, &returned), 5u);
  OsClose(other);
  EXPECT_EQ(Control(vol, kFsctlLockVolume, &none, &returned), 0u);
  EXPECT_EQ(Control(vol, kFsctlDismountVolume, &none, &returned), 0u);
  EXPECT_EQ(Control(vol, kFsctlUnlockVolume, &none, &returned), 0u);
  OsClose(vol);
  EXPECT_FALSE(SimVolumeMounted(kVolA));
  SimSetVolumeMounted(kVolA, true);
  EXPECT_EQ(WriteAt(disk, 1 << 20, data), 5u);
  // An open for data touches a dismounted volume; one without access does not.
  vol = Open(L"\\\\.\\E:", kRW, kShareRW);
  EXPECT_EQ(Control(vol, kFsctlDismountVolume, &none, &returned), 0u);
  OsClose(vol);
  EXPECT_EQ(OpenError(L"\\\\.\\E:", 0, kShareRW), 0u);
  EXPECT_FALSE(SimVolumeMounted(kVolA));
  EXPECT_EQ(OpenError(L"\\\\.\\E:", kGenericRead, kShareRW), 0u);
  EXPECT_TRUE(SimVolumeMounted(kVolA));

  // Volume controls belong to volumes, disk controls to disks and volumes.
  EXPECT_EQ(Control(disk, kFsctlLockVolume, &none, &returned), 1u);
  OsClose(disk);
}

TEST_F(SimDevices, StorageDescriptorFieldsRawAndMissing) {
  OsHandle h = Open(kDrive1, kGenericRead, kShareRW);
  const uint8_t query[12] = {};
  std::vector<uint8_t> out(2048, 0xEE);
  uint32_t returned = 0;
  ASSERT_EQ(Control(h, kIoctlStorageQueryProperty, &out, &returned, query, 12), 0u);
  // 40-byte header, then "ACME", "FASTDISK", "SN1" with their NULs.
  ASSERT_EQ(returned, 40u + 5 + 9 + 4);
  EXPECT_EQ(U32(out, 4), returned);  // Size
  EXPECT_EQ(out[10], 0);             // RemovableMedia
  EXPECT_EQ(U32(out, 12), 40u);
  EXPECT_EQ(U32(out, 16), 45u);
  EXPECT_EQ(U32(out, 20), 0u);  // no revision
  EXPECT_EQ(U32(out, 24), 54u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&out[40]), "ACME");
  EXPECT_STREQ(reinterpret_cast<const char*>(&out[45]), "FASTDISK");
  EXPECT_STREQ(reinterpret_cast<const char*>(&out[54]), "SN1");

  // Only the standard device query is answered.
  const uint8_t other[12] = {1};
  EXPECT_EQ(Control(h, kIoctlStorageQueryProperty, &out, &returned, other, 12), 87u);
  OsClose(h);

  // Removable, raw and missing descriptors.
  h = Open(L"\\\\.\\PhysicalDrive2", kGenericRead, kShareRW);
  ASSERT_EQ(Control(h, kIoctlStorageQueryProperty, &out, &returned, query, 12), 0u);
  EXPECT_EQ(out[10], 1);
  OsClose(h);
  SimDisk raw;
  raw.number = 3;
  raw.length = 1 << 20;
  raw.useRawDescriptor = true;
  raw.rawDescriptor = {1, 2, 3, 4, 5};
  SimAddDisk(raw);
  h = Open(L"\\\\.\\PhysicalDrive3", kGenericRead, kShareRW);
  ASSERT_EQ(Control(h, kIoctlStorageQueryProperty, &out, &returned, query, 12), 0u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + returned), raw.rawDescriptor);
  OsClose(h);
  raw.hasDescriptor = false;
  SimAddDisk(raw);
  h = Open(L"\\\\.\\PhysicalDrive3", kGenericRead, kShareRW);
  EXPECT_EQ(Control(h, kIoctlStorageQueryProperty, &out, &returned, query, 12), 1u);
  OsClose(h);
}

TEST_F(SimDevices, LengthAndExtentReplies) {
  OsHandle disk = Open(kDrive1, kGenericRead, kShareRW);
  std::vector<uint8_t> out(8);
  uint32_t returned = 0;
  ASSERT_EQ(Control(disk, kIoctlDiskGetLengthInfo, &out, &returned), 0u);
  EXPECT_EQ(U64(out, 0), 64u << 20);
  EXPECT_EQ(Control(disk, kIoctlVolumeGetVolumeDiskExtents, &out, &returned), 1u);
  OsClose(disk);
  // A handle without read access may not ask.
  disk = Open(kDrive1, 0, kShareRW);
  EXPECT_EQ(Control(disk, kIoctlDiskGetLengthInfo, &out, &returned), 5u);
  OsClose(disk);

  SimVolume spanning;
  spanning.name = L"\\\\?\\Volume{span}";
  spanning.extents = {{2, 4096, 1 << 20}, {1, 32 << 20, 2 << 20}};
  SimAddVolume(spanning);
  OsHandle vol = Open(L"\\\\?\\Volume{span}", kGenericRead, kShareRW);
  ASSERT_EQ(Control(vol, kIoctlDiskGetLengthInfo, &out, &returned), 0u);
  EXPECT_EQ(U64(out, 0), 3u << 20);

  std::vector<uint8_t> ext(1024);
  ASSERT_EQ(Control(vol, kIoctlVolumeGetVolumeDiskExtents, &ext, &returned), 0u);
  EXPECT_EQ(returned, 8u + 2 * 24);
  EXPECT_EQ(U32(ext, 0), 2u);
  EXPECT_EQ(U32(ext, 8), 2u);
  EXPECT_EQ(U64(ext, 16), 4096u);
  EXPECT_EQ(U64(ext, 24), 1u << 20);
  EXPECT_EQ(U32(ext, 32), 1u);
  EXPECT_EQ(U64(ext, 40), 32u << 20);
  OsClose(vol);

  std::vector<uint8_t> one(32);
  vol = Open(L"\\\\.\\E:", kGenericRead, kShareRW);
  ASSERT_EQ(Control(vol, kIoctlVolumeGetVolumeDiskExtents, &one, &returned), 0u);
  EXPECT_EQ(returned, 32u);
  EXPECT_EQ(U32(one, 8), 1u);
  OsClose(vol);

  SimDisk bad;
  bad.number = 4;
  bad.length = 1 << 20;
  bad.lengthQueryError = 21;
  SimAddDisk(bad);
  spanning.extentsError = 50;
  SimAddVolume(spanning);
  disk = Open(L"\\\\.\\PhysicalDrive4", kGenericRead, kShareRW);
  EXPECT_EQ(Control(disk, kIoctlDiskGetLengthInfo, &out, &returned), 21u);
  OsClose(disk);
  vol = Open(L"\\\\?\\Volume{span}", kGenericRead, kShareRW);
  EXPECT_EQ(Control(vol, kIoctlVolumeGetVolumeDiskExtents, &ext, &returned), 50u);
  OsClose(vol);
}

TEST_F(SimDevices, VolumeEnumerationAndNames) {
  SimVolume v;
  v.name = L"\\\\?\\Volume{bbbb}";  // listed without a trailing backslash
  SimAddVolume(v);
  v.name = L"\\\\?\\Volume{hidden}\\";
  v.listed = false;
  SimAddVolume(v);
  v.name = L"";
  v.listed = true;
  SimAddVolume(v);

  wchar_t name[260];
  OsFindHandle f = nullptr;
  std::vector<std::wstring> names;
  ASSERT_TRUE(OsFindFirstVolume(name, 260, &f));
  names.push_back(name);
  while (OsFindNextVolume(f, name, 260)) names.push_back(name);
  EXPECT_EQ(OsLastError(), 18u);
  EXPECT_EQ(SimOpenFinds(), 1);
  OsFindVolumeClose(f);
  EXPECT_EQ(SimOpenFinds(), 0);
  EXPECT_EQ(names, (std::vector<std::wstring>{kVolA, L"\\\\?\\Volume{bbbb}", L""}));
  EXPECT_FALSE(OsFindFirstVolume(name, 10, &f));
  EXPECT_EQ(OsLastError(), 206u);
  EXPECT_EQ(f, nullptr);

  // Without the trailing backslash a name opens the volume; with it, the
  // root folder, which needs backup semantics.
  EXPECT_EQ(OpenError(L"\\\\?\\Volume{aaaa}", kRW, kShareRW), 0u);
  EXPECT_EQ(OpenError(kVolA, kRW, kShareRW), 5u);
  OsHandle root = Open(kVolA, kGenericRead, kShareRW, kBackupSemantics);
  ASSERT_NE(root, nullptr);
  std::vector<uint8_t> ext(64);
  uint32_t returned = 0;
  EXPECT_EQ(Control(root, kIoctlVolumeGetVolumeDiskExtents, &ext, &returned), 1u);
  OsClose(root);
  EXPECT_EQ(OpenError(L"\\\\?\\Volume{bbbb}", kRW, kShareRW), 0u);
  EXPECT_EQ(OpenError(L"\\\\?\\Volume{hidden}", kRW, kShareRW), 0u);
  EXPECT_EQ(OpenError(L"\\\\.\\F:", kGenericRead, kShareRW), 2u);

  SimReset();
  EXPECT_FALSE(OsFindFirstVolume(name, 260, &f));
  EXPECT_EQ(OsLastError(), 18u);
}

TEST_F(SimDevices, DeleteLayoutNeedsWriteAccessAndFindsGptOnLargeSectors) {
  const uint64_t end = 64 << 20;
  OsHandle reader = Open(kDrive1, kGenericRead, kShareRW);
  std::vector<uint8_t> none;
  uint32_t returned = 0;
  EXPECT_EQ(Control(reader, kIoctlDiskDeleteDriveLayout, &none, &returned), 5u);
  OsClose(reader);
  EXPECT_FALSE(SimLayoutDeleted(1));

  // On 4 KiB sectors GPT's headers are LBA 1 and the last LBA, 4 KiB each
  // (the 512-byte case is a check of the disk contract).
  const uint64_t sector = 4096;
  OsHandle h = Open(L"\\\\.\\PhysicalDrive2", kRW, kShareRW);
  std::vector<uint8_t> header(sector, 0x11);
  std::memcpy(header.data(), "EFI PART", 8);
  ASSERT_EQ(WriteAt(h, sector, header), 0u);
  ASSERT_EQ(WriteAt(h, end - sector, header), 0u);
  ASSERT_EQ(Control(h, kIoctlDiskDeleteDriveLayout, &none, &returned), 0u);
  OsClose(h);
  EXPECT_EQ(SimReadDisk(2, 0, 4096), Pattern(2, 0, 4096));
  EXPECT_EQ(SimReadDisk(2, sector, sector), std::vector<uint8_t>(sector, 0));
  EXPECT_EQ(SimReadDisk(2, 2 * sector, 512), Pattern(2, 2 * sector, 512));
  EXPECT_EQ(SimReadDisk(2, end - sector, sector), std::vector<uint8_t>(sector, 0));
  EXPECT_EQ(SimReadDisk(2, end - sector - 512, 512), Pattern(2, end - sector - 512, 512));
  EXPECT_TRUE(SimLayoutDeleted(2));
  EXPECT_FALSE(SimLayoutDeleted(1));
}

// What other processes and the hardware do to a machine mid-write: a volume
// mounted again when something touches it, a disk pulled out.
TEST_F(SimDevices, RemountAndUnplugFollowTheWritesADiskTakes) {
  SimVolume v;
  v.name = L"\\\\?\\Volume{bbbb}\\";
  v.letter = L'F';
  v.extents = {{1, 16 << 20, 8 << 20}};
  v.remountAfterWrites = 2;
  SimAddVolume(v);
  SimVolume a;
  a.name = kVolA;
  a.letter = L'E';
  a.extents = {{1, 1 << 20, 8 << 20}};
  a.remountAfterWrites = 2;
  SimAddVolume(a);

  // A's lock is kept, B is merely dismounted.
  OsHandle lockA = Open(L"\\\\.\\E:", kRW, kShareRW);
  OsHandle volB = Open(L"\\\\.\\F:", kRW, kShareRW);
  std::vector<uint8_t> none;
  uint32_t returned = 0;
  ASSERT_EQ(Control(lockA, kFsctlLockVolume, &none, &returned), 0u);
  ASSERT_EQ(Control(lockA, kFsctlDismountVolume, &none, &returned), 0u);
  ASSERT_EQ(Control(volB, kFsctlDismountVolume, &none, &returned), 0u);
  OsClose(volB);

  OsHandle disk = Open(kDrive1, kRW, 0);
  const std::vector<uint8_t> data(4096, 0x5A);
  EXPECT_EQ(WriteAt(disk, 1 << 20, data), 0u);
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{bbbb}"));
  EXPECT_EQ(WriteAt(disk, 16 << 20, data), 0u);  // the second write
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{bbbb}"));
  EXPECT_FALSE(SimVolumeMounted(kVolA));
  EXPECT_EQ(WriteAt(disk, 16 << 20, data), 5u);
  EXPECT_EQ(WriteAt(disk, 2 << 20, data), 0u);
  // Failed writes are not taken: the count moved only with the successes.
  EXPECT_FALSE(SimVolumeMounted(kVolA));
  OsClose(disk);
  OsClose(lockA);

  // Pulled out after its fourth write (three so far).
  SimReset();
  SimDisk d;
  d.number = 1;
  d.length = 8 << 20;
  d.unplugAfterWrites = 4;
  SimAddDisk(d);
  d.number = 3;
  d.unplugAfterWrites = 0;
  SimAddDisk(d);
  a.extents = {{1, 1 << 20, 4 << 20}};
  a.remountAfterWrites = 0;
  SimAddVolume(a);
  SimPutFile(L"E:\\image.img", {1, 2, 3});
  OsHandle image = Open(L"E:\\image.img", kGenericRead, kFileShareRead);
  OsHandle vol = Open(L"\\\\.\\E:", kGenericRead, kShareRW);
  OsHandle reader = Open(kDrive1, kGenericRead, kShareRW);
  disk = Open(L"\\\\.\\PhysicalDrive1", kRW, kFileShareRead);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WriteAt(disk, 0, data), 0u);
  EXPECT_TRUE(SimDiskPresent(1));
  EXPECT_EQ(WriteAt(disk, 0, data), 0u);  // this one lands, then it is gone
  EXPECT_FALSE(SimDiskPresent(1));
  EXPECT_TRUE(SimDiskPresent(3));
  EXPECT_FALSE(OsWrite(disk, data.data(), 4096, &returned));
  EXPECT_EQ(OsLastError(), 55u);
  EXPECT_FALSE(OsSeek(disk, 0));
  EXPECT_EQ(OsLastError(), 55u);
  EXPECT_FALSE(OsFlush(disk));
  EXPECT_EQ(OsLastError(), 55u);
  std::vector<uint8_t> sector(512);
  EXPECT_FALSE(OsRead(reader, sector.data(), 512, &returned));
  EXPECT_EQ(OsLastError(), 55u);
  std::vector<uint8_t> out(8);
  EXPECT_EQ(Control(reader, kIoctlDiskGetLengthInfo, &out, &returned), 55u);
  EXPECT_EQ(Control(vol, kIoctlVolumeGetVolumeDiskExtents, &out, &returned), 55u);
  EXPECT_EQ(ReadAt(image, 0, 3, &returned), 55u);
  for (OsHandle h : {disk, reader, vol, image}) OsClose(h);
  EXPECT_EQ(OpenError(kDrive1, kGenericRead, kShareRW), 2u);
  EXPECT_EQ(OpenError(L"\\\\.\\E:", kGenericRead, kShareRW), 2u);
  wchar_t name[260];
  OsFindHandle f = nullptr;
  EXPECT_FALSE(OsFindFirstVolume(name, 260, &f));
  EXPECT_EQ(SimReadDisk(1, 0, 4096), data);  // what landed stays on the stick
  EXPECT_EQ(OpenError(L"\\\\.\\PhysicalDrive3", kRW, 0), 0u);
}

// A dismount strands the handles open on files of the volume: everything
// but moving the file pointer fails with 21 (the read is a check of the disk
// contract). A file on no volume of the machine is not affected.
TEST_F(SimDevices, StrandedFileHandlesOnlySeek) {
  const std::wstring file = L"E:\\images\\x.img";
  SimPutFile(file, std::vector<uint8_t>(4096, 7));
  SimPutFile(L"Q:\\other.img", {1});
  OsHandle image = Open(file.c_str(), kRW, kFileShareRead);
  OsHandle other = Open(L"Q:\\other.img", kGenericRead, kFileShareRead);
  ASSERT_NE(image, nullptr);
  OsHandle vol = Open(L"\\\\?\\Volume{aaaa}", kRW, kShareRW);
  std::vector<uint8_t> none;
  uint32_t returned = 0;
  EXPECT_EQ(Control(vol, kFsctlDismountVolume, &none, &returned), 0u);
  int64_t size = 0;
  EXPECT_FALSE(OsGetFileSizeEx(image, &size));
  EXPECT_EQ(OsLastError(), 21u);
  uint32_t high = 0;
  EXPECT_EQ(OsGetFileSize(image, &high), 0xFFFFFFFFu);
  EXPECT_EQ(OsLastError(), 21u);
  EXPECT_EQ(WriteAt(image, 0, {1, 2, 3}), 21u);
  EXPECT_FALSE(OsFlush(image));
  EXPECT_EQ(OsLastError(), 21u);
  EXPECT_TRUE(OsSeek(image, 100));
  EXPECT_EQ(ReadAt(other, 0, 1, &returned), 0u);
  for (OsHandle h : {image, other, vol}) OsClose(h);
}

// A RAM disk's volume names disk 0xFFFFFFFF: the extents query says so and
// nothing else on the machine takes it for a disk.
TEST_F(SimDevices, ExtentOnNoDiskIsOnlyAnswered) {
  SimVolume ram;
  ram.name = L"\\\\?\\Volume{ram}\\";
  ram.letter = L'X';
  ram.extents = {{0xFFFFFFFFu, 0, 3 << 20}};
  SimAddVolume(ram);
  OsHandle vol = Open(L"\\\\.\\X:", kGenericRead, kShareRW);
  std::vector<uint8_t> ext(64);
  uint32_t returned = 0;
  ASSERT_EQ(Control(vol, kIoctlVolumeGetVolumeDiskExtents, &ext, &returned), 0u);
  EXPECT_EQ(returned, 32u);
  EXPECT_EQ(U32(ext, 8), 0xFFFFFFFFu);
  OsClose(vol);
  OsHandle disk = Open(kDrive1, kRW, 0);
  EXPECT_EQ(WriteAt(disk, 0, std::vector<uint8_t>(512, 1)), 0u);
  EXPECT_EQ(Control(disk, kIoctlDiskDeleteDriveLayout, &ext, &returned), 0u);
  OsClose(disk);
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{ram}"));
}

// A card reader without its card: the inventory opens every disk for
// reading, and this one does not open, so it is not listed.
TEST_F(SimDevices, AnEmptyReaderIsNotListed) {
  SimDisk reader;
  reader.number = 3;
  reader.length = 1 << 20;
  reader.removable = true;
  reader.noMedia = true;
  SimAddDisk(reader);
  EnumerateDisks();
  ASSERT_EQ(diskTable.count, 2);
  EXPECT_EQ(diskTable.entries[0].number, 1);
  EXPECT_EQ(diskTable.entries[1].number, 2);
  OsHandle h = Open(L"\\\\.\\PhysicalDrive3", kGenericWrite, kShareRW);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(OsLastError(), 21u);
}

// A partition table the write itself puts on the disk: once another process
// has the table read anew (rescan=N after the Nth write), its FAT partition
// is a mounted volume with the first free letter, and it refuses the rest of
// the write. Only the MBR's FAT partitions count, and only once.
TEST_F(SimDevices, ARescanTurnsTheWrittenTableIntoVolumes) {
  SimReset();
  SimDisk d;
  d.number = 1;
  d.length = 64 << 20;
  d.rescanAfterWrites = 2;
  SimAddDisk(d);
  SimVolume c;
  c.name = L"\\\\?\\Volume{c}\\";
  c.letter = L'C';
  c.extents = {{0xFFFFFFFFu, 0, 1 << 20}};
  SimAddVolume(c);
  std::vector<uint8_t> head(1 << 20);
  FatImageBytes(64 << 20, 0, head.data(), head.size());
  OsHandle disk = Open(kDrive1, kRW, 0);
  EXPECT_EQ(WriteAt(disk, 0, head), 0u);
  EXPECT_EQ(WriteAt(disk, 1 << 20, std::vector<uint8_t>(4096, 1)), 0u);
  // The second write was taken: the table was read, and the volume is there.
  EXPECT_EQ(WriteAt(disk, 2 << 20, std::vector<uint8_t>(4096, 1)), 5u);
  OsHandle vol = Open(L"\\\\.\\D:", kGenericRead, kShareRW);
  ASSERT_NE(vol, nullptr);
  std::vector<uint8_t> ext(64);
  uint32_t returned = 0;
  ASSERT_EQ(Control(vol, kIoctlVolumeGetVolumeDiskExtents, &ext, &returned), 0u);
  EXPECT_EQ(U32(ext, 0), 1u);
  EXPECT_EQ(U32(ext, 8), 1u);
  EXPECT_EQ(U64(ext, 16), kFatImagePartitionOffset);
  EXPECT_EQ(U64(ext, 24), (64u << 20) - kFatImagePartitionOffset);
  OsClose(vol);
  OsClose(disk);

  // Read again: the partition has its volume already. Another type is no FAT.
  SimRescanDisk(1);
  wchar_t name[260];
  OsFindHandle f = nullptr;
  std::vector<std::wstring> names;
  ASSERT_TRUE(OsFindFirstVolume(name, 260, &f));
  do names.push_back(name);
  while (OsFindNextVolume(f, name, 260));
  OsFindVolumeClose(f);
  EXPECT_EQ(names.size(), 2u);
  head[446 + 4] = 0x07;
  SimDisk other = d;
  other.number = 2;
  other.rescanAfterWrites = 1;
  SimAddDisk(other);
  disk = Open(L"\\\\.\\PhysicalDrive2", kRW, 0);
  EXPECT_EQ(WriteAt(disk, 0, head), 0u);
  EXPECT_EQ(WriteAt(disk, 2 << 20, std::vector<uint8_t>(4096, 1)), 0u);
  OsClose(disk);
  EXPECT_EQ(OpenError(L"\\\\.\\E:", kGenericRead, kShareRW), 2u);
}

TEST_F(SimDevices, PlainFiles) {
  SimPutFile(L"X:\\prohibited_disks.txt", {'A', 'B', '\n'});
  OsHandle h = Open(L"x:\\PROHIBITED_DISKS.TXT", kGenericRead, kFileShareRead);
  ASSERT_NE(h, nullptr);
  int64_t size = 0;
  ASSERT_TRUE(OsGetFileSizeEx(h, &size));
  EXPECT_EQ(size, 3);
  char buffer[8];
  uint32_t done = 0;
  ASSERT_TRUE(OsRead(h, buffer, 8, &done));
  EXPECT_EQ(std::string(buffer, done), "AB\n");
  ASSERT_TRUE(OsRead(h, buffer, 8, &done));  // end of file
  EXPECT_EQ(done, 0u);
  // Disk controls on a plain file.
  std::vector<uint8_t> out(8);
  uint32_t returned = 0;
  EXPECT_EQ(Control(h, kIoctlDiskGetLengthInfo, &out, &returned), 1u);
  OsClose(h);
  EXPECT_EQ(OpenError(L"X:\\missing.txt", kGenericRead, kFileShareRead), 2u);
  SimDeleteFile(L"X:\\prohibited_disks.txt");
  EXPECT_EQ(OpenError(L"X:\\prohibited_disks.txt", kGenericRead, kFileShareRead), 2u);

  // A host file is streamed: 20 GiB of sparse file, never loaded.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("sim_files_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path big = dir / "big.img";
  {
    std::ofstream(big, std::ios::binary) << "head";
  }
  std::filesystem::resize_file(big, (5ull << 32) + 7);
  SimPutHostFile(L"D:\\big.img", big.string());
  h = Open(L"D:\\big.img", kGenericRead, kFileShareRead);
  ASSERT_NE(h, nullptr);
  uint32_t high = 0;
  EXPECT_EQ(OsGetFileSize(h, &high), 7u);
  EXPECT_EQ(high, 5u);
  ASSERT_TRUE(OsRead(h, buffer, 6, &done));
  EXPECT_EQ(std::string(buffer, done), std::string("head\0\0", 6));
  ASSERT_TRUE(OsSeek(h, static_cast<int64_t>(5ull << 32) + 5));
  ASSERT_TRUE(OsRead(h, buffer, 8, &done));
  EXPECT_EQ(done, 2u);
  EXPECT_FALSE(OsSeek(h, -1));
  EXPECT_EQ(OsLastError(), 131u);
  OsClose(h);
  // Failure of GetFileSize is 0xFFFFFFFF with an error.
  EXPECT_EQ(OsGetFileSize(h, &high), 0xFFFFFFFFu);
  EXPECT_EQ(OsLastError(), 6u);
  SimPutHostFile(L"D:\\gone.img", (dir / "gone.img").string());
  EXPECT_EQ(OpenError(L"D:\\gone.img", kGenericRead, kFileShareRead), 2u);
  std::filesystem::remove_all(dir);
}

TEST_F(SimDevices, FileBackedDiskRoundTrip) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("sim_backing_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  SimDisk d;
  d.number = 9;
  d.length = 8 << 20;
  d.backingFile = (dir / "disk9.img").string();
  SimAddDisk(d);

  // Unwritten: zeros, and no file yet.
  EXPECT_EQ(SimReadDisk(9, 4096, 16), std::vector<uint8_t>(16, 0));
  EXPECT_FALSE(std::filesystem::exists(d.backingFile));

  OsHandle h = Open(L"\\\\.\\PhysicalDrive9", kRW, 0);
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  EXPECT_EQ(WriteAt(h, 2 << 20, data), 0u);
  EXPECT_TRUE(OsFlush(h));
  OsClose(h);
  EXPECT_EQ(std::filesystem::file_size(d.backingFile), 8u << 20);
  std::ifstream in(d.backingFile, std::ios::binary);
  in.seekg(2 << 20);
  std::vector<uint8_t> onHost(data.size());
  in.read(reinterpret_cast<char*>(onHost.data()), static_cast<std::streamsize>(onHost.size()));
  EXPECT_EQ(onHost, data);
  EXPECT_EQ(SimReadDisk(9, 2 << 20, data.size()), data);

  h = Open(L"\\\\.\\PhysicalDrive9", kGenericRead, kShareRW);
  std::vector<uint8_t> back(data.size());
  uint32_t done = 0;
  ASSERT_TRUE(OsSeek(h, 2 << 20));
  ASSERT_TRUE(OsRead(h, back.data(), static_cast<uint32_t>(back.size()), &done));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(OsFlush(h));  // needs write access
  EXPECT_EQ(OsLastError(), 5u);
  OsClose(h);
  SimReset();
  std::filesystem::remove_all(dir);
}

}  // namespace
