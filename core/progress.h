// Progress and speed arithmetic of the image write.
#pragma once

#include <cstdint>

// Percentage shown by the progress bar: written * 100 / imageSize, truncated.
// imageSize must not be 0.
int ProgressPercent(uint64_t written, uint64_t imageSize);

// Bytes to write for the last, partial chunk of an image: `bytes` rounded up
// to a multiple of 4,096, but never past `diskRemaining`, the bytes between
// the write position and the end of the disk.
uint32_t PaddedChunkLength(uint32_t bytes, uint64_t diskRemaining);
