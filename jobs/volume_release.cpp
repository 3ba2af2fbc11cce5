// Making the file systems on a disk let go of it before it is overwritten.

#include <cwchar>

#include "core/bytes.h"
#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kVolumeNameChars = 260;
constexpr uint32_t kExtentReplyBytes = 1024;
// VOLUME_DISK_EXTENTS: a DWORD count padded to 8 bytes, then DISK_EXTENTs of
// 24 bytes each (DWORD DiskNumber, padding, two LARGE_INTEGERs).
constexpr uint32_t kExtentHeaderBytes = 8;
constexpr uint32_t kExtentBytes = 24;
constexpr uint32_t kMinExtentReply = kExtentHeaderBytes + kExtentBytes;

}  // namespace

// Whether an extents reply of `replyBytes` bytes names disk `number`. The
// count is taken as the driver states it, but only extents wholly inside the
// reply are looked at: a driver that claims more than it sent must not make
// us read stale or foreign bytes.
bool ExtentReplyListsDisk(const unsigned char* reply, uint32_t replyBytes,
                          int32_t number) {
  if (replyBytes < kMinExtentReply) return false;
  if (replyBytes > kExtentReplyBytes) replyBytes = kExtentReplyBytes;
  uint32_t count = ReadLe32(reply);
  uint32_t fitting = (replyBytes - kExtentHeaderBytes) / kExtentBytes;
  if (count > fitting) count = fitting;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* extent = reply + kExtentHeaderBytes + i * kExtentBytes;
    if (ReadLe32(extent) == static_cast<uint32_t>(number)) return true;
  }
  return false;
}

namespace {

// Walks the listed volumes and, for each one with an extent on disk `number`,
// locks and dismounts it. With `keep` the volume handle is kept, so the lock
// goes on holding the volume down; without, it is unlocked and closed at once.
// With `confirmed` (a handle checked to reach the device `expected`
// describes), a volume is touched only once the device is known to be still
// that one after its extents were read: then the number named that device
// all along, so the volume lies on it, and its handle never reaches another
// device's volume. Otherwise the walk stops, and *stopped says why.
bool WalkDiskVolumes(int32_t number, HeldVolumes* keep, OsHandle confirmed,
                     const DiskEntry* expected, uint32_t* stopped) {
  wchar_t name[kVolumeNameChars];
  OsFindHandle find = nullptr;
  if (!OsFindFirstVolume(name, kVolumeNameChars, &find)) return false;
  FindVolumeGuard findGuard(find);

  bool matched = false;
  do {
    if (name[0] == L'\0') continue;
    wchar_t path[kVolumeNameChars];
    CopyText(path, kVolumeNameChars, name);
    // The enumeration's trailing backslash would open the root directory,
    // not the volume.
    size_t length = std::wcslen(path);
    if (path[length - 1] == L'\\') path[length - 1] = L'\0';

    HandleGuard volume;
    if (!OsOpen(path, kGenericRead | kGenericWrite,
                kFileShareRead | kFileShareWrite, kOpenExisting, 0,
                volume.out()))
      continue;
    alignas(8) unsigned char reply[kExtentReplyBytes];
    uint32_t replyBytes = 0;
    if (!OsDeviceControl(volume.get(), kIoctlVolumeGetVolumeDiskExtents,
                         nullptr, 0, reply, kExtentReplyBytes, &replyBytes) ||
        replyBytes < kMinExtentReply)
      continue;
    if (!ExtentReplyListsDisk(reply, replyBytes, number)) continue;
    if (confirmed != nullptr && CheckSameDisk(confirmed, *expected) != 0) {
      *stopped = kErrorMediaChanged;
      break;
    }

    // A volume that refuses the lock (a file on it is open) may still
    // dismount.
    uint32_t unused = 0;
    const bool locked = OsDeviceControl(volume.get(), kFsctlLockVolume, nullptr,
                                        0, nullptr, 0, &unused);
    OsDeviceControl(volume.get(), kFsctlDismountVolume, nullptr, 0, nullptr,
                    0, &unused);
    matched = true;
    if (keep != nullptr) {
      // The forced dismount has closed every file on the volume, so the lock
      // another program's open file refused may be granted now; without it
      // that program may mount the volume again in the middle of the write.
      // Still refused, the volume is kept as it is.
      if (!locked)
        OsDeviceControl(volume.get(), kFsctlLockVolume, nullptr, 0, nullptr, 0,
                        &unused);
      if (keep->Keep(volume.get())) {
        volume.Release();
        continue;
      }
    }
    OsDeviceControl(volume.get(), kFsctlUnlockVolume, nullptr, 0, nullptr, 0,
                    &unused);
  } while (OsFindNextVolume(find, name, kVolumeNameChars));
  return matched;
}

}  // namespace

bool ReleaseDiskVolumes(int32_t number) {
  return WalkDiskVolumes(number, nullptr, nullptr, nullptr, nullptr);
}

uint32_t ReleaseConfirmedDiskVolumes(OsHandle confirmed,
                                     const DiskEntry& disk) {
  uint32_t stopped = 0;
  WalkDiskVolumes(disk.number, nullptr, confirmed, &disk, &stopped);
  return stopped;
}

uint32_t TakeDiskVolumes(OsHandle confirmed, const DiskEntry& disk,
                         HeldVolumes* held) {
  uint32_t stopped = 0;
  WalkDiskVolumes(disk.number, held, confirmed, &disk, &stopped);
  return stopped;
}

bool HeldVolumes::Keep(OsHandle volume) {
  if (count_ == kMaxHeldVolumes) return false;
  handles_[count_++] = volume;
  return true;
}

void HeldVolumes::Close() {
  // Closing a handle that holds a lock ends the lock.
  for (int i = 0; i < count_; ++i) OsClose(handles_[i]);
  count_ = 0;
}
