// Reading the little-endian fields of driver replies byte by byte, so that
// no reply is ever read through a misaligned or oversized struct.
#pragma once

#include <cstdint>

inline uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
