// What the window's buttons and list notifications do.
#include "ui/commands.h"

#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "ui/view.h"

namespace {

constexpr int kSelectionChanged = 1;  // LBN_SELCHANGE

// The slot of the selected line, or -1. A line past the table's end would
// name a stale slot, so it counts as no selection.
int32_t SelectedSlot() {
  int selection = ViewListSelection();
  if (selection < 0 || selection >= diskTable.count) return -1;
  return selection;
}

// Copies the selected disk's entry for Start and Delete, or tells the user to
// pick one. Copied before any question: the job works on the disk the user
// confirmed, whatever happens to the table while a box is open.
bool TakeSelectedDisk(DiskEntry* disk) {
  int32_t slot = SelectedSlot();
  if (slot < 0) {
    ViewMessageBox(BoxOwner::kMainWindow, L"请先选择目标磁盘", L"提示",
                   kMbIconInformation);
    return false;
  }
  *disk = diskTable.entries[slot];
  return true;
}

void SetButtons(bool start, bool cancel, bool del) {
  ViewEnable(kStartButton, start);
  ViewEnable(kCancelButton, cancel);
  ViewEnable(kDeleteButton, del);
}

void ShowCommandBox(const wchar_t* text, const wchar_t* caption,
                    uint32_t flags) {
  ViewMessageBox(BoxOwner::kMainWindow, text, caption, flags);
}

void ShowSerial() {
  int32_t slot = SelectedSlot();
  ViewSetText(kSerialBox, slot < 0 ? L"" : diskTable.entries[slot].serial);
}

void Refresh() {
  LoadProtectedSerials();
  EnumerateDisks();
  FillDiskList();
  SetStatus(L"磁盘列表已刷新");
  ViewSetText(kSerialBox, L"");
}

void Browse() {
  wchar_t path[260];
  path[0] = L'\0';
  if (ViewOpenFileDialog(path, 260)) ViewSetText(kImagePathBox, path);
}

void Start() {
  DiskEntry disk;
  if (!TakeSelectedDisk(&disk)) return;
  if (disk.number == bootDiskNumber) {
    ShowCommandBox(L"不能写入当前 PE 磁盘", L"错误", kMbIconError);
    return;
  }
  if (IsProtectedSerial(disk.serial)) {
    ShowCommandBox(
        L"警告：该磁盘编号在硬编码或外部禁止写入列表中，操作被阻止。",
        L"禁止写入", kMbIconError);
    return;
  }
  wchar_t question[256];
  FormatText(question, 256,
             L"将把镜像写入 PhysicalDrive%d (%ls)，所有数据将丢失，确认？",
             disk.number, disk.displayName);
  if (ViewMessageBox(BoxOwner::kMainWindow, question, L"确认",
                     kMbYesNo | kMbIconWarning) != kIdYes)
    return;

  SetButtons(false, true, false);
  cancelRequested = false;
  // Without a thread nothing would ever give the buttons back.
  if (!StartWriteImageJob(disk)) SetButtons(true, false, true);
}

void Cancel() {
  cancelRequested = true;
  SetStatus(L"取消中...");
}

void Delete() {
  DiskEntry disk;
  if (!TakeSelectedDisk(&disk)) return;
  // The protected lists guard writes only; Delete refuses the boot disk alone
  // and leaves the rest to its final confirmation.
  if (disk.number == bootDiskNumber) {
    ShowCommandBox(L"不能删除当前 PE 磁盘的分区", L"错误", kMbIconError);
    return;
  }
  wchar_t question[256];
  FormatText(question, 256,
             L"警告：您确定要删除 PhysicalDrive%d (%ls) 上的所有分区吗？\n"
             L"此操作将清空整个磁盘的分区表，所有数据将丢失且不可恢复！",
             disk.number, disk.displayName);
  if (ViewMessageBox(BoxOwner::kMainWindow, question, L"最终确认",
                     kMbYesNo | kMbIconError) != kIdYes)
    return;

  SetButtons(false, false, false);
  if (!StartWipePartitionsJob(disk)) SetButtons(true, false, true);
}

}  // namespace

void HandleCommand(int id, int notification) {
  switch (id) {
    case kDiskList:
      if (notification == kSelectionChanged) ShowSerial();
      break;
    case kRefreshButton:
      Refresh();
      break;
    case kBrowseButton:
      Browse();
      break;
    case kStartButton:
      Start();
      break;
    case kCancelButton:
      Cancel();
      break;
    case kDeleteButton:
      Delete();
      break;
    default:
      break;
  }
}
