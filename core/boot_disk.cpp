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

// The disk that holds the volume of the executable's drive letter, or -1.
int32_t VolumeCandidate() {
  wchar_t module[kModulePathChars];
  uint32_t length = OsModuleFileName(module, kModulePathChars);
  if (length < 3 || module[1] != L':') return -1;

  wchar_t volumePath[16];
  FormatText(volumePath, 16, L"\\\\.\\%c:", static_cast<int>(module[0]));
  HandleGuard volume;
  if (!OsOpen(volumePath, kGenericRead, kFileShareRead | kFileShareWrite,
              kOpenExisting, 0, volume.out()))
    return -1;
  unsigned char reply[kExtentsReplyBytes];
  uint32_t returned = 0;
  bool ok = OsDeviceControl(volume.get(), kIoctlVolumeGetVolumeDiskExtents,
                            nullptr, 0, reply, sizeof reply, &returned);
  volume.Close();
  if (!ok || returned < kFirstExtentBytes) return -1;
  uint32_t disk = ReadLe32(reply + kFirstExtentDiskNumber);
  // A number past the signed range is no disk this program can address.
  if (disk > static_cast<uint32_t>(INT32_MAX)) return -1;
  return static_cast<int32_t>(disk);
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
  int32_t candidate = VolumeCandidate();
  if (candidate > 0) {
    bootDiskNumber = candidate;
    return;
  }
  for (int32_t number = 1; number < kMaxDisks; ++number) {
    if (IsRemovable(number)) {
      bootDiskNumber = number;
      return;
    }
  }
  bootDiskNumber = candidate >= 0 ? candidate : 0;
}
