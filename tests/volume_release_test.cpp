// Volume release on the simulated machine: which volumes are let go, in which
// order, and that malformed driver answers are never read past.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "jobs/jobs.h"
#include "platform/sim/sim.h"

namespace {

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

SimVolume Volume(const std::wstring& name, std::vector<SimExtent> extents) {
  SimVolume v;
  v.name = name;
  v.extents = std::move(extents);
  return v;
}

void AddDisks(std::initializer_list<int> numbers) {
  for (int n : numbers) {
    SimDisk d;
    d.number = n;
    d.length = 8 * kGiB;
    SimAddDisk(d);
  }
}

// The volume control calls as "<name> lock|dismount|unlock|extents".
std::vector<std::string> VolumeCalls() {
  std::vector<std::string> out;
  for (const SimCall& c : SimCallLog()) {
    if (c.op != SimOp::kDeviceControl) continue;
    std::string name(c.target.begin(), c.target.end());
    switch (c.code) {
      case kFsctlLockVolume: out.push_back(name + " lock"); break;
      case kFsctlDismountVolume: out.push_back(name + " dismount"); break;
      case kFsctlUnlockVolume: out.push_back(name + " unlock"); break;
      case kIoctlVolumeGetVolumeDiskExtents:
        out.push_back(name + " extents");
        break;
      default: out.push_back(name + " other"); break;
    }
  }
  return out;
}

std::vector<std::wstring> OpenedPaths() {
  std::vector<std::wstring> out;
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kOpen) out.push_back(c.target);
  return out;
}

void ExpectNothingHeld() {
  EXPECT_EQ(SimOpenHandles(), 0);
  EXPECT_EQ(SimOpenFinds(), 0);
}

class VolumeRelease : public ::testing::Test {
 protected:
  void SetUp() override { SimReset(); }
};

TEST_F(VolumeRelease, EveryListedVolumeOfTheDiskInEnumerationOrder) {
  AddDisks({1, 2});
  SimAddVolume(Volume(L"\\\\?\\Volume{c}\\", {{1, 1 << 20, kGiB}}));
  SimAddVolume(Volume(L"\\\\?\\Volume{other}\\", {{2, 1 << 20, kGiB}}));
  SimAddVolume(Volume(L"\\\\?\\Volume{a}\\", {{1, 2 * kGiB, kGiB}}));
  SimVolume hidden = Volume(L"\\\\?\\Volume{hidden}\\", {{1, 5 * kGiB, kGiB}});
  hidden.listed = false;
  SimAddVolume(hidden);
  SimAddVolume(Volume(L"\\\\?\\Volume{b}\\", {{1, 4 * kGiB, kGiB}}));

  EXPECT_TRUE(ReleaseDiskVolumes(1));

  EXPECT_EQ(VolumeCalls(),
            (std::vector<std::string>{
                "\\\\?\\Volume{c} extents", "\\\\?\\Volume{c} lock",
                "\\\\?\\Volume{c} dismount", "\\\\?\\Volume{c} unlock",
                "\\\\?\\Volume{other} extents",
                "\\\\?\\Volume{a} extents", "\\\\?\\Volume{a} lock",
                "\\\\?\\Volume{a} dismount", "\\\\?\\Volume{a} unlock",
                "\\\\?\\Volume{b} extents", "\\\\?\\Volume{b} lock",
                "\\\\?\\Volume{b} dismount", "\\\\?\\Volume{b} unlock"}));
  for (const wchar_t* name :
       {L"\\\\?\\Volume{c}\\", L"\\\\?\\Volume{a}\\", L"\\\\?\\Volume{b}\\"}) {
    EXPECT_FALSE(SimVolumeMounted(name));
    EXPECT_FALSE(SimVolumeLocked(name));
  }
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{other}\\"));
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{hidden}\\"));
  for (const std::wstring& p : OpenedPaths()) {
    EXPECT_EQ(p.find(L"hidden"), std::wstring::npos);
  }

  // Opened for reading and writing, shared, and closed before the next
  // volume is asked for.
  std::vector<SimCall> log = SimCallLog();
  int open = 0;
  for (const SimCall& c : log) {
    if (c.op == SimOp::kOpen) {
      EXPECT_EQ(c.code, kGenericRead | kGenericWrite);
      EXPECT_EQ(c.share, kFileShareRead | kFileShareWrite);
      ++open;
    }
    if (c.op == SimOp::kClose) --open;
    if (c.op == SimOp::kFindNextVolume || c.op == SimOp::kFindVolumeClose) {
      EXPECT_EQ(open, 0);
    }
  }
  ExpectNothingHeld();
}

TEST_F(VolumeRelease, SpanningVolumeGoesForEitherDisk) {
  for (int target : {1, 2}) {
    SCOPED_TRACE(target);
    SimReset();
    AddDisks({1, 2});
    SimAddVolume(Volume(L"\\\\?\\Volume{span}\\",
                        {{1, 0, kGiB}, {2, 0, kGiB}}));
    EXPECT_TRUE(ReleaseDiskVolumes(target));
    EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{span}\\"));
    ExpectNothingHeld();
  }
  SimReset();
  AddDisks({1, 2, 3});
  SimAddVolume(Volume(L"\\\\?\\Volume{span}\\", {{1, 0, kGiB}, {2, 0, kGiB}}));
  EXPECT_FALSE(ReleaseDiskVolumes(3));
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{span}\\"));
}

TEST_F(VolumeRelease, TargetListedTwiceIsReleasedOnce) {
  AddDisks({1, 2});
  SimAddVolume(Volume(L"\\\\?\\Volume{twice}\\",
                      {{1, 0, kGiB}, {2, 0, kGiB}, {1, 2 * kGiB, kGiB}}));
  EXPECT_TRUE(ReleaseDiskVolumes(1));
  EXPECT_EQ(VolumeCalls(), (std::vector<std::string>{
                               "\\\\?\\Volume{twice} extents",
                               "\\\\?\\Volume{twice} lock",
                               "\\\\?\\Volume{twice} dismount",
                               "\\\\?\\Volume{twice} unlock"}));
  ExpectNothingHeld();
}

TEST_F(VolumeRelease, NothingToReleaseOnlyAsks) {
  AddDisks({1, 2});
  SimAddVolume(Volume(L"\\\\?\\Volume{x}\\", {{2, 0, kGiB}}));
  SimAddVolume(Volume(L"\\\\?\\Volume{y}\\", {{2, kGiB, kGiB}}));
  EXPECT_FALSE(ReleaseDiskVolumes(1));
  EXPECT_EQ(VolumeCalls(), (std::vector<std::string>{
                               "\\\\?\\Volume{x} extents",
                               "\\\\?\\Volume{y} extents"}));
  ExpectNothingHeld();

  // No volumes at all: the enumeration does not start.
  SimReset();
  AddDisks({1});
  EXPECT_FALSE(ReleaseDiskVolumes(1));
  EXPECT_TRUE(VolumeCalls().empty());
  ExpectNothingHeld();
}

TEST_F(VolumeRelease, NamesAreOpenedWithoutOneTrailingBackslash) {
  AddDisks({1});
  SimAddVolume(Volume(L"\\\\?\\Volume{plain}", {{1, 0, kGiB}}));
  SimAddVolume(Volume(L"\\\\?\\Volume{slash}\\", {{1, kGiB, kGiB}}));
  SimAddVolume(Volume(L"", {{1, 2 * kGiB, kGiB}}));
  EXPECT_TRUE(ReleaseDiskVolumes(1));
  EXPECT_EQ(OpenedPaths(), (std::vector<std::wstring>{
                               L"\\\\?\\Volume{plain}",
                               L"\\\\?\\Volume{slash}"}));
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{plain}"));
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{slash}\\"));
  ExpectNothingHeld();
}

TEST_F(VolumeRelease, UnreadableVolumesAreSkipped) {
  AddDisks({1});
  SimVolume broken = Volume(L"\\\\?\\Volume{broken}\\", {{1, 0, kGiB}});
  broken.extentsError = 1;
  SimAddVolume(broken);
  SimAddVolume(Volume(L"\\\\?\\Volume{locked}\\", {{1, kGiB, kGiB}}));
  SimAddVolume(Volume(L"\\\\?\\Volume{fine}\\", {{1, 2 * kGiB, kGiB}}));
  SimFault refuse;
  refuse.op = SimOp::kOpen;
  refuse.target = L"Volume{locked}";
  refuse.error = 5;
  SimAddFault(refuse);
  // A failed lock does not stop the dismount.
  SimFault noLock;
  noLock.op = SimOp::kDeviceControl;
  noLock.target = L"Volume{fine}";
  noLock.ioctl = kFsctlLockVolume;
  noLock.error = 5;
  SimAddFault(noLock);

  EXPECT_TRUE(ReleaseDiskVolumes(1));
  EXPECT_EQ(VolumeCalls(), (std::vector<std::string>{
                               "\\\\?\\Volume{broken} extents",
                               "\\\\?\\Volume{fine} extents",
                               "\\\\?\\Volume{fine} lock",
                               "\\\\?\\Volume{fine} dismount",
                               "\\\\?\\Volume{fine} unlock"}));
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{broken}\\"));
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{locked}\\"));
  EXPECT_FALSE(SimVolumeMounted(L"\\\\?\\Volume{fine}\\"));
  ExpectNothingHeld();
}

// More extents than the 1024-byte reply holds: the driver refuses the short
// buffer, and the volume is passed over rather than half read.
TEST_F(VolumeRelease, VolumeWithTooManyExtentsIsPassedOver) {
  AddDisks({1, 2});
  std::vector<SimExtent> extents;
  for (int i = 0; i < 60; ++i)
    extents.push_back({2, static_cast<uint64_t>(i) * kGiB / 64, kGiB / 64});
  extents.push_back({1, 0, kGiB});
  SimAddVolume(Volume(L"\\\\?\\Volume{many}\\", extents));
  EXPECT_FALSE(ReleaseDiskVolumes(1));
  EXPECT_FALSE(ReleaseDiskVolumes(2));  // though the part it got names disk 2
  EXPECT_TRUE(SimVolumeMounted(L"\\\\?\\Volume{many}\\"));
  ExpectNothingHeld();
}

// ---- the extent walk itself ---------------------------------------------------

struct Reply {
  alignas(8) unsigned char bytes[1024];
};

Reply MakeReply(uint32_t count, std::vector<uint32_t> disks) {
  Reply r;
  std::memset(r.bytes, 0, sizeof r.bytes);
  std::memcpy(r.bytes, &count, 4);
  for (size_t i = 0; i < disks.size() && 8 + 24 * (i + 1) <= 1024; ++i)
    std::memcpy(r.bytes + 8 + 24 * i, &disks[i], 4);
  return r;
}

TEST(VolumeReleaseReplies, OnlyExtentsInsideTheReplyAreRead) {
  // Disk 7 sits in the buffer behind the bytes the driver returned.
  Reply claimsMore = MakeReply(1000000, {3, 7});
  EXPECT_TRUE(ExtentReplyListsDisk(claimsMore.bytes, 32, 3));
  EXPECT_FALSE(ExtentReplyListsDisk(claimsMore.bytes, 32, 7));
  EXPECT_TRUE(ExtentReplyListsDisk(claimsMore.bytes, 56, 7));
  // An extent cut in half is not an extent.
  EXPECT_FALSE(ExtentReplyListsDisk(claimsMore.bytes, 55, 7));
  // The count is honoured when it is smaller than the reply.
  Reply one = MakeReply(1, {3, 7});
  EXPECT_FALSE(ExtentReplyListsDisk(one.bytes, 56, 7));
  // Too short for a single extent.
  EXPECT_FALSE(ExtentReplyListsDisk(claimsMore.bytes, 31, 3));
}

TEST(VolumeReleaseReplies, NeverPastTheReplyBuffer) {
  // 42 whole extents fit in 1024 bytes; a reply size claiming more is held
  // to the buffer. Disk 10 lies in the memory right behind it.
  alignas(8) unsigned char memory[2048];
  std::vector<uint32_t> disks(42, 3);
  disks[41] = 9;
  Reply full = MakeReply(0xFFFFFFFFu, disks);
  std::memcpy(memory, full.bytes, 1024);
  for (size_t at = 1024; at + 4 <= sizeof memory; at += 4) {
    uint32_t ten = 10;
    std::memcpy(memory + at, &ten, 4);
  }
  EXPECT_TRUE(ExtentReplyListsDisk(memory, 1024, 9));
  EXPECT_TRUE(ExtentReplyListsDisk(memory, 0xFFFFFFFFu, 9));
  EXPECT_FALSE(ExtentReplyListsDisk(memory, 0xFFFFFFFFu, 10));
  EXPECT_FALSE(ExtentReplyListsDisk(memory, 2048, 10));
}

}  // namespace
