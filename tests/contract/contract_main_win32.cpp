// The contracts over kernel32.
//
//   contract_tests.exe
//       The file contract in a fresh folder under the temporary folder.
//   contract_tests.exe --disk N --volume X: [--empty-reader M]
//       Only on a virtual disk of at most 1 GiB with X: on it (anything else
//       is refused before a byte is touched): the file contract in a fresh
//       folder of X:, then the disk contract, which ends with the disk's
//       layout deleted. M names an empty card reader for the one check that
//       needs it.
//   contract_tests.exe --make-image FILE [--size MIB]
//       Writes the test image (an MBR with one FAT32 partition), 64 MiB
//       unless told otherwise.
//   contract_tests.exe --compare-disk N --image FILE
//       Only on a virtual disk of at most 1 GiB: whether the disk starts with
//       the image's bytes, read back through \\.\PhysicalDriveN.
//
// contract_tests-sim.exe is the same program over the simulated machine of
// machine.txt beside it, for the Linux twin of the Windows job: its
// --compare-disk reads the simulated disk, and the file and disk contracts
// are left to the native tests (the disk contract's host calls go to
// kernel32, so --disk refuses there).
//
// Exit code: 0 every check passed, 1 some failed, 2 nothing was checked
// (refused, or a fault of the set-up or the command line).
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/contract/disk_contract.h"
#include "tests/contract/fat_image.h"
#include "tests/contract/file_contract.h"

namespace {

bool WriteWholeFile(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  BOOL ok = bytes.empty() ||
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                      nullptr);
  CloseHandle(h);
  return ok && done == bytes.size();
}

// Makes `dir` with the file contract's files in it; false with the reason.
bool MakeFileContractFolder(const std::wstring& dir) {
  if (!CreateDirectoryW(dir.c_str(), nullptr)) {
    std::printf("cannot create the test folder (error %lu)\n", GetLastError());
    return false;
  }
  std::vector<unsigned char> data(kContractDataBytes);
  for (uint32_t i = 0; i < kContractDataBytes; ++i) data[i] = ContractDataByte(i);
  if (!WriteWholeFile(dir + L"\\" + kContractDataFile, data) ||
      !WriteWholeFile(dir + L"\\" + kContractEmptyFile, {})) {
    std::printf("cannot create the test files (error %lu)\n", GetLastError());
    return false;
  }
  return true;
}

void RemoveFileContractFolder(const std::wstring& dir) {
  DeleteFileW((dir + L"\\" + kContractDataFile).c_str());
  DeleteFileW((dir + L"\\" + kContractEmptyFile).c_str());
  RemoveDirectoryW(dir.c_str());
}

std::wstring FolderName() {
  return L"tessavane-contract-" + std::to_wstring(GetCurrentProcessId());
}

int FileContractInTemp() {
  wchar_t temp[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, temp);
  if (n == 0 || n >= MAX_PATH) {
    std::printf("no temporary folder (error %lu)\n", GetLastError());
    return 2;
  }
  std::wstring dir = temp;
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  dir += L"\\" + FolderName();
  int result = 2;
  if (MakeFileContractFolder(dir)) {
    int passed = 0;
    int failed = RunFileContract(dir.c_str(), &passed);
    std::printf("%d passed, %d failed\n", passed, failed);
    result = failed == 0 ? 0 : 1;
  }
  RemoveFileContractFolder(dir);
  return result;
}

void Pause(uint32_t milliseconds) { Sleep(milliseconds); }

bool RereadLayout(int disk) {
  const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(disk);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(h, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                            &returned, nullptr);
  CloseHandle(h);
  return ok != FALSE;
}

// The checks count in 512-byte sectors; the seam has no geometry query.
bool HasSmallSectors(int disk, std::string* reason) {
  const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(disk);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  DISK_GEOMETRY geometry = {};
  DWORD returned = 0;
  const BOOL ok = h != INVALID_HANDLE_VALUE &&
                  DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                                  sizeof geometry, &returned, nullptr);
  const DWORD error = GetLastError();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!ok) {
    *reason = "its geometry cannot be read (error " + std::to_string(error) + ")";
    return false;
  }
  if (geometry.BytesPerSector != 512) {
    *reason = "its sectors hold " + std::to_string(geometry.BytesPerSector) +
              " bytes; the checks count in 512-byte sectors";
    return false;
  }
  return true;
}

int DiskContracts(int disk, wchar_t letter, int emptyReader) {
  std::string reason;
  if (!ContractDiskAllowed(disk, letter, &reason) || !HasSmallSectors(disk, &reason)) {
    std::printf("refused: disk %d: %s\n", disk, reason.c_str());
    return 2;
  }
  std::printf("disk %d, volume %lc: (a virtual disk of at most 1 GiB)\n", disk, letter);
  const std::wstring dir = std::wstring(1, letter) + L":\\" + FolderName();
  if (!MakeFileContractFolder(dir)) {
    RemoveFileContractFolder(dir);
    return 2;
  }
  int filePassed = 0;
  const int fileFailed = RunFileContract(dir.c_str(), &filePassed);
  std::printf("file contract on %lc:: %d passed, %d failed\n", letter, filePassed, fileFailed);

  DiskContractTarget target;
  target.disk = disk;
  target.letter = letter;
  target.filePath = dir + L"\\" + kContractDataFile;
  target.emptyReader = emptyReader;
  const DiskContractHost host = {Pause, RereadLayout};
  ContractTally tally;
  RunDiskContract(target, host, &tally);
  std::printf("disk contract: %d passed, %d failed, %d skipped\n", tally.passed, tally.failed,
              tally.skipped);
  // The folder went with the layout; this only tidies up after a failure.
  RemoveFileContractFolder(dir);
  return fileFailed == 0 && tally.failed == 0 ? 0 : 1;
}

int MakeImage(const std::wstring& path, uint64_t bytes) {
  if (!FatImageSizeValid(bytes)) {
    std::printf("the image must be a whole number of MiB, at least %llu MiB\n",
                static_cast<unsigned long long>(kFatImageMinBytes >> 20));
    return 2;
  }
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("cannot create the image (error %lu)\n", GetLastError());
    return 2;
  }
  std::vector<uint8_t> block(1u << 20);
  bool ok = true;
  for (uint64_t at = 0; ok && at < bytes; at += block.size()) {
    FatImageBytes(bytes, at, block.data(), block.size());
    DWORD done = 0;
    ok = WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &done, nullptr) &&
         done == block.size();
  }
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) {
    std::printf("cannot write the image (error %lu)\n", error);
    return 2;
  }
  std::printf("wrote %llu bytes: an MBR with one FAT32 partition from 1 MiB\n",
              static_cast<unsigned long long>(bytes));
  return 0;
}

bool ParseNumber(const wchar_t* text, int max, int* out) {
  if (text == nullptr || *text == L'\0') return false;
  int n = 0;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (*p < L'0' || *p > L'9') return false;
    n = n * 10 + (*p - L'0');
    if (n > max) return false;
  }
  *out = n;
  return true;
}

int Usage() {
  std::printf(
      "usage: contract_tests.exe\n"
      "       contract_tests.exe --disk N --volume X: [--empty-reader M]\n"
      "       contract_tests.exe --make-image FILE [--size MIB]\n"
      "       contract_tests.exe --compare-disk N --image FILE\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 1) return FileContractInTemp();
  int disk = -1, emptyReader = -1, sizeMib = 64, compareDisk = -1;
  wchar_t letter = 0;
  const wchar_t* image = nullptr;
  const wchar_t* compareImage = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == L"--disk" && ParseNumber(value, 63, &disk)) {
      ++i;
    } else if (arg == L"--empty-reader" && ParseNumber(value, 63, &emptyReader)) {
      ++i;
    } else if (arg == L"--size" && ParseNumber(value, 4096, &sizeMib)) {
      ++i;
    } else if (arg == L"--volume" && value != nullptr &&
               (std::wcslen(value) == 1 || (std::wcslen(value) == 2 && value[1] == L':'))) {
      letter = static_cast<wchar_t>(towupper(value[0]));
      ++i;
    } else if (arg == L"--make-image" && value != nullptr) {
      image = value;
      ++i;
    } else if (arg == L"--compare-disk" && ParseNumber(value, 63, &compareDisk)) {
      ++i;
    } else if (arg == L"--image" && value != nullptr) {
      compareImage = value;
      ++i;
    } else {
      return Usage();
    }
  }
  if (image != nullptr) return MakeImage(image, static_cast<uint64_t>(sizeMib) << 20);
  if (compareDisk >= 0 || compareImage != nullptr) {
    if (compareDisk < 0 || compareImage == nullptr) return Usage();
    std::string report;
    const int result = CompareDiskWithImage(compareDisk, compareImage, &report);
    std::printf("%s\n", report.c_str());
    return result;
  }
  if (disk < 0 || letter == 0) return Usage();
  return DiskContracts(disk, letter, emptyReader);
}
