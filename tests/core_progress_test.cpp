// Progress percentage and the padding of an image's last chunk.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/progress.h"

namespace {

constexpr uint64_t kMiB = 1048576;

TEST(ProgressTest, PercentTruncatesAndNeverPassesFull) {
  const uint64_t image = 10 * kMiB + 512;
  EXPECT_EQ(ProgressPercent(4 * kMiB, image), 39);
  EXPECT_EQ(ProgressPercent(8 * kMiB, image), 79);
  EXPECT_EQ(ProgressPercent(image, image), 100);
  EXPECT_EQ(ProgressPercent(0, image), 0);
  EXPECT_EQ(ProgressPercent(image - 1, image), 99);
  // Sizes where written * 100 no longer fits 64 bits.
  EXPECT_EQ(ProgressPercent(UINT64_MAX - 1, UINT64_MAX), 99);
  EXPECT_EQ(ProgressPercent(UINT64_MAX / 2, UINT64_MAX), 49);
  // An image that grew while it was copied, and the size that must not be.
  EXPECT_EQ(ProgressPercent(3 * image, image), 100);
  EXPECT_EQ(ProgressPercent(5, 0), 0);
}

TEST(ProgressTest, LastChunkPadsToFourKibWithinTheDisk) {
  EXPECT_EQ(PaddedChunkLength(0, 1 << 30), 0u);
  EXPECT_EQ(PaddedChunkLength(1, 1 << 30), 4096u);
  EXPECT_EQ(PaddedChunkLength(512, 1 << 30), 4096u);
  EXPECT_EQ(PaddedChunkLength(4096, 1 << 30), 4096u);
  EXPECT_EQ(PaddedChunkLength(4097, 1 << 30), 8192u);
  EXPECT_EQ(PaddedChunkLength(2 * kMiB + 512, 1 << 30), 2 * kMiB + 4096);
  EXPECT_EQ(PaddedChunkLength(4 * kMiB, 4 * kMiB), 4 * kMiB);
  // Near the disk's end the padding stops at the last sector.
  EXPECT_EQ(PaddedChunkLength(512, 512), 512u);
  EXPECT_EQ(PaddedChunkLength(1000, 2048), 2048u);
  EXPECT_EQ(PaddedChunkLength(5000, 6144), 6144u);
  EXPECT_EQ(PaddedChunkLength(5000, 8192), 8192u);
  // Padding past 32 bits is impossible: the chunk stays as it is.
  EXPECT_EQ(PaddedChunkLength(0xFFFFF001u, uint64_t{1} << 40), 0xFFFFF001u);
  EXPECT_EQ(PaddedChunkLength(0xFFFFF000u, uint64_t{1} << 40), 0xFFFFF000u);
}

}  // namespace
