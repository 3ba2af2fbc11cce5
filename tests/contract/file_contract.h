// The file operations of the platform seam, checked the same way against the
// simulated machine and against Windows.
#pragma once

#include <cstdint>

// Files the fixture of each build creates in the folder it passes in.
constexpr wchar_t kContractDataFile[] = L"contract_data.bin";
constexpr wchar_t kContractEmptyFile[] = L"contract_empty.bin";
// Never created: opening it must fail with 2.
constexpr wchar_t kContractMissingFile[] = L"contract_missing.bin";

// contract_data.bin holds kContractDataBytes bytes, byte i being
// ContractDataByte(i); the size is not a multiple of the read size, so the
// last read is a short one. contract_empty.bin is empty.
constexpr uint32_t kContractDataBytes = 10000;
inline unsigned char ContractDataByte(uint32_t i) {
  return static_cast<unsigned char>((i * 7 + i / 256 + 3) & 0xFF);
}

// Runs every check over the files in `dir` (a Windows path without a final
// backslash), printing each failed one. Returns the number of failed checks;
// `passed`, if given, receives the number that passed. Leaves no handle open.
int RunFileContract(const wchar_t* dir, int* passed);
int RunFileContract(const wchar_t* dir);
