// The partition wipe: deletes a disk's whole layout on a worker thread.
#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/platform.h"
#include "ui/view.h"

void WipePartitionsJob(const DiskEntry& disk) {
  SetStatus(L"正在删除 PhysicalDrive%d (%ls) 上的全部分区...", disk.number,
            disk.displayName);
  wchar_t path[kDevicePathChars];
  FormatDevicePath(path, kDevicePathChars, disk.number);
  wchar_t message[256];
  bool deleted = false;

  // Another device may have the number by now; its volumes and its layout
  // are not the user's to lose. Checked before the release, on a handle
  // kept through it (a volume is let go only while that handle's device is
  // still the one confirmed), and again on the handle that deletes, which
  // stays with its device from then on.
  HandleGuard look;
  uint32_t refused = CheckSameDiskAt(disk, &look);
  // Mounted file systems would otherwise keep their own view of the old
  // layout; whether any volume let go changes nothing below.
  if (refused == 0) refused = ReleaseConfirmedDiskVolumes(look.get(), disk);
  look.Close();
  HandleGuard device;
  if (refused == 0) {
    if (!OsOpen(path, kGenericRead | kGenericWrite,
                kFileShareRead | kFileShareWrite, kOpenExisting, 0,
                device.out()))
      refused = FailureCode();
    else
      refused = CheckSameDisk(device.get(), disk);
  }

  if (refused != 0) {
    device.Close();
    FormatText(message, 256,
               L"打开目标磁盘失败 (错误码: %lu)。磁盘可能被其他程序锁定。",
               refused);
    SetStatus(L"删除失败 (打开磁盘失败)");
    ViewMessageBox(BoxOwner::kNone, message, L"错误", kMbIconError);
  } else {
    uint32_t returned = 0;
    deleted = OsDeviceControl(device.get(), kIoctlDiskDeleteDriveLayout,
                              nullptr, 0, nullptr, 0, &returned);
    // The code must be the control call's, so take it before the close.
    uint32_t error = deleted ? 0 : OsLastError();
    // Closed before the report: the box may stay open a long time.
    device.Close();
    if (deleted) {
      SetStatus(L"成功：PhysicalDrive%d 全部分区已删除。", disk.number);
      ViewMessageBox(BoxOwner::kNone, L"全部分区删除成功。请刷新列表。",
                     L"完成", kMbIconInformation);
    } else {
      FormatText(message, 256,
                 L"分区删除操作失败 (错误码: %lu)。请确保具有管理员权限。",
                 error);
      SetStatus(L"删除失败 (IOCTL 失败)");
      ViewMessageBox(BoxOwner::kNone, message, L"错误", kMbIconError);
    }
  }

  ViewEnable(kStartButton, true);
  ViewEnable(kCancelButton, false);
  ViewEnable(kDeleteButton, true);
  // Posted, so the list is rebuilt on the UI thread after this job is over.
  if (deleted) ViewPostRefresh();
}

namespace {

uint32_t WipeThread(void* arg) {
  DiskEntry* disk = static_cast<DiskEntry*>(arg);
  WipePartitionsJob(*disk);
  OsHeapFree(disk);
  return 0;
}

}  // namespace

bool StartWipePartitionsJob(const DiskEntry& disk) {
  // The thread owns its copy: the table may be rebuilt while it runs.
  DiskEntry* copy = static_cast<DiskEntry*>(OsHeapAlloc(sizeof(DiskEntry)));
  if (copy == nullptr) return false;
  *copy = disk;
  if (!OsStartThread(WipeThread, copy)) {
    OsHeapFree(copy);
    return false;
  }
  return true;
}
