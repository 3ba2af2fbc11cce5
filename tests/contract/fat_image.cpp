#include "tests/contract/fat_image.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kPartitionLba = kFatImagePartitionOffset / kSector;
constexpr uint32_t kReserved = 32;
constexpr uint32_t kFats = 2;
constexpr uint32_t kBackupBoot = 6;
constexpr char kBootCode[] = "\xFA\xEB\xFE" "Tessavane test image, not bootable";

struct Layout {
  uint32_t partitionSectors;
  uint32_t fatSectors;
  uint32_t clusters;  // one sector each
};

Layout LayoutOf(uint64_t imageBytes) {
  Layout l;
  l.partitionSectors = static_cast<uint32_t>(imageBytes / kSector) - kPartitionLba;
  // Microsoft's published FAT32 sizing formula, one sector per cluster.
  const uint32_t perFatSector = (256 * 1 + kFats) / 2;
  l.fatSectors = (l.partitionSectors - kReserved + perFatSector - 1) / perFatSector;
  l.clusters = l.partitionSectors - kReserved - kFats * l.fatSectors;
  return l;
}

void Put16(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Mbr(const Layout& l, uint8_t* s) {
  std::memcpy(s, kBootCode, sizeof kBootCode - 1);
  std::memcpy(s + 440, "TESS", 4);  // disk signature
  uint8_t* entry = s + 446;
  // CHS fields say "use the LBA fields", as on any disk past 8 GiB.
  entry[1] = 0xFE;
  entry[2] = 0xFF;
  entry[3] = 0xFF;
  entry[4] = kFatImagePartitionType;
  entry[5] = 0xFE;
  entry[6] = 0xFF;
  entry[7] = 0xFF;
  Put32(entry + 8, kPartitionLba);
  Put32(entry + 12, l.partitionSectors);
  s[510] = 0x55;
  s[511] = 0xAA;
}

void BootSector(const Layout& l, uint8_t* s) {
  s[0] = 0xEB;
  s[1] = 0x58;
  s[2] = 0x90;
  std::memcpy(s + 3, "MSWIN4.1", 8);
  Put16(s + 11, kSector);
  s[13] = 1;  // sectors per cluster
  Put16(s + 14, kReserved);
  s[16] = kFats;
  s[21] = 0xF8;  // fixed media
  Put16(s + 24, 63);
  Put16(s + 26, 255);
  Put32(s + 28, kPartitionLba);
  Put32(s + 32, l.partitionSectors);
  Put32(s + 36, l.fatSectors);
  Put32(s + 44, 2);  // root directory cluster
  Put16(s + 48, 1);  // FSInfo sector
  Put16(s + 50, kBackupBoot);
  s[64] = 0x80;
  s[66] = 0x29;
  Put32(s + 67, 0x7E55A7E0);
  std::memcpy(s + 71, "TESSAVANE  ", 11);
  std::memcpy(s + 82, "FAT32   ", 8);
  s[510] = 0x55;
  s[511] = 0xAA;
}

void FsInfo(const Layout& l, uint8_t* s) {
  Put32(s, 0x41615252);
  Put32(s + 484, 0x61417272);
  Put32(s + 488, l.clusters - 1);  // all free but the root directory
  Put32(s + 492, 3);
  Put32(s + 508, 0xAA550000);
}

uint8_t PatternByte(uint64_t offset) {
  return static_cast<uint8_t>((offset * 7 + offset / 4096 + 0x5A) & 0xFF);
}

// One 512-byte sector of the image.
void Sector(const Layout& l, uint64_t lba, uint8_t* s) {
  std::memset(s, 0, kSector);
  if (lba == 0) return Mbr(l, s);
  if (lba < kPartitionLba) return;
  const uint64_t p = lba - kPartitionLba;
  if (p == 0 || p == kBackupBoot) return BootSector(l, s);
  if (p == 1 || p == kBackupBoot + 1) return FsInfo(l, s);
  if (p < kReserved) return;
  if (p < kReserved + kFats * l.fatSectors) {
    // Entries 0 and 1 are reserved, 2 ends the root directory's chain.
    if ((p - kReserved) % l.fatSectors == 0) {
      Put32(s, 0x0FFFFFF8);
      Put32(s + 4, 0x0FFFFFFF);
      Put32(s + 8, 0x0FFFFFFF);
    }
    return;
  }
  if (p == kReserved + kFats * l.fatSectors) {
    std::memcpy(s, "TESSAVANE  ", 11);
    s[11] = 0x08;  // the volume label's directory entry
    return;
  }
  for (uint32_t i = 0; i < kSector; ++i) s[i] = PatternByte(lba * kSector + i);
}

}  // namespace

bool FatImageSizeValid(uint64_t imageBytes) {
  return imageBytes >= kFatImageMinBytes && imageBytes % (1u << 20) == 0 &&
         imageBytes / kSector <= 0xFFFFFFFFu;
}

void FatImageBytes(uint64_t imageBytes, uint64_t offset, uint8_t* out, size_t length) {
  const Layout l = LayoutOf(imageBytes);
  uint8_t sector[kSector];
  while (length > 0) {
    const uint64_t lba = offset / kSector;
    const size_t within = static_cast<size_t>(offset % kSector);
    const size_t n = std::min<size_t>(length, kSector - within);
    if (offset >= imageBytes) {
      std::memset(out, 0, n);
    } else {
      Sector(l, lba, sector);
      std::memcpy(out, sector + within, n);
    }
    out += n;
    offset += n;
    length -= n;
  }
}
