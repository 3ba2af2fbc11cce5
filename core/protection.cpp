// Serial numbers of disks that must never be written: built in, and listed in
// prohibited_disks.txt beside the executable.
#include <cstring>

#include "core/disks.h"
#include "core/text.h"

const wchar_t* const builtinProtectedSerials[] = {
    L"5D2C8E1F07A3",
    L"0000_0000_0000_0000_0000_0074_2916_5830.",
    L"BC000000003170006425",
    nullptr,
};

wchar_t fileProtectedSerials[kMaxFileSerials][kSerialChars];
int32_t fileProtectedSerialCount;

namespace {

constexpr uint32_t kPathChars = 260;
constexpr wchar_t kListFileName[] = L"prohibited_disks.txt";
constexpr size_t kListFileNameChars = sizeof kListFileName / sizeof(wchar_t) - 1;
constexpr size_t kTokenBytes = 256;

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// The list file's path beside the executable. false when there is none: the
// executable's path is unreadable or cut, or its folder leaves no room for
// the file name within 260 characters.
bool ListFilePath(wchar_t* path) {
  wchar_t module[kPathChars];
  uint32_t length = OsModuleFileName(module, kPathChars);
  if (length == 0 || length >= kPathChars) return false;
  size_t folder = 0;  // characters up to and including the last backslash
  for (size_t i = 0; i < length; ++i)
    if (module[i] == L'\\') folder = i + 1;
  if (folder + kListFileNameChars + 1 > kPathChars) return false;
  std::memcpy(path, module, folder * sizeof(wchar_t));
  std::memcpy(path + folder, kListFileName, sizeof kListFileName);
  return true;
}

}  // namespace

void ParseProtectedSerials(const char* bytes, size_t length) {
  fileProtectedSerialCount = 0;
  size_t end = 0;
  while (end < length && bytes[end] != '\0') ++end;

  size_t pos = 0;
  while (pos < end && fileProtectedSerialCount < kMaxFileSerials) {
    while (pos < end && IsLineBreak(bytes[pos])) ++pos;
    if (pos == end) break;
    size_t start = pos;
    while (pos < end && !IsLineBreak(bytes[pos])) ++pos;

    char token[kTokenBytes] = {};
    size_t n = pos - start;
    if (n > kTokenBytes - 1) n = kTokenBytes - 1;
    std::memcpy(token, bytes + start, n);
    TrimTrailingBlanks(token);
    if (token[0] == '#' || token[0] == '\0') continue;

    wchar_t* slot = fileProtectedSerials[fileProtectedSerialCount];
    // 255 bytes always fit 256 characters, but a failed conversion leaves the
    // slot unterminated, so it must not be counted.
    if (OsAnsiToWide(kCpAcp, token, -1, slot, kSerialChars) <= 0) {
      slot[0] = L'\0';
      continue;
    }
    ++fileProtectedSerialCount;
  }
}

void LoadProtectedSerials() {
  fileProtectedSerialCount = 0;
  wchar_t path[kPathChars];
  if (!ListFilePath(path)) return;

  HandleGuard file;
  if (!OsOpen(path, kGenericRead, kFileShareRead, kOpenExisting,
              kFileAttributeNormal, file.out()))
    return;
  // A file of 4 GiB or more is oversized, whatever its low 32 bits say.
  uint32_t high = 0;
  uint32_t size = OsGetFileSize(file.get(), &high);
  if (high != 0 || size == 0 || size > kMaxProtectedFileBytes) return;

  char* text = static_cast<char*>(OsHeapAlloc(size + 1));
  if (text == nullptr) return;
  uint32_t done = 0;
  if (OsRead(file.get(), text, size, &done) && done > 0) {
    if (done > size) done = size;
    text[done] = '\0';
    ParseProtectedSerials(text, done);
  }
  OsHeapFree(text);
}

bool IsProtectedSerial(const wchar_t* serial) {
  if (serial == nullptr || serial[0] == L'\0') return false;
  for (const wchar_t* const* entry = builtinProtectedSerials; *entry != nullptr;
       ++entry)
    if (EqualsIgnoringAsciiCase(serial, *entry)) return true;
  for (int32_t i = 0; i < fileProtectedSerialCount; ++i)
    if (EqualsIgnoringAsciiCase(serial, fileProtectedSerials[i])) return true;
  return false;
}
