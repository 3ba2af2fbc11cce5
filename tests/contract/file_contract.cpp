#include "tests/contract/file_contract.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

struct Tally {
  int passed = 0;
  int failed = 0;
};

Tally* tally = nullptr;

void Check(bool ok, const char* what, int line) {
  if (ok) {
    ++tally->passed;
    return;
  }
  ++tally->failed;
  std::printf("file_contract.cpp:%d: failed: %s\n", line, what);
  std::fflush(stdout);
}

#define CHECK(expr) Check((expr), #expr, __LINE__)

std::wstring Join(const wchar_t* dir, const wchar_t* name) {
  return std::wstring(dir) + L"\\" + name;
}

bool OpenForRead(const std::wstring& path, uint32_t share, OsHandle* h) {
  return OsOpen(path.c_str(), kGenericRead, share, kOpenExisting,
                kFileAttributeNormal, h);
}

void MissingFile(const wchar_t* dir) {
  OsHandle h = reinterpret_cast<OsHandle>(&tally);  // must be overwritten
  bool ok = OpenForRead(Join(dir, kContractMissingFile), kFileShareRead, &h);
  uint32_t error = OsLastError();
  CHECK(!ok);
  CHECK(h == nullptr);
  CHECK(error == kErrorFileNotFound);
  if (ok) OsClose(h);
}

void Sizes(const wchar_t* dir) {
  HandleGuard data;
  CHECK(OpenForRead(Join(dir, kContractDataFile), kFileShareRead, data.out()));
  CHECK(data.get() != nullptr);
  if (data.get() == nullptr) return;
  int64_t size = -1;
  CHECK(OsGetFileSizeEx(data.get(), &size));
  CHECK(size == kContractDataBytes);
  uint32_t high = 0xFFFFFFFFu;
  CHECK(OsGetFileSize(data.get(), &high) == kContractDataBytes);
  CHECK(high == 0);

  HandleGuard empty;
  CHECK(OpenForRead(Join(dir, kContractEmptyFile), kFileShareRead, empty.out()));
  if (empty.get() == nullptr) return;
  size = -1;
  CHECK(OsGetFileSizeEx(empty.get(), &size));
  CHECK(size == 0);
  high = 0xFFFFFFFFu;
  CHECK(OsGetFileSize(empty.get(), &high) == 0);
  CHECK(high == 0);
}

void SequentialReads(const wchar_t* dir) {
  HandleGuard data;
  CHECK(OpenForRead(Join(dir, kContractDataFile), kFileShareRead, data.out()));
  if (data.get() == nullptr) return;
  // 4,096-byte reads: two full, one of the 1,808 left, then end of file.
  static unsigned char buffer[4096];
  uint32_t total = 0;
  bool contentOk = true;
  const uint32_t expected[] = {4096, 4096, kContractDataBytes - 8192, 0, 0};
  for (uint32_t want : expected) {
    uint32_t done = 0xFFFFFFFFu;
    CHECK(OsRead(data.get(), buffer, sizeof buffer, &done));
    CHECK(done == want);
    if (done > sizeof buffer) break;
    for (uint32_t i = 0; i < done; ++i)
      if (buffer[i] != ContractDataByte(total + i)) contentOk = false;
    total += done;
  }
  CHECK(contentOk);
  CHECK(total == kContractDataBytes);

  // Back to an absolute position, and a read that straddles the end.
  CHECK(OsSeek(data.get(), 9990));
  uint32_t done = 0;
  CHECK(OsRead(data.get(), buffer, 64, &done));
  CHECK(done == 10);
  CHECK(done == 10 && buffer[0] == ContractDataByte(9990) &&
        buffer[9] == ContractDataByte(9999));

  HandleGuard empty;
  CHECK(OpenForRead(Join(dir, kContractEmptyFile), kFileShareRead, empty.out()));
  if (empty.get() == nullptr) return;
  done = 0xFFFFFFFFu;
  CHECK(OsRead(empty.get(), buffer, sizeof buffer, &done));
  CHECK(done == 0);
}

void Sharing(const wchar_t* dir) {
  std::wstring path = Join(dir, kContractDataFile);
  HandleGuard reader;
  CHECK(OpenForRead(path, kFileShareRead, reader.out()));
  if (reader.get() == nullptr) return;

  // A second reader is compatible with FILE_SHARE_READ ...
  HandleGuard second;
  CHECK(OpenForRead(path, kFileShareRead | kFileShareWrite, second.out()));
  // ... a writer is not, whatever sharing it offers itself.
  OsHandle writer = nullptr;
  bool ok = OsOpen(path.c_str(), kGenericRead | kGenericWrite,
                   kFileShareRead | kFileShareWrite, kOpenExisting,
                   kFileAttributeNormal, &writer);
  uint32_t error = OsLastError();
  CHECK(!ok);
  CHECK(writer == nullptr);
  CHECK(error == kErrorSharingViolation);
  if (ok) OsClose(writer);

  // Once the readers are gone the file opens for writing again.
  reader.Close();
  second.Close();
  ok = OsOpen(path.c_str(), kGenericRead | kGenericWrite, kFileShareRead,
              kOpenExisting, kFileAttributeNormal, &writer);
  CHECK(ok);
  if (ok) OsClose(writer);
}

void AnsiConversion() {
  wchar_t wide[8];
  // With length -1 the terminator is converted and counted.
  CHECK(OsAnsiToWide(kCpAcp, "AB1-", -1, wide, 8) == 5);
  CHECK(std::wstring(wide) == L"AB1-");
  // With an explicit length it is not.
  for (wchar_t& c : wide) c = L'#';
  CHECK(OsAnsiToWide(kCpAcp, "XYZ", 3, wide, 8) == 3);
  CHECK(wide[0] == L'X' && wide[2] == L'Z' && wide[3] == L'#');
  // Exactly enough room ...
  CHECK(OsAnsiToWide(kCpAcp, "1234567", -1, wide, 8) == 8);
  CHECK(std::wstring(wide) == L"1234567");
  // ... and one character short: 0 with 122, never a partial success.
  int n = OsAnsiToWide(kCpAcp, "12345678", -1, wide, 8);
  uint32_t error = OsLastError();
  CHECK(n == 0);
  CHECK(error == kErrorInsufficientBuffer);
}

}  // namespace

int RunFileContract(const wchar_t* dir, int* passed) {
  Tally counts;
  tally = &counts;
  MissingFile(dir);
  Sizes(dir);
  SequentialReads(dir);
  Sharing(dir);
  AnsiConversion();
  tally = nullptr;
  if (passed != nullptr) *passed = counts.passed;
  return counts.failed;
}

int RunFileContract(const wchar_t* dir) { return RunFileContract(dir, nullptr); }
