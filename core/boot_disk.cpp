// Which disk the program runs from: that disk must never be written or wiped.
#include "core/disks.h"

#include "core/bytes.h"
#include "core/text.h"

int32_t bootDiskNumber = -1;

namespace {

constexpr uint32_t kModulePathChars = 260;
constexpr uint32_t kExtentsReplyBytes = 1024;
constexpr uint32_t kDescriptorReplyBytes = 2048;

// VOLUME_DISK_EXTENTS: the count, padding, then DISK_EXTENT entries of 24
// bytes whose first field is the disk number.
constexpr uint32_t kFirstExtentBytes = 32;
constexpr uint32_t kFirstExtentDiskNumber = 8;
// STORAGE_DEVICE_DESCRIPTOR up to and including RawDeviceProperties[1].
constexpr uint32_t kDescriptorBytes = 40;
constexpr uint32_t kRemovableMediaByte = 10;

// The first extent's disk number of the executable's drive letter, taken as
// the signed value it is stored as: a PE's RAM disk answers 0xFFFFFFFF, which
// is -1 and so names no disk. false when the volume gives no answer.
bool VolumeCandidate(int32_t* candidate) {
  wchar_t module[kModulePathChars];
  uint32_t length = OsModuleFileName(module, kModulePathChars);
  if (length < 3 || module[1] != L':') return false;

  wchar_t volumePath[16];
  FormatText(volumePath, 16, L"\\\\.\\%c:", static_cast<int>(module[0]));
  HandleGuard volume;
  if (!OsOpen(volumePath, kGenericRead, kFileShareRead | kFileShareWrite,
              kOpenExisting, 0, volume.out()))
    return false;
  unsigned char reply[kExtentsReplyBytes];
  uint32_t returned = 0;
  bool ok = OsDeviceControl(volume.get(), kIoctlVolumeGetVolumeDiskExtents,
                            nullptr, 0, reply, sizeof reply, &returned);
  volume.Close();
  if (!ok || returned < kFirstExtentBytes) return false;
  *candidate = static_cast<int32_t>(ReadLe32(reply + kFirstExtentDiskNumber));
  return true;
}

bool IsRemovable(int32_t number) {
  wchar_t path[kDevicePathChars];
  FormatDevicePath(path, kDevicePathChars, number);
  HandleGuard disk;
  if (!OsOpen(path, kGenericRead, kFileShareRead | kFileShareWrite,
              kOpenExisting, 0, disk.out()))
    return false;
  unsigned char query[12] = {};  // StorageDeviceProperty, PropertyStandardQuery
  unsigned char reply[kDescriptorReplyBytes];
  uint32_t returned = 0;
  bool ok = OsDeviceControl(disk.get(), kIoctlStorageQueryProperty, query,
                            sizeof query, reply, sizeof reply, &returned);
  disk.Close();
  return ok && returned >= kDescriptorBytes && returned <= sizeof reply &&
         reply[kRemovableMediaByte] != 0;
}

}  // namespace

void DetectBootDisk() {
  // A volume on drive 0 is not believed outright: a removable disk, if there
  // is one, is then the likelier boot medium.
  int32_t candidate = -1;
  const bool answered = VolumeCandidate(&candidate);
  if (answered && candidate > 0) {
    bootDiskNumber = candidate;
    return;
  }
  for (int32_t number = 1; number < kMaxDisks; ++number) {
    if (IsRemovable(number)) {
      bootDiskNumber = number;
      return;
    }
  }
  // With no removable disk, the volume's answer stands even when it names no
  // disk (a RAM disk): marking drive 0 then would refuse the very disk the
  // technician came to write.
  bootDiskNumber = answered ? candidate : 0;
}
