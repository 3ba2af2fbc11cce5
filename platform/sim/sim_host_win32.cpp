// Host side of the simulated machine in tessavane-sim.exe: host files over
// kernel32, and the machine described by machine.txt beside the executable.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/sim/sim_internal.h"

namespace sim {

struct HostFile {
  HANDLE handle;
};

HostFile* HostOpen(const std::string& path, bool writable, bool create) {
  std::wstring wide;
  if (!Utf8ToWide(path, &wide)) return nullptr;
  const DWORD access = GENERIC_READ | (writable ? GENERIC_WRITE : 0);
  const DWORD disposition = writable && create ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE h = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  // A plain file: not a folder, and not a device or pipe that a name such as
  // NUL or COM1 opens.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(h);
    return nullptr;
  }
  return new HostFile{h};
}

void HostClose(HostFile* f) {
  if (f == nullptr) return;
  CloseHandle(f->handle);
  delete f;
}

namespace {

bool SeekTo(HostFile* f, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(f->handle, to, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

bool HostReadAt(HostFile* f, uint64_t offset, void* buffer, size_t length,
                size_t* done) {
  if (!SeekTo(f, offset)) return false;
  auto* out = static_cast<char*>(buffer);
  size_t total = 0;
  while (total < length) {
    const DWORD chunk = static_cast<DWORD>(
        length - total > 0x40000000u ? 0x40000000u : length - total);
    DWORD n = 0;
    if (!ReadFile(f->handle, out + total, chunk, &n, nullptr)) return false;
    if (n == 0) break;
    total += n;
  }
  *done = total;
  return true;
}

bool HostWriteAt(HostFile* f, uint64_t offset, const void* buffer,
                 size_t length) {
  if (!SeekTo(f, offset)) return false;
  const auto* in = static_cast<const char*>(buffer);
  size_t total = 0;
  while (total < length) {
    const DWORD chunk = static_cast<DWORD>(
        length - total > 0x40000000u ? 0x40000000u : length - total);
    DWORD n = 0;
    if (!WriteFile(f->handle, in + total, chunk, &n, nullptr) || n == 0) {
      return false;
    }
    total += n;
  }
  return true;
}

bool HostSize(HostFile* f, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(f->handle, &value)) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool HostResize(HostFile* f, uint64_t size) {
  return SeekTo(f, size) && SetEndOfFile(f->handle) != 0;
}

bool HostSync(HostFile* f) { return FlushFileBuffers(f->handle) != 0; }

bool HostFileId(HostFile* f, std::string* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(f->handle, &info)) return false;
  *id = std::to_string(info.dwVolumeSerialNumber) + ":" +
        std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
  return true;
}

namespace {

constexpr DWORD kReportNameChars = 1024;
wchar_t reportName[kReportNameChars];

// At exit, when the window has closed: what the machine went through, for
// the person who tried the program (scripts/demo.sh --try reads it).
void WriteReport() {
  const std::string text = SimReport();
  HostFile* f = HostOpen(WideToUtf8(reportName), true, true);
  if (f == nullptr) return;
  HostWriteAt(f, 0, text.data(), text.size());
  HostResize(f, text.size());
  HostClose(f);
}

}  // namespace

// machine.txt from the folder of the real executable, on the host's clock
// unless it says otherwise. Without a usable description the program cannot
// stand for anything, so it says why and ends.
void HostBuildDefaultMachine() {
  std::wstring exe(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, &exe[0],
                                     static_cast<DWORD>(exe.size()));
  exe.resize(n < exe.size() ? n : 0);
  const size_t slash = exe.find_last_of(L"\\/");
  const std::wstring folder =
      slash == std::wstring::npos ? std::wstring() : exe.substr(0, slash + 1);
  const std::string path = WideToUtf8(folder) + "machine.txt";
  std::string error;
  if (LoadDescriptionPath(path, true, &error)) {
    // Made a full path now: the file dialog moves the current folder to
    // wherever the person picked a file.
    wchar_t name[kReportNameChars];
    const DWORD n = GetEnvironmentVariableW(L"TESSAVANE_SIM_REPORT", name,
                                            kReportNameChars);
    const DWORD full = n > 0 && n < kReportNameChars
                           ? GetFullPathNameW(name, kReportNameChars, reportName, nullptr)
                           : 0;
    if (full > 0 && full < kReportNameChars) std::atexit(WriteReport);
    return;
  }
  std::wstring text;
  if (!Utf8ToWide(error, &text)) text = L"machine.txt cannot be read";
  text = L"The simulated machine cannot be set up.\n\n" + text;
  MessageBoxW(nullptr, text.c_str(), L"tessavane-sim", MB_OK | MB_ICONERROR);
  ExitProcess(1);
}

}  // namespace sim
