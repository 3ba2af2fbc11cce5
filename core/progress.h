// Progress and speed arithmetic of the image write.
#pragma once

#include <cstdint>

// Percentage shown by the progress bar: written * 100 / imageSize, truncated.
// imageSize must not be 0.
int ProgressPercent(uint64_t written, uint64_t imageSize);

// The unit the image's last partial chunk is rounded up to: a whole sector
// of every disk, whether its sectors hold 512 or 4,096 bytes.
constexpr uint32_t kTailBlockBytes = 4096;

// Bytes to write for the last, partial chunk of an image: `bytes` rounded up
// to a multiple of kTailBlockBytes, but never past `diskRemaining`, the bytes
// between the write position and the end of the disk.
uint32_t PaddedChunkLength(uint32_t bytes, uint64_t diskRemaining);
