// Loaded into the unmodified tessavane.exe by e2e_device_launch.exe, for the
// real-device test under Wine only. Wine 8 links a block device as
// \\.\PhysicalDriveN and moves its bytes, but refuses the disk's length and
// descriptor queries with 50 (ERROR_NOT_SUPPORTED). This shim takes the
// executable's import of DeviceIoControl and answers those two queries, on
// the test's device only and only after Wine itself refused them with 50.
// Every other call, and every other answer, is Wine's.
//
// What it answers comes from the launcher, through the environment:
//   TESSAVANE_SHIM_DEVICE     the device the test linked (\\.\PhysicalDrive1)
//   TESSAVANE_SHIM_VENDOR, _PRODUCT, _SERIAL   the descriptor's texts
//   TESSAVANE_SHIM_REMOVABLE  1 for RemovableMedia, otherwise 0
// The length is the device's own: the shim finds its last readable sector.
#include <windows.h>
#include <winioctl.h>

#include <cstring>

namespace {

decltype(&DeviceIoControl) wineDeviceIoControl = nullptr;

char vendor[64], product[64], serial[64];
bool removable = false;
wchar_t devicePath[64];

// The device's identity as Wine gives it for any handle to it, and its
// length, taken once on a handle of the shim's own: by the start-up
// enumeration on the window's thread, before any job thread asks.
bool measured = false;
FILE_ID_INFO deviceId;
LONGLONG deviceLength = 0;

bool ReadEnv(const wchar_t* name, char* out, DWORD capacity) {
  wchar_t wide[64];
  DWORD n = GetEnvironmentVariableW(name, wide, 64);
  if (n == 0 || n >= 64) return false;
  return WideCharToMultiByte(CP_ACP, 0, wide, -1, out, static_cast<int>(capacity),
                             nullptr, nullptr) > 0;
}

// Whether a sector-sized read at `offset` returns a whole sector.
bool SectorReadable(HANDLE h, LONGLONG offset, unsigned char* sector) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  DWORD got = 0;
  return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) &&
         ReadFile(h, sector, 512, &got, nullptr) && got == 512;
}

// Bisects for the first unreadable 512-byte sector: the device's length.
LONGLONG MeasureLength(HANDLE h) {
  static unsigned char sector[512];
  if (!SectorReadable(h, 0, sector)) return 0;
  LONGLONG low = 1, high = 1;  // in sectors: low readable count, high not
  while (SectorReadable(h, high * 512, sector)) {
    low = high + 1;
    high *= 2;
    if (high > (1LL << 40)) return 0;
  }
  while (low < high) {  // invariant: sectors below low are readable, high is not
    LONGLONG mid = low + (high - low) / 2;
    if (SectorReadable(h, mid * 512, sector)) low = mid + 1; else high = mid;
  }
  return low * 512;
}

bool Measure() {
  if (measured) return true;
  HANDLE h = CreateFileW(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // Wine gives no volume information for a device (87), but its file id.
  bool ok = GetFileInformationByHandleEx(h, FileIdInfo, &deviceId, sizeof deviceId) != FALSE;
  if (ok) deviceLength = MeasureLength(h);
  CloseHandle(h);
  measured = ok && deviceLength > 0;
  return measured;
}

bool IsTheDevice(HANDLE h) {
  FILE_ID_INFO id;
  return Measure() && GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id) &&
         id.VolumeSerialNumber == deviceId.VolumeSerialNumber &&
         std::memcmp(&id.FileId, &deviceId.FileId, sizeof id.FileId) == 0;
}

// STORAGE_DEVICE_DESCRIPTOR with the three texts after it, cut to what the
// caller's buffer holds, as Windows does (Size keeps the whole length).
BOOL AnswerDescriptor(void* out, DWORD outLength, DWORD* returned) {
  unsigned char reply[sizeof(STORAGE_DEVICE_DESCRIPTOR) + 3 * 64] = {};
  auto* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(reply);
  DWORD at = sizeof(STORAGE_DEVICE_DESCRIPTOR);
  auto put = [&](const char* text) {
    DWORD offset = at;
    size_t n = std::strlen(text) + 1;
    std::memcpy(reply + at, text, n);
    at += static_cast<DWORD>(n);
    return offset;
  };
  d->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
  d->RemovableMedia = removable ? TRUE : FALSE;
  d->VendorIdOffset = put(vendor);
  d->ProductIdOffset = put(product);
  d->SerialNumberOffset = put(serial);
  d->Size = at;
  if (out == nullptr || outLength < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  DWORD n = outLength < at ? outLength : at;
  std::memcpy(out, reply, n);
  if (returned != nullptr) *returned = n;
  return TRUE;
}

BOOL AnswerLength(void* out, DWORD outLength, DWORD* returned) {
  if (out == nullptr || outLength < sizeof(GET_LENGTH_INFORMATION)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  static_cast<GET_LENGTH_INFORMATION*>(out)->Length.QuadPart = deviceLength;
  if (returned != nullptr) *returned = sizeof(GET_LENGTH_INFORMATION);
  return TRUE;
}

BOOL WINAPI ShimDeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inLength,
                                void* out, DWORD outLength, DWORD* returned,
                                OVERLAPPED* overlapped) {
  BOOL ok = wineDeviceIoControl(h, code, in, inLength, out, outLength, returned,
                                overlapped);
  if (ok || GetLastError() != ERROR_NOT_SUPPORTED || overlapped != nullptr)
    return ok;
  const bool lengthQuery = code == IOCTL_DISK_GET_LENGTH_INFO;
  const bool standardDeviceQuery =
      code == IOCTL_STORAGE_QUERY_PROPERTY && in != nullptr &&
      inLength >= sizeof(STORAGE_PROPERTY_QUERY) &&
      static_cast<STORAGE_PROPERTY_QUERY*>(in)->PropertyId == StorageDeviceProperty &&
      static_cast<STORAGE_PROPERTY_QUERY*>(in)->QueryType == PropertyStandardQuery;
  if ((lengthQuery || standardDeviceQuery) && IsTheDevice(h))
    return lengthQuery ? AnswerLength(out, outLength, returned)
                       : AnswerDescriptor(out, outLength, returned);
  SetLastError(ERROR_NOT_SUPPORTED);  // Wine's answer, as it gave it
  return FALSE;
}

// Points the executable's import of kernel32's DeviceIoControl at the shim.
bool TakeImport() {
  auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return false;
  int taken = 0;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       imp->Name != 0; ++imp) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), "kernel32.dll") != 0 ||
        imp->OriginalFirstThunk == 0)
      continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(byName->Name), "DeviceIoControl") != 0)
        continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &old))
        return false;
      wineDeviceIoControl = reinterpret_cast<decltype(&DeviceIoControl)>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&ShimDeviceIoControl);
      VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), old, &old);
      ++taken;
    }
  }
  return taken == 1;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t flag[4];
  DWORD n = GetEnvironmentVariableW(L"TESSAVANE_SHIM_DEVICE", devicePath, 64);
  if (n == 0 || n >= 64 || !ReadEnv(L"TESSAVANE_SHIM_VENDOR", vendor, sizeof vendor) ||
      !ReadEnv(L"TESSAVANE_SHIM_PRODUCT", product, sizeof product) ||
      !ReadEnv(L"TESSAVANE_SHIM_SERIAL", serial, sizeof serial))
    return FALSE;
  removable = GetEnvironmentVariableW(L"TESSAVANE_SHIM_REMOVABLE", flag, 4) == 1 &&
              flag[0] == L'1';
  return TakeImport() ? TRUE : FALSE;
}
