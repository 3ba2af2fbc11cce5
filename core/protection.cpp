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

template <typename Char>
bool IsLineBreak(Char c) { return c == '\r' || c == '\n'; }

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

namespace {

// The text of a list file, one code unit at a time: 8-bit bytes, or UTF-16
// units of either byte order.
struct Bytes8 {
  const char* bytes;
  char operator[](size_t i) const { return bytes[i]; }
};
struct Units16 {
  const unsigned char* bytes;
  bool bigEndian;
  wchar_t operator[](size_t i) const {
    const unsigned hi = bytes[2 * i + (bigEndian ? 0 : 1)];
    return static_cast<wchar_t>(hi << 8 | bytes[2 * i + (bigEndian ? 1 : 0)]);
  }
};

// Splits `count` units of `text` (ended early by a NUL) into serials: lines
// cut at 255 units, trimmed, comments and blank lines skipped. `store` puts
// one token into a slot; false when it does not convert.
template <typename Char, typename Text, typename Store>
void ParseLines(Text text, size_t count, Store store) {
  size_t end = 0;
  while (end < count && text[end] != 0) ++end;

  size_t pos = 0;
  while (pos < end && fileProtectedSerialCount < kMaxFileSerials) {
    while (pos < end && IsLineBreak(text[pos])) ++pos;
    if (pos == end) break;
    size_t start = pos;
    while (pos < end && !IsLineBreak(text[pos])) ++pos;

    Char token[kTokenBytes] = {};
    size_t n = pos - start;
    if (n > kTokenBytes - 1) n = kTokenBytes - 1;
    for (size_t i = 0; i < n; ++i) token[i] = text[start + i];
    TrimTrailingBlanks(token);
    if (token[0] == '#' || token[0] == 0) continue;

    wchar_t* slot = fileProtectedSerials[fileProtectedSerialCount];
    // A failed conversion leaves the slot unterminated: not counted.
    if (!store(token, slot)) {
      slot[0] = L'\0';
      continue;
    }
    ++fileProtectedSerialCount;
  }
}

}  // namespace

// The file as Notepad and PowerShell save it: with a UTF-16 byte-order mark
// (Notepad's "Unicode", PowerShell 5.1's ">") it is UTF-16; with the UTF-8
// one it is UTF-8; without a mark it is text in the ANSI code page.
void ParseProtectedSerials(const char* bytes, size_t length) {
  fileProtectedSerialCount = 0;
  const unsigned char* u = reinterpret_cast<const unsigned char*>(bytes);
  if (length >= 2 && ((u[0] == 0xFF && u[1] == 0xFE) ||
                      (u[0] == 0xFE && u[1] == 0xFF))) {
    ParseLines<wchar_t>(Units16{u + 2, u[0] == 0xFE}, (length - 2) / 2,
                        [](const wchar_t* token, wchar_t* slot) {
                          CopyText(slot, kSerialChars, token);
                          return true;
                        });
    return;
  }
  uint32_t codePage = kCpAcp;
  if (length >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {
    bytes += 3;
    length -= 3;
    codePage = kCpUtf8;
  }
  // 255 bytes always fit 256 characters.
  ParseLines<char>(Bytes8{bytes}, length,
                   [codePage](const char* token, wchar_t* slot) {
                     return OsAnsiToWide(codePage, token, -1, slot,
                                         kSerialChars) > 0;
                   });
}

void LoadProtectedSerials() {
  fileProtectedSerialCount = 0;
  wchar_t path[kPathChars];
  if (!ListFilePath(path)) return;

  HandleGuard file;
  // Shared for writing and deleting too: an editor that holds the file open,
  // even one that saves by replacing it, must not empty the list.
  if (!OsOpen(path, kGenericRead,
              kFileShareRead | kFileShareWrite | kFileShareDelete,
              kOpenExisting, kFileAttributeNormal, file.out()))
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
