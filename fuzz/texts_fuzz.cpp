// Device text of any content, "%" sequences included, in the list line and
// the status line: always terminated, within the buffer, and the text itself
// (never interpreted as a format).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "core/disks.h"
#include "core/text.h"
#include "tests/support/fake_view.h"
#include "ui/commands.h"
#include "ui/view.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  DiskEntry e;
  std::memset(&e, 0, sizeof e);
  e.number = static_cast<int32_t>(data[0]) - 64;
  std::memcpy(&e.sizeBytes, data + 1, 8);
  data += 9;
  size -= 9;
  // Each input byte becomes one character, so "%" sequences come through.
  size_t half = size / 2;
  for (size_t i = 0; i < half && i + 1 < kNameChars; ++i)
    e.displayName[i] = static_cast<wchar_t>(data[i] == 0 ? '%' : data[i]);
  for (size_t i = half; i < size && i - half + 1 < kSerialChars; ++i)
    e.serial[i - half] = static_cast<wchar_t>(data[i] == 0 ? 's' : data[i]);

  wchar_t line[512];
  wmemset(line, L'#', 512);
  FormatDiskLine(e, line, 512);
  size_t n = wcsnlen(line, 512);
  if (n >= 512) abort();
  // The name appears literally unless the line was cut before it.
  if (n < 511 && std::wstring(line).find(e.displayName) == std::wstring::npos)
    abort();

  static bool ready = [] {
    FakeViewReset();
    return true;
  }();
  (void)ready;
  SetStatus(L"正在删除 PhysicalDrive%d (%ls) 上的全部分区...", e.number,
            e.displayName);
  std::wstring status = FakeText(kStatusLabel);
  // The view logs every call; one run's log is all a run may keep.
  FakeClearEvents();
  if (status.size() > 511) abort();
  if (status.size() < 511 && status.find(e.displayName) == std::wstring::npos)
    abort();

  wchar_t small[7];
  FormatText(small, 7, L"%ls%%%d", e.serial, e.number);
  if (wcsnlen(small, 7) >= 7) abort();
  return 0;
}
