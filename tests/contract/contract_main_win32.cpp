// The contracts over kernel32.
//
//   contract_tests.exe
//       The file contract in a fresh folder under the temporary folder.
//   contract_tests.exe --disk N --volume X: [--empty-reader M]
//       Only on a virtual disk of at most 1 GiB with X: on it (anything else
//       is refused before a byte is touched): the file contract in a fresh
//       folder of X:, then the disk contract, which ends with the disk's
//       layout deleted and a table with one line per row of the machine
//       description. M names an empty card reader for the one check that
//       needs it.
//   contract_tests.exe --make-image FILE [--size MIB] [--extra BYTES]
//       Writes the test image (an MBR with one FAT32 partition), 64 MiB
//       unless told otherwise, and BYTES more after it (a pattern), so that
//       its end need not lie on a 4 KiB boundary.
//   contract_tests.exe --save-tail N --image FILE --to TAILFILE [--mark]
//                      [--expect MARKFILE]
//       Only on a virtual disk of at most 1 GiB: keeps in TAILFILE the disk's
//       bytes after the image's end up to the next 4 KiB boundary, which the
//       write must leave as they are. --mark first writes a pattern there
//       (where no volume is mounted) and fails unless it reads back, so that
//       a write that zeroes them shows. --expect fails (1) unless the bytes
//       are still those of MARKFILE, a tail kept with --mark: a file system
//       that wrote there would make the compare after the write vacuous.
//   contract_tests.exe --compare-disk N --image FILE [--tail TAILFILE]
//       Only on a virtual disk of at most 1 GiB: whether the disk starts with
//       the image's bytes, read back through \\.\PhysicalDriveN, and with
//       --tail whether the bytes after it are still those kept before the
//       write. The first byte that differs is named with the bytes from
//       there on both sides.
//   contract_tests.exe --watch-volumes --until FILE [--letter X:]
//       Prints the time whenever a volume appears in or leaves the system's
//       list of volumes, and with --letter whenever the mount manager has
//       X: name another volume or none, until FILE exists; then where each
//       new one lies. It opens no volume and no disk while it watches, so it
//       cannot stand in the way of a lock, mount a file system or make the
//       system read a partition table. A dismounted volume that is mounted
//       again under its old letter is therefore not seen: that takes a
//       touch, which would mount it.
//
// contract_tests-sim.exe is the same program over the simulated machine of
// machine.txt beside it, for the Linux twin of the Windows job: its
// --compare-disk and --save-tail read the simulated disk, and the file and
// disk contracts are left to the native tests (the disk contract's host
// calls go to kernel32, so --disk refuses there).
//
// Exit code: 0 every check passed, 1 some failed, 2 nothing was checked
// (refused, or a fault of the set-up or the command line).
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>
#include <set>
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

int MakeImage(const std::wstring& path, uint64_t bytes, uint32_t extra) {
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
  if (ok && extra > 0) {
    // Past the partition: bytes unlike the disk's, none of them zero.
    std::vector<uint8_t> tail(extra);
    for (uint32_t i = 0; i < extra; ++i) tail[i] = static_cast<uint8_t>(1 + (i * 7) % 251);
    DWORD done = 0;
    ok = WriteFile(h, tail.data(), extra, &done, nullptr) && done == extra;
  }
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) {
    std::printf("cannot write the image (error %lu)\n", error);
    return 2;
  }
  std::printf("wrote %llu bytes: an MBR with one FAT32 partition from 1 MiB to %llu MiB",
              static_cast<unsigned long long>(bytes + extra),
              static_cast<unsigned long long>(bytes >> 20));
  if (extra > 0) std::printf(", then %lu bytes more", static_cast<unsigned long>(extra));
  std::printf("\n");
  return 0;
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  unsigned char buffer[4096];
  DWORD got = 0;
  bool ok = true;
  bytes->clear();
  while ((ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) {
    bytes->insert(bytes->end(), buffer, buffer + got);
  }
  CloseHandle(h);
  return ok;
}

int SaveTail(int disk, const std::wstring& image, const std::wstring& to, bool mark,
             const wchar_t* expected) {
  std::vector<unsigned char> tail, want;
  if (expected != nullptr && !ReadWholeFile(expected, &want)) {
    std::printf("cannot read %ls (error %lu)\n", expected, GetLastError());
    return 2;
  }
  std::string report;
  const int result = ReadDiskTail(disk, image, mark, &tail, &report);
  std::printf("%s\n", report.c_str());
  if (result != 0) return result;
  if (expected != nullptr && tail != want) {
    // Kept anyway: what was there instead is the log's to show.
    std::printf("the tail is not what %ls holds: whatever keeps it proves nothing\n",
                expected);
  }
  DeleteFileW(to.c_str());
  if (!WriteWholeFile(to, tail)) {
    std::printf("cannot write %ls (error %lu)\n", to.c_str(), GetLastError());
    return 2;
  }
  return expected != nullptr && tail != want ? 1 : 0;
}

int CompareDisk(int disk, const std::wstring& image, const wchar_t* tailFile) {
  std::vector<unsigned char> tail;
  if (tailFile != nullptr && !ReadWholeFile(tailFile, &tail)) {
    std::printf("cannot read the tail kept before the write, %ls (error %lu)\n", tailFile,
                GetLastError());
    return 2;
  }
  std::string report;
  const int result =
      CompareDiskWithImage(disk, image, &report, tailFile != nullptr ? &tail : nullptr);
  std::printf("%s\n", report.c_str());
  return result;
}

// ---- --watch-volumes ---------------------------------------------------------

std::set<std::wstring> ListedVolumes() {
  std::set<std::wstring> names;
  wchar_t name[MAX_PATH];
  HANDLE find = FindFirstVolumeW(name, MAX_PATH);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.insert(name);
  while (FindNextVolumeW(find, name, MAX_PATH));
  FindVolumeClose(find);
  return names;
}

// Where the mount manager has the volume mounted: "E:\\" or "no letter".
std::string MountPoints(const std::wstring& volume) {
  wchar_t paths[1024] = L"";
  DWORD length = 0;
  if (!GetVolumePathNamesForVolumeNameW(volume.c_str(), paths, 1024, &length) ||
      paths[0] == L'\0') {
    return "no letter";
  }
  std::string out;
  for (const wchar_t* p = paths; *p != L'\0'; p += std::wcslen(p) + 1) {
    if (!out.empty()) out += " ";
    for (const wchar_t* c = p; *c != L'\0'; ++c) out += static_cast<char>(*c < 128 ? *c : '?');
  }
  return out;
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
  return s;
}

void Stamp() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  std::printf("%02u:%02u:%02u.%03u UTC  ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

// Opens the volume without access, which mounts nothing, for its extents.
std::string Whereabouts(std::wstring volume) {
  if (!volume.empty() && volume.back() == L'\\') volume.pop_back();
  HANDLE h = CreateFileW(volume.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "gone again (error " + std::to_string(GetLastError()) + ")";
  alignas(8) unsigned char reply[1024];
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, reply,
                                  sizeof reply, &returned, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) return "its extents: error " + std::to_string(error);
  const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(reply);
  std::string out;
  for (DWORD i = 0; i < extents->NumberOfDiskExtents && 8 + 24 * (i + 1) <= returned; ++i) {
    const DISK_EXTENT& e = extents->Extents[i];
    out += (i == 0 ? "on disk " : ", disk ") + std::to_string(e.DiskNumber) + " at byte " +
           std::to_string(e.StartingOffset.QuadPart) + ", " +
           std::to_string(e.ExtentLength.QuadPart) + " bytes";
  }
  return out.empty() ? "no extents" : out;
}

// The volume the mount manager has `letter` name now, or "" for none: its
// cache answers (GetVolumeNameForVolumeMountPoint's page), and a drive
// letter's root is no mounted folder, so no file system is asked.
std::wstring LetterVolume(wchar_t letter) {
  const wchar_t root[] = {letter, L':', L'\\', L'\0'};
  wchar_t name[MAX_PATH];
  return GetVolumeNameForVolumeMountPointW(root, name, MAX_PATH) ? name : L"";
}

std::string LetterText(const std::wstring& volume, const std::wstring& first) {
  if (volume.empty()) return "no volume";
  return Narrow(volume) + (volume == first ? " (the volume it named at the start)"
                                           : " (another volume)");
}

int WatchVolumes(const std::wstring& until, wchar_t letter) {
  const std::set<std::wstring> first = ListedVolumes();
  std::set<std::wstring> now = first, arrived;
  const std::wstring letterFirst = letter != 0 ? LetterVolume(letter) : L"";
  std::wstring letterNow = letterFirst;
  int letterChanges = 0;
  Stamp();
  std::printf("watching: %zu volumes listed\n", first.size());
  if (letter != 0) {
    Stamp();
    std::printf("%lc: names %s\n", letter, LetterText(letterFirst, letterFirst).c_str());
  }
  std::fflush(stdout);
  // Ten minutes at most, in case nothing ever makes the file.
  for (int i = 0; i < 2400 && GetFileAttributesW(until.c_str()) == INVALID_FILE_ATTRIBUTES;
       ++i) {
    Sleep(250);
    const std::set<std::wstring> next = ListedVolumes();
    for (const std::wstring& v : next) {
      if (now.count(v) != 0) continue;
      if (first.count(v) == 0) arrived.insert(v);
      Stamp();
      std::printf("appeared: %s (%s)\n", Narrow(v).c_str(), MountPoints(v).c_str());
    }
    for (const std::wstring& v : now) {
      if (next.count(v) != 0) continue;
      Stamp();
      std::printf("left the list: %s\n", Narrow(v).c_str());
    }
    if (letter != 0) {
      const std::wstring named = LetterVolume(letter);
      if (named != letterNow) {
        ++letterChanges;
        Stamp();
        std::printf("%lc: now names %s\n", letter, LetterText(named, letterFirst).c_str());
        letterNow = named;
      }
    }
    std::fflush(stdout);
    now = next;
  }
  Stamp();
  std::printf("stopped: %zu volumes appeared while watching", arrived.size());
  if (letter != 0) std::printf(", %lc: changed %d times", letter, letterChanges);
  std::printf("\n");
  for (const std::wstring& v : arrived) {
    std::printf("  %s (%s): %s\n", Narrow(v).c_str(), MountPoints(v).c_str(),
                Whereabouts(v).c_str());
  }
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
      "       contract_tests.exe --make-image FILE [--size MIB] [--extra BYTES]\n"
      "       contract_tests.exe --save-tail N --image FILE --to TAILFILE [--mark]\n"
      "                          [--expect MARKFILE]\n"
      "       contract_tests.exe --compare-disk N --image FILE [--tail TAILFILE]\n"
      "       contract_tests.exe --watch-volumes --until FILE [--letter X:]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 1) return FileContractInTemp();
  int disk = -1, emptyReader = -1, sizeMib = 64, extra = 0, compareDisk = -1, tailDisk = -1;
  bool mark = false, watch = false;
  wchar_t letter = 0;
  const wchar_t* image = nullptr;
  const wchar_t* compareImage = nullptr;
  const wchar_t* tailFile = nullptr;
  const wchar_t* saveTo = nullptr;
  const wchar_t* until = nullptr;
  const wchar_t* expectTail = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == L"--disk" && ParseNumber(value, 63, &disk)) {
      ++i;
    } else if (arg == L"--empty-reader" && ParseNumber(value, 63, &emptyReader)) {
      ++i;
    } else if (arg == L"--size" && ParseNumber(value, 4096, &sizeMib)) {
      ++i;
    } else if (arg == L"--extra" && ParseNumber(value, 1 << 20, &extra)) {
      ++i;
    } else if ((arg == L"--volume" || arg == L"--letter") && value != nullptr &&
               (std::wcslen(value) == 1 || (std::wcslen(value) == 2 && value[1] == L':'))) {
      letter = static_cast<wchar_t>(towupper(value[0]));
      ++i;
    } else if (arg == L"--make-image" && value != nullptr) {
      image = value;
      ++i;
    } else if (arg == L"--compare-disk" && ParseNumber(value, 63, &compareDisk)) {
      ++i;
    } else if (arg == L"--save-tail" && ParseNumber(value, 63, &tailDisk)) {
      ++i;
    } else if (arg == L"--image" && value != nullptr) {
      compareImage = value;
      ++i;
    } else if (arg == L"--tail" && value != nullptr) {
      tailFile = value;
      ++i;
    } else if (arg == L"--to" && value != nullptr) {
      saveTo = value;
      ++i;
    } else if (arg == L"--expect" && value != nullptr) {
      expectTail = value;
      ++i;
    } else if (arg == L"--until" && value != nullptr) {
      until = value;
      ++i;
    } else if (arg == L"--mark") {
      mark = true;
    } else if (arg == L"--watch-volumes") {
      watch = true;
    } else {
      return Usage();
    }
  }
  if (watch) return until != nullptr ? WatchVolumes(until, letter) : Usage();
  if (image != nullptr) {
    return MakeImage(image, static_cast<uint64_t>(sizeMib) << 20, static_cast<uint32_t>(extra));
  }
  if (tailDisk >= 0) {
    if (compareImage == nullptr || saveTo == nullptr) return Usage();
    return SaveTail(tailDisk, compareImage, saveTo, mark, expectTail);
  }
  if (compareDisk >= 0 || compareImage != nullptr) {
    if (compareDisk < 0 || compareImage == nullptr) return Usage();
    return CompareDisk(compareDisk, compareImage, tailFile);
  }
  if (disk < 0 || letter == 0) return Usage();
  return DiskContracts(disk, letter, emptyReader);
}
