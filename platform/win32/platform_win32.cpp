// The platform seam over kernel32: each function is the call it is named
// after, with the seam's types. The one translation is the handle: Windows
// reports a failed open as INVALID_HANDLE_VALUE, the seam as nullptr.
#include <windows.h>
#include <winioctl.h>

#include <cstddef>

#include "platform/platform.h"

static_assert(kGenericRead == GENERIC_READ, "GENERIC_READ");
static_assert(kGenericWrite == GENERIC_WRITE, "GENERIC_WRITE");
static_assert(kFileShareRead == FILE_SHARE_READ, "FILE_SHARE_READ");
static_assert(kFileShareWrite == FILE_SHARE_WRITE, "FILE_SHARE_WRITE");
static_assert(kOpenExisting == OPEN_EXISTING, "OPEN_EXISTING");
static_assert(kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL,
              "FILE_ATTRIBUTE_NORMAL");

static_assert(kIoctlDiskGetLengthInfo == IOCTL_DISK_GET_LENGTH_INFO,
              "IOCTL_DISK_GET_LENGTH_INFO");
static_assert(kIoctlStorageQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY,
              "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(kIoctlVolumeGetVolumeDiskExtents ==
                  IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
              "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS");
static_assert(kFsctlLockVolume == FSCTL_LOCK_VOLUME, "FSCTL_LOCK_VOLUME");
static_assert(kFsctlDismountVolume == FSCTL_DISMOUNT_VOLUME,
              "FSCTL_DISMOUNT_VOLUME");
static_assert(kFsctlUnlockVolume == FSCTL_UNLOCK_VOLUME, "FSCTL_UNLOCK_VOLUME");
static_assert(kIoctlDiskDeleteDriveLayout == IOCTL_DISK_DELETE_DRIVE_LAYOUT,
              "IOCTL_DISK_DELETE_DRIVE_LAYOUT");

static_assert(kErrorInvalidFunction == ERROR_INVALID_FUNCTION, "error 1");
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "error 2");
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND, "error 3");
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED, "error 5");
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE, "error 6");
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY, "error 8");
static_assert(kErrorSectorNotFound == ERROR_SECTOR_NOT_FOUND, "error 27");
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION, "error 32");
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED, "error 50");
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "error 87");
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER,
              "error 122");
static_assert(kErrorNoMoreFiles == ERROR_NO_MORE_FILES, "error 18");
static_assert(kErrorMoreData == ERROR_MORE_DATA, "error 234");

static_assert(kCpAcp == CP_ACP, "CP_ACP");
static_assert(kCpUtf8 == CP_UTF8, "CP_UTF8");

// The portable code reads device replies by byte offset (core/disks.cpp,
// core/boot_disk.cpp, jobs/); these are the layouts it assumes.
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "property query");
static_assert(StorageDeviceProperty == 0 && PropertyStandardQuery == 0,
              "standard device query");
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "device descriptor");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10,
              "RemovableMedia");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12,
              "VendorIdOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16,
              "ProductIdOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24,
              "SerialNumberOffset");
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8, "length information");
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == 8, "first extent");
static_assert(sizeof(DISK_EXTENT) == 24, "disk extent");
static_assert(offsetof(DISK_EXTENT, DiskNumber) == 0, "DiskNumber");
static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32, "one extent");

namespace {

HANDLE ToWin(OsHandle h) {
  return h == nullptr ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

OsHandle FromWin(HANDLE h) {
  return h == INVALID_HANDLE_VALUE || h == nullptr
             ? nullptr
             : reinterpret_cast<OsHandle>(h);
}

HANDLE ToWinFind(OsFindHandle f) {
  return f == nullptr ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(f);
}

// The seam's thread entry is not a WINAPI function; the thread starts here
// and calls it.
struct ThreadStart {
  OsThreadEntry entry;
  void* arg;
};

DWORD WINAPI ThreadTrampoline(LPVOID param) {
  ThreadStart start = *static_cast<ThreadStart*>(param);
  HeapFree(GetProcessHeap(), 0, param);
  return start.entry(start.arg);
}

}  // namespace

bool OsOpen(const wchar_t* path, uint32_t access, uint32_t share,
            uint32_t disposition, uint32_t flags, OsHandle* out) {
  HANDLE h = CreateFileW(path, access, share, nullptr, disposition, flags,
                         nullptr);
  *out = FromWin(h);
  return *out != nullptr;
}

void OsClose(OsHandle h) {
  if (h != nullptr) CloseHandle(ToWin(h));
}

bool OsRead(OsHandle h, void* buffer, uint32_t length, uint32_t* done) {
  DWORD n = 0;
  BOOL ok = ReadFile(ToWin(h), buffer, length, &n, nullptr);
  *done = n;
  return ok != FALSE;
}

bool OsWrite(OsHandle h, const void* buffer, uint32_t length, uint32_t* done) {
  DWORD n = 0;
  BOOL ok = WriteFile(ToWin(h), buffer, length, &n, nullptr);
  *done = n;
  return ok != FALSE;
}

bool OsSeek(OsHandle h, int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return SetFilePointerEx(ToWin(h), to, nullptr, FILE_BEGIN) != FALSE;
}

bool OsFlush(OsHandle h) { return FlushFileBuffers(ToWin(h)) != FALSE; }

bool OsGetFileSizeEx(OsHandle h, int64_t* size) {
  LARGE_INTEGER n;
  n.QuadPart = 0;
  BOOL ok = GetFileSizeEx(ToWin(h), &n);
  *size = n.QuadPart;
  return ok != FALSE;
}

uint32_t OsGetFileSize(OsHandle h, uint32_t* high) {
  DWORD hi = 0;
  DWORD low = GetFileSize(ToWin(h), high != nullptr ? &hi : nullptr);
  if (high != nullptr) *high = hi;
  return low;
}

bool OsDeviceControl(OsHandle h, uint32_t code, const void* in,
                     uint32_t inLength, void* out, uint32_t outLength,
                     uint32_t* returned) {
  DWORD n = 0;
  BOOL ok = DeviceIoControl(ToWin(h), code, const_cast<void*>(in), inLength,
                            out, outLength, &n, nullptr);
  *returned = n;
  return ok != FALSE;
}

bool OsFindFirstVolume(wchar_t* name, uint32_t capacity, OsFindHandle* out) {
  HANDLE f = FindFirstVolumeW(name, capacity);
  *out = f == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<OsFindHandle>(f);
  return *out != nullptr;
}

bool OsFindNextVolume(OsFindHandle f, wchar_t* name, uint32_t capacity) {
  return FindNextVolumeW(ToWinFind(f), name, capacity) != FALSE;
}

void OsFindVolumeClose(OsFindHandle f) {
  if (f != nullptr) FindVolumeClose(ToWinFind(f));
}

uint32_t OsModuleFileName(wchar_t* buffer, uint32_t capacity) {
  DWORD n = GetModuleFileNameW(nullptr, buffer, capacity);
  // Windows XP leaves a cut path unterminated; the seam promises a terminator.
  if (n == capacity && capacity > 0) buffer[capacity - 1] = L'\0';
  return n;
}

int OsAnsiToWide(uint32_t codePage, const char* src, int srcLength,
                 wchar_t* dst, int capacity) {
  return MultiByteToWideChar(codePage, 0, src, srcLength, dst, capacity);
}

uint32_t OsLastError() { return GetLastError(); }

int64_t OsPerfCounter() {
  LARGE_INTEGER n;
  QueryPerformanceCounter(&n);
  return n.QuadPart;
}

int64_t OsPerfFrequency() {
  LARGE_INTEGER n;
  QueryPerformanceFrequency(&n);
  return n.QuadPart;
}

void* OsPageAlloc(size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void OsPageFree(void* p) {
  if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}

void* OsHeapAlloc(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void OsHeapFree(void* p) {
  if (p != nullptr) HeapFree(GetProcessHeap(), 0, p);
}

bool OsStartThread(OsThreadEntry entry, void* arg) {
  void* block = HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart));
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  ThreadStart* start = static_cast<ThreadStart*>(block);
  start->entry = entry;
  start->arg = arg;
  HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
  if (thread == nullptr) {
    DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, block);
    SetLastError(error);
    return false;
  }
  CloseHandle(thread);
  return true;
}
