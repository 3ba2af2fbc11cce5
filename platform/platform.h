// The one seam between Tessavane and the operating system.
//
// Every Windows call the program makes goes through these free functions.
// Two implementations exist and the build links exactly one:
//   platform/win32/  thin wrappers over kernel32 (the product)
//   platform/sim/    a simulated machine (native tests and tessavane-sim.exe)
//
// Contract common to every function here:
//  - A failing call returns false (or the documented failure value) and sets
//    the calling thread's last error, readable with OsLastError(), to the
//    code Windows itself would set (2, 5, 32, 50, 87, 122 ...). Callers show
//    these codes to the user, so they must be the real Windows numbers.
//  - A successful call may leave the last error untouched.
//  - All functions may be called from any thread.
//  - Text is wide (wchar_t). On Windows that is UTF-16; natively on Linux a
//    wchar_t holds one code point, which is the same for every character the
//    program deals with.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Windows constants, with their Windows values -------------------------

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kFileShareRead = 0x1u;
constexpr uint32_t kFileShareWrite = 0x2u;
constexpr uint32_t kFileShareDelete = 0x4u;
constexpr uint32_t kOpenExisting = 3u;
constexpr uint32_t kFileAttributeNormal = 0x80u;

constexpr uint32_t kIoctlDiskGetLengthInfo = 0x0007405Cu;
constexpr uint32_t kIoctlStorageQueryProperty = 0x002D1400u;
constexpr uint32_t kIoctlVolumeGetVolumeDiskExtents = 0x00560000u;
constexpr uint32_t kFsctlLockVolume = 0x00090018u;
constexpr uint32_t kFsctlDismountVolume = 0x00090020u;
constexpr uint32_t kFsctlUnlockVolume = 0x0009001Cu;
constexpr uint32_t kIoctlDiskDeleteDriveLayout = 0x0007C100u;

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorSectorNotFound = 27;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorMediaChanged = 1110;

constexpr uint32_t kCpAcp = 0;  // the system's active ANSI code page
constexpr uint32_t kCpUtf8 = 65001;

// ---- Handles --------------------------------------------------------------

// An open file, device or volume. Opaque; nullptr is never a valid handle.
struct OsObject;
using OsHandle = OsObject*;

// A running volume enumeration.
struct OsVolumeFind;
using OsFindHandle = OsVolumeFind*;

// ---- Files and devices ----------------------------------------------------

// CreateFileW with no security attributes and no template. `path` is a file
// path or a device path such as "\\.\PhysicalDrive3" or "\\.\C:" or a volume
// name "\\?\Volume{...}". On success stores the handle in *out and returns
// true; the caller owns it and must OsClose it. On failure *out is nullptr.
bool OsOpen(const wchar_t* path, uint32_t access, uint32_t share,
            uint32_t disposition, uint32_t flags, OsHandle* out);

// CloseHandle. Accepts nullptr (no effect).
void OsClose(OsHandle h);

// ReadFile, synchronous. *done receives the bytes read; 0 with a true result
// means end of file.
bool OsRead(OsHandle h, void* buffer, uint32_t length, uint32_t* done);

// WriteFile, synchronous. *done receives the bytes written, which may be
// fewer than `length` on success.
bool OsWrite(OsHandle h, const void* buffer, uint32_t length, uint32_t* done);

// SetFilePointerEx to an absolute offset (FILE_BEGIN).
bool OsSeek(OsHandle h, int64_t offset);

// FlushFileBuffers.
bool OsFlush(OsHandle h);

// GetFileSizeEx.
bool OsGetFileSizeEx(OsHandle h, int64_t* size);

// GetFileSize: returns the low 32 bits and stores the high 32 bits in *high.
// Failure returns 0xFFFFFFFF with a last error other than 0.
uint32_t OsGetFileSize(OsHandle h, uint32_t* high);

// DeviceIoControl, synchronous. `in` may be nullptr with inLength 0, `out`
// nullptr with outLength 0. *returned receives the bytes placed in `out`
// (also on failure with kErrorMoreData, where the reply was cut).
bool OsDeviceControl(OsHandle h, uint32_t code, const void* in,
                     uint32_t inLength, void* out, uint32_t outLength,
                     uint32_t* returned);

// ---- Volume enumeration ---------------------------------------------------

// FindFirstVolumeW: the first volume name, e.g. "\\?\Volume{guid}\", into
// `name` (capacity in characters, terminator included). On success stores the
// enumeration in *out; the caller must end it with OsFindVolumeClose.
bool OsFindFirstVolume(wchar_t* name, uint32_t capacity, OsFindHandle* out);

// FindNextVolumeW: false with kErrorNoMoreFiles at the end.
bool OsFindNextVolume(OsFindHandle f, wchar_t* name, uint32_t capacity);

// FindVolumeClose. Accepts nullptr.
void OsFindVolumeClose(OsFindHandle f);

// ---- Process ----------------------------------------------------------------

// GetModuleFileNameW for the executable: returns the characters stored
// without the terminator, 0 on failure. A path that does not fit is cut,
// terminated, and `capacity` is returned with kErrorInsufficientBuffer.
uint32_t OsModuleFileName(wchar_t* buffer, uint32_t capacity);

// MultiByteToWideChar(codePage, 0, src, srcLength, dst, capacity). With
// srcLength -1 the terminator is converted too and counted. Returns the
// characters written, 0 on failure (kErrorInsufficientBuffer when they do
// not fit: then `dst` holds an unterminated prefix and must not be used).
int OsAnsiToWide(uint32_t codePage, const char* src, int srcLength,
                 wchar_t* dst, int capacity);

// GetLastError for the calling thread.
uint32_t OsLastError();

// QueryPerformanceCounter / QueryPerformanceFrequency.
int64_t OsPerfCounter();
int64_t OsPerfFrequency();

// VirtualAlloc(MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE): page-aligned,
// zeroed. nullptr on failure. Release with OsPageFree (MEM_RELEASE), which
// accepts nullptr.
void* OsPageAlloc(size_t bytes);
void OsPageFree(void* p);

// HeapAlloc / HeapFree on the process heap. nullptr on failure; OsHeapFree
// accepts nullptr.
void* OsHeapAlloc(size_t bytes);
void OsHeapFree(void* p);

// CreateThread with the default stack, running at once; the thread handle is
// closed straight away (the thread is never joined). Returns false if the
// thread could not be created, in which case `entry` never runs and `arg`
// still belongs to the caller.
using OsThreadEntry = uint32_t (*)(void* arg);
bool OsStartThread(OsThreadEntry entry, void* arg);

// ---- Guards -----------------------------------------------------------------

// Closes a handle on every path out of a scope.
class HandleGuard {
 public:
  HandleGuard() = default;
  explicit HandleGuard(OsHandle h) : h_(h) {}
  ~HandleGuard() { OsClose(h_); }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  OsHandle get() const { return h_; }
  OsHandle* out() { return &h_; }
  // Closes now (for the places where the order of closing is part of the
  // contract) and forgets the handle.
  void Close() {
    OsClose(h_);
    h_ = nullptr;
  }
  // Hands the handle on to a new owner and forgets it.
  OsHandle Release() {
    OsHandle h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  OsHandle h_ = nullptr;
};

// Ends a volume enumeration on every path out of a scope.
class FindVolumeGuard {
 public:
  explicit FindVolumeGuard(OsFindHandle f) : f_(f) {}
  ~FindVolumeGuard() { OsFindVolumeClose(f_); }
  FindVolumeGuard(const FindVolumeGuard&) = delete;
  FindVolumeGuard& operator=(const FindVolumeGuard&) = delete;

 private:
  OsFindHandle f_;
};

// Releases a page allocation on every path out of a scope.
class PageBuffer {
 public:
  explicit PageBuffer(size_t bytes) : p_(OsPageAlloc(bytes)) {}
  ~PageBuffer() { OsPageFree(p_); }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  unsigned char* get() const { return static_cast<unsigned char*>(p_); }
  void Release() {
    OsPageFree(p_);
    p_ = nullptr;
  }

 private:
  void* p_;
};
