// Progress arithmetic of the image write.
#include "core/progress.h"

namespace {

// written * 100 must not wrap for any 64-bit size.
__extension__ typedef unsigned __int128 WideUnsigned;

}  // namespace

int ProgressPercent(uint64_t written, uint64_t imageSize) {
  if (imageSize == 0) return 0;
  WideUnsigned percent = static_cast<WideUnsigned>(written) * 100 / imageSize;
  // An image that grew while it was copied must not drive the bar past full.
  return percent > 100 ? 100 : static_cast<int>(percent);
}

uint32_t PaddedChunkLength(uint32_t bytes, uint64_t diskRemaining) {
  uint64_t padded = (static_cast<uint64_t>(bytes) + kTailBlockBytes - 1) /
                    kTailBlockBytes * kTailBlockBytes;
  if (padded > diskRemaining) padded = diskRemaining;
  // Only a chunk within 4 KiB of 4 GiB could pad past 32 bits; it goes
  // unpadded, which an unaligned device refuses rather than corrupts.
  if (padded > UINT32_MAX) return bytes;
  return static_cast<uint32_t>(padded);
}
