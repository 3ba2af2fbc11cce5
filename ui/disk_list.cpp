// The disk list and the state the window starts in.
#include "core/text.h"
#include "ui/commands.h"
#include "ui/view.h"

void FormatDiskLine(const DiskEntry& entry, wchar_t* buffer, size_t capacity) {
  // The boot disk mark wins: a disk is never shown with both.
  wchar_t suffix[64];
  if (entry.number == bootDiskNumber)
    CopyText(suffix, 64, L" (PE盘，禁止写入)");
  else if (IsProtectedSerial(entry.serial))
    CopyText(suffix, 64, L" (禁止列表，禁止写入)");
  else
    suffix[0] = L'\0';
  double gigabytes = static_cast<double>(entry.sizeBytes) / 1073741824.0;
  // Device text is only ever an argument, so a '%' in a name prints as itself.
  FormatText(buffer, capacity, L"#%d  %ls  %.2f GB%ls", entry.number,
             entry.displayName, gigabytes, suffix);
}

void FillDiskList() {
  ViewListReset();
  // The list is unsorted, so line i stays slot i for the commands.
  for (int32_t i = 0; i < diskTable.count; ++i) {
    wchar_t line[512];
    FormatDiskLine(diskTable.entries[i], line, 512);
    ViewListAdd(line);
  }
}

void InitializeWindowState() {
  LoadProtectedSerials();
  EnumerateDisks();
  FillDiskList();
  ViewSetProgress(0);
  SetStatus(L"准备就绪");
}
