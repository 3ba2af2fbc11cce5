// The disk inventory: which physical disks exist, how large they are and what
// they call themselves.
#include "core/disks.h"

#include <cstring>
#include <cwchar>

#include "core/bytes.h"
#include "core/text.h"

DiskTable diskTable;

namespace {

// STORAGE_DEVICE_DESCRIPTOR, by byte offset (platform_win32.cpp checks these
// against winioctl.h).
constexpr uint32_t kVendorOffsetField = 12;
constexpr uint32_t kProductOffsetField = 16;
constexpr uint32_t kSerialOffsetField = 24;

constexpr uint32_t kDescriptorReplyBytes = 2048;
constexpr uint32_t kPropertyQueryBytes = 12;
constexpr uint32_t kLengthInfoBytes = 8;

// One text field of a descriptor: 255 bytes at most and its terminator.
constexpr size_t kFieldBytes = 256;

// Copies the NUL-ended text that the offset stored at `offsetField` points to.
// The reply is the device's word and is trusted for nothing: an offset field
// the reply does not hold, an offset outside it, or a text that runs to its
// end without a NUL all stay within the bytes returned.
void ExtractField(const unsigned char* reply, uint32_t replyBytes,
                  uint32_t offsetField, char* field) {
  field[0] = '\0';
  if (replyBytes < offsetField + 4) return;
  uint32_t offset = ReadLe32(reply + offsetField);
  if (offset == 0 || offset >= replyBytes) return;
  size_t limit = replyBytes - offset;
  if (limit > kFieldBytes - 1) limit = kFieldBytes - 1;
  size_t n = 0;
  while (n < limit && reply[offset + n] != 0) {
    field[n] = static_cast<char>(reply[offset + n]);
    ++n;
  }
  field[n] = '\0';
  TrimTrailingBlanks(field);
}

// Converts device text into `out`. A vendor and product of 511 bytes can need
// more than the 255 characters a name holds; such a text is cut to what fits
// rather than replaced, so the user still sees whose disk it is. The
// conversion goes through a buffer that holds any 511-byte text (no code page
// makes more than one UTF-16 unit of one byte), and a cut never leaves half a
// surrogate pair behind. A text that does not convert at all gives empty.
void ConvertDeviceText(const char* text, wchar_t* out, size_t capacity) {
  if (capacity == 0) return;
  out[0] = L'\0';
  if (text[0] == '\0') return;
  wchar_t wide[2 * kFieldBytes];
  if (OsAnsiToWide(kCpAcp, text, -1, wide, 2 * kFieldBytes) <= 0) return;
  CopyText(out, capacity, wide);
  size_t n = std::wcslen(out);
  if (n > 0 && out[n - 1] >= 0xD800 && out[n - 1] <= 0xDBFF) out[n - 1] = L'\0';
}

}  // namespace

void FormatDevicePath(wchar_t* buffer, size_t capacity, int32_t number) {
  FormatText(buffer, capacity, L"\\\\.\\PhysicalDrive%d", number);
}

void DescribeDescriptor(const unsigned char* reply, uint32_t replyBytes,
                        wchar_t* name, size_t nameCapacity, wchar_t* serial,
                        size_t serialCapacity) {
  char vendor[kFieldBytes];
  char product[kFieldBytes];
  char serialText[kFieldBytes];
  ExtractField(reply, replyBytes, kVendorOffsetField, vendor);
  ExtractField(reply, replyBytes, kProductOffsetField, product);
  ExtractField(reply, replyBytes, kSerialOffsetField, serialText);

  char display[2 * kFieldBytes];  // vendor, a space, product: 511 bytes at most
  display[0] = '\0';
  if (vendor[0] != '\0' && product[0] != '\0') {
    size_t v = std::strlen(vendor);
    std::memcpy(display, vendor, v);
    display[v] = ' ';
    std::memcpy(display + v + 1, product, std::strlen(product) + 1);
  } else if (product[0] != '\0') {
    std::memcpy(display, product, std::strlen(product) + 1);
  } else {
    std::memcpy(display, vendor, std::strlen(vendor) + 1);
  }

  ConvertDeviceText(display, name, nameCapacity);
  if (serial != nullptr) ConvertDeviceText(serialText, serial, serialCapacity);
}

bool DescribeDisk(OsHandle disk, wchar_t* name, size_t nameCapacity,
                  wchar_t* serial, size_t serialCapacity) {
  // StorageDeviceProperty, PropertyStandardQuery, no additional parameters.
  unsigned char query[kPropertyQueryBytes] = {};
  unsigned char reply[kDescriptorReplyBytes];
  uint32_t returned = 0;
  if (!OsDeviceControl(disk, kIoctlStorageQueryProperty, query, sizeof query,
                       reply, sizeof reply, &returned))
    returned = 0;
  if (returned > sizeof reply) returned = sizeof reply;
  DescribeDescriptor(reply, returned, name, nameCapacity, serial,
                     serialCapacity);
  return returned != 0;
}

namespace {

// The length query with the reason it gave nothing usable: the failed call's
// error, or 0 when the device answered but with no length (too short a reply,
// a zero or a negative length).
int64_t ReadDiskLength(OsHandle disk, uint32_t* error) {
  *error = 0;
  unsigned char reply[kLengthInfoBytes] = {};
  uint32_t returned = 0;
  if (!OsDeviceControl(disk, kIoctlDiskGetLengthInfo, nullptr, 0, reply,
                       sizeof reply, &returned)) {
    *error = OsLastError();
    return 0;
  }
  if (returned < sizeof reply) return 0;
  uint64_t length = static_cast<uint64_t>(ReadLe32(reply)) |
                    static_cast<uint64_t>(ReadLe32(reply + 4)) << 32;
  if (length > static_cast<uint64_t>(INT64_MAX)) return 0;
  return static_cast<int64_t>(length);
}

// The name and serial as the list shows them; false when the descriptor did
// not answer.
bool ReadDiskNames(OsHandle disk, int32_t number, DiskEntry* entry) {
  const bool read = DescribeDisk(disk, entry->displayName, kNameChars,
                                 entry->serial, kSerialChars);
  if (entry->displayName[0] == L'\0')
    FormatText(entry->displayName, kNameChars, L"PhysicalDrive%d", number);
  return read;
}

}  // namespace

int64_t QueryDiskLength(OsHandle disk) {
  uint32_t error = 0;
  return ReadDiskLength(disk, &error);
}

uint32_t ReadDiskEntry(OsHandle disk, int32_t number, DiskEntry* entry,
                       bool* described) {
  uint32_t error = 0;
  int64_t length = ReadDiskLength(disk, &error);
  if (length <= 0) return error != 0 ? error : kErrorMediaChanged;
  entry->number = number;
  entry->sizeBytes = static_cast<uint64_t>(length);
  FormatDevicePath(entry->devicePath, kDevicePathChars, number);
  const bool read = ReadDiskNames(disk, number, entry);
  if (described != nullptr) *described = read;
  return 0;
}

uint32_t CheckSameDisk(OsHandle disk, const DiskEntry& expected,
                       bool* lengthUnread) {
  if (lengthUnread != nullptr) *lengthUnread = false;
  uint32_t error = 0;
  const int64_t length = ReadDiskLength(disk, &error);
  const bool unread = length <= 0;
  if (unread && lengthUnread == nullptr)
    return error != 0 ? error : kErrorMediaChanged;
  // Built in a local: a second 1.1 KiB entry is nothing beside the certainty
  // that every field was read now, not left over from an earlier disk.
  DiskEntry now;
  if (!ReadDiskNames(disk, expected.number, &now) ||
      (!unread && static_cast<uint64_t>(length) != expected.sizeBytes) ||
      std::wcscmp(now.displayName, expected.displayName) != 0 ||
      std::wcscmp(now.serial, expected.serial) != 0)
    return kErrorMediaChanged;
  if (lengthUnread != nullptr) *lengthUnread = unread;
  return 0;
}

uint32_t FailureCode() {
  const uint32_t error = OsLastError();
  return error != 0 ? error : kErrorMediaChanged;
}

uint32_t CheckSameDiskAt(const DiskEntry& expected, HandleGuard* look,
                         bool* lengthUnread) {
  wchar_t path[kDevicePathChars];
  FormatDevicePath(path, kDevicePathChars, expected.number);
  look->Close();
  if (!OsOpen(path, kGenericRead, kFileShareRead | kFileShareWrite,
              kOpenExisting, 0, look->out()))
    return FailureCode();
  const uint32_t error = CheckSameDisk(look->get(), expected, lengthUnread);
  if (error != 0) look->Close();
  return error;
}

void EnumerateDisks() {
  diskTable.count = 0;
  DetectBootDisk();
  for (int32_t number = 0; number < kMaxDisks; ++number) {
    wchar_t path[kDevicePathChars];
    FormatDevicePath(path, kDevicePathChars, number);
    HandleGuard disk;
    if (!OsOpen(path, kGenericRead, kFileShareRead | kFileShareWrite,
                kOpenExisting, 0, disk.out()))
      continue;
    if (ReadDiskEntry(disk.get(), number,
                      &diskTable.entries[diskTable.count]) == 0)
      ++diskTable.count;
  }
}
