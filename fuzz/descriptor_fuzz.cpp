// Any bytes, any length, as a storage descriptor reply: the name and serial
// must come out terminated and within their buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "core/disks.h"
#include "platform/sim/sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    SimReset();
    return true;
  }();
  (void)ready;
  // An exact-size heap copy, so that ASan sees any read past the reply.
  std::vector<unsigned char> reply(data, data + size);
  wchar_t name[kNameChars];
  wchar_t serial[kSerialChars];
  wmemset(name, L'#', kNameChars);
  wmemset(serial, L'#', kSerialChars);
  DescribeDescriptor(reply.data(), static_cast<uint32_t>(reply.size()), name,
                     kNameChars, serial, kSerialChars);
  if (wcsnlen(name, kNameChars) >= static_cast<size_t>(kNameChars)) abort();
  if (wcsnlen(serial, kSerialChars) >= static_cast<size_t>(kSerialChars)) abort();
  // The name-only form must agree with the full one.
  wchar_t nameOnly[kNameChars];
  DescribeDescriptor(reply.data(), static_cast<uint32_t>(reply.size()),
                     nameOnly, kNameChars, nullptr, 0);
  if (wcscmp(name, nameOnly) != 0) abort();
  return 0;
}
