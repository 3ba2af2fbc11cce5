// The file contract over kernel32. Creates its files in a fresh folder under
// the temporary folder, runs the checks, removes the folder again.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace

int wmain() {
  wchar_t temp[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, temp);
  if (n == 0 || n >= MAX_PATH) {
    std::printf("no temporary folder (error %lu)\n", GetLastError());
    return 2;
  }
  std::wstring dir = temp;
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  dir += L"\\tessavane-contract-" + std::to_wstring(GetCurrentProcessId());
  if (!CreateDirectoryW(dir.c_str(), nullptr)) {
    std::printf("cannot create the test folder (error %lu)\n", GetLastError());
    return 2;
  }

  std::vector<unsigned char> data(kContractDataBytes);
  for (uint32_t i = 0; i < kContractDataBytes; ++i) data[i] = ContractDataByte(i);
  const std::wstring dataPath = dir + L"\\" + kContractDataFile;
  const std::wstring emptyPath = dir + L"\\" + kContractEmptyFile;
  int result = 2;
  if (WriteWholeFile(dataPath, data) && WriteWholeFile(emptyPath, {})) {
    int passed = 0;
    int failed = RunFileContract(dir.c_str(), &passed);
    std::printf("%d passed, %d failed\n", passed, failed);
    result = failed == 0 ? 0 : 1;
  } else {
    std::printf("cannot create the test files (error %lu)\n", GetLastError());
  }
  DeleteFileW(dataPath.c_str());
  DeleteFileW(emptyPath.c_str());
  RemoveDirectoryW(dir.c_str());
  return result;
}
