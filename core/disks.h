// The inventory of physical disks, the boot disk and the protected serials.
//
// Everything here runs on the UI thread; the jobs work on a copy of one
// DiskEntry taken on the UI thread before they start.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int kMaxDisks = 64;
constexpr int kNameChars = 256;
constexpr int kDevicePathChars = 64;
constexpr int kSerialChars = 256;

// One physical disk. A plain value.
struct DiskEntry {
  int32_t number;                       // N of "\\.\PhysicalDriveN"
  wchar_t displayName[kNameChars];      // vendor and product, or PhysicalDriveN
  uint64_t sizeBytes;                   // never 0 in a stored entry
  wchar_t devicePath[kDevicePathChars];  // "\\.\PhysicalDriveN"
  wchar_t serial[kSerialChars];          // possibly empty
};

// Slots 0 .. count-1 hold the disks in ascending drive-number order; the slot
// index is also the line index of the disk list.
struct DiskTable {
  DiskEntry entries[kMaxDisks];
  int32_t count;
};

extern DiskTable diskTable;

// Drive number of the disk the program was started from; -1 until the first
// detection.
extern int32_t bootDiskNumber;

// Formats "\\.\PhysicalDrive%d" into `buffer` (kDevicePathChars).
void FormatDevicePath(wchar_t* buffer, size_t capacity, int32_t number);

// Rebuilds diskTable (running DetectBootDisk first). Reads only.
void EnumerateDisks();

// Display name and serial of an open disk. `serial` may be nullptr. Never
// reads past the bytes the device returned; both outputs are always
// terminated (empty when the device says nothing usable). false when the
// descriptor could not be read at all (the query failed or returned nothing).
bool DescribeDisk(OsHandle disk, wchar_t* name, size_t nameCapacity,
                  wchar_t* serial, size_t serialCapacity);

// The same, from a descriptor reply already in memory: `reply` holds
// `replyBytes` bytes as IOCTL_STORAGE_QUERY_PROPERTY returned them.
void DescribeDescriptor(const unsigned char* reply, uint32_t replyBytes,
                        wchar_t* name, size_t nameCapacity, wchar_t* serial,
                        size_t serialCapacity);

// Disk length in bytes, or 0 when the query fails.
int64_t QueryDiskLength(OsHandle disk);

// Reads the entry of disk `number` from a handle open to it, with the
// inventory's queries: its length, then its name and serial. Returns 0, or
// why the disk has no entry: the error of the failed length query, or
// kErrorMediaChanged when it answers with no length. *described (if given)
// tells whether the name and serial came from the device.
uint32_t ReadDiskEntry(OsHandle disk, int32_t number, DiskEntry* entry,
                       bool* described = nullptr);

// The last error of a call that failed, never 0: Windows always sets one,
// but a failure must never read as success, so 0 becomes kErrorMediaChanged
// (the disk is not known to be the one confirmed).
uint32_t FailureCode();

// Whether the disk a handle reaches is still the device the user confirmed:
// a disk number names whichever device has it now, and a device that arrived
// after a removal takes the lowest free number. The same length, name and
// serial as `expected` give 0; another answer, or a descriptor that cannot be
// read now (its "PhysicalDriveN" and empty serial would match any other
// silent disk's, a protected one's too), give kErrorMediaChanged; a failed
// length query gives its own error. With `lengthUnread` given, a length
// that cannot be read is no refusal: the name and serial alone decide, and
// on 0 *lengthUnread tells whether the length was read.
uint32_t CheckSameDisk(OsHandle disk, const DiskEntry& expected,
                       bool* lengthUnread = nullptr);
// The same through the inventory's own open of expected.number (2 when no
// disk has that number now). On success the handle is left open in *look:
// it stays with the device it reached, so CheckSameDisk on it later tells
// whether that device is still the one at the number.
uint32_t CheckSameDiskAt(const DiskEntry& expected, HandleGuard* look,
                         bool* lengthUnread = nullptr);

// Sets bootDiskNumber; cannot fail. Falls back to drive 0, or to -1 (no
// disk) when the program runs from a volume on no disk, such as a RAM disk.
void DetectBootDisk();

// ---- Protected serials ------------------------------------------------------

constexpr int kMaxFileSerials = 32;
constexpr uint32_t kMaxProtectedFileBytes = 65536;

// Built-in list, ended by nullptr.
extern const wchar_t* const builtinProtectedSerials[];

// Serials read from prohibited_disks.txt beside the executable.
extern wchar_t fileProtectedSerials[kMaxFileSerials][kSerialChars];
extern int32_t fileProtectedSerialCount;

// Rereads prohibited_disks.txt; a missing or unusable file leaves the file
// list empty.
void LoadProtectedSerials();

// Parses the bytes of a list file (`bytes` need not be terminated) into
// fileProtectedSerials, replacing what was there.
void ParseProtectedSerials(const char* bytes, size_t length);

// true when `serial` (nullptr allowed) matches either list.
bool IsProtectedSerial(const wchar_t* serial);
