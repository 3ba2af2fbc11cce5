// A disk image with an MBR and one FAT32 partition, computed a block at a
// time so that no image is ever held whole: the fixture of the disk contract,
// and what the Windows job writes to see a volume appear mid-write.
#pragma once

#include <cstddef>
#include <cstdint>

// The partition starts at 1 MiB (LBA 2048, 512-byte sectors) and runs to the
// image's end; its file system is empty, and the free clusters hold a
// pattern, so a misplaced block shows. The image's size is a whole number of
// MiB from kFatImageMinBytes up.
constexpr uint64_t kFatImagePartitionOffset = 1u << 20;
constexpr uint64_t kFatImageMinBytes = 40u << 20;
constexpr uint8_t kFatImagePartitionType = 0x0C;  // FAT32, LBA addressing

bool FatImageSizeValid(uint64_t imageBytes);
// Fills out[0, length) with the image's bytes from `offset`.
void FatImageBytes(uint64_t imageBytes, uint64_t offset, uint8_t* out, size_t length);
