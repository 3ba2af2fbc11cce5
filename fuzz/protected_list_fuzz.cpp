// Any bytes as prohibited_disks.txt, read through the simulated machine from
// beside the executable, sizes up to and past the 65,536-byte limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "core/disks.h"
#include "platform/sim/sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte stretches the file past the limit now and then, so the
  // size check itself is fuzzed, not just the parser.
  std::vector<uint8_t> file(data, data + size);
  if (size > 0 && data[0] == 0xFF) file.resize(65536 + (size % 3), 'A');

  SimReset();
  SimSetExecutablePath(L"X:\\pe\\tessavane.exe");
  SimPutFile(L"X:\\pe\\prohibited_disks.txt", file);
  LoadProtectedSerials();

  if (fileProtectedSerialCount < 0 || fileProtectedSerialCount > kMaxFileSerials)
    abort();
  if (file.size() > kMaxProtectedFileBytes && fileProtectedSerialCount != 0)
    abort();
  for (int i = 0; i < fileProtectedSerialCount; ++i) {
    size_t n = wcsnlen(fileProtectedSerials[i], kSerialChars);
    if (n == 0 || n >= static_cast<size_t>(kSerialChars)) abort();
    // Every stored serial protects itself, whatever its case.
    if (!IsProtectedSerial(fileProtectedSerials[i])) abort();
    wchar_t last = fileProtectedSerials[i][n - 1];
    if (last == L' ' || last == L'\t' || last == L'\r' || last == L'\n') abort();
  }
  if (SimOpenHandles() != 0 || SimLiveHeapAllocations() != 0) abort();
  return 0;
}
