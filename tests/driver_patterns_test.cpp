// The end-to-end driver's "like" patterns, which decide what a script
// accepts as the program's text: built natively from the driver's own file.
#include <gtest/gtest.h>

#include "e2e/driver/patterns.h"

namespace {

class Patterns : public ::testing::Test {
 protected:
  void SetUp() override { vars.clear(); }
  void TearDown() override { vars.clear(); }
};

TEST_F(Patterns, NumbersBindOnceAndThenStandForTheirText) {
  EXPECT_TRUE(Like(L"速度：{speed} MB/s    已写 {} / 24.00 MB", L"速度：12.50 MB/s    已写 3.00 / 24.00 MB"));
  EXPECT_EQ(vars[L"speed"], L"12.50");
  EXPECT_FALSE(Like(L"平均速度: {speed} MB/s", L"平均速度: 12.5 MB/s"));
  EXPECT_TRUE(Like(L"平均速度: {speed} MB/s", L"平均速度: 12.50 MB/s"));
  // {} is a number that binds nothing; * is any run, also an empty one.
  EXPECT_FALSE(Like(L"#{}  *", L"#x  Msft"));
  EXPECT_TRUE(Like(L"#{}  *GB", L"#12  GB"));
  EXPECT_FALSE(Like(L"{n}", L""));
  EXPECT_FALSE(Like(L"{n}", L"1."));
}

// A failed match keeps nothing it tried on the way; a value set before the
// first step (--set disk=2) is literal text, as a bound one is.
TEST_F(Patterns, FailuresBindNothingAndSetValuesAreLiteral) {
  EXPECT_FALSE(Like(L"#{disk}  Msft Virtual Disk  0.25 GB", L"#2  Msft Virtual Disk  0.25 GB (PE盘，禁止写入)"));
  EXPECT_EQ(vars.count(L"disk"), 0u);
  vars[L"disk"] = L"2";
  EXPECT_FALSE(Like(L"#{disk}  *", L"#12  Msft Virtual Disk  0.25 GB"));
  EXPECT_FALSE(Like(L"#{disk}  *", L"#20  Msft Virtual Disk  0.25 GB"));
  EXPECT_TRUE(Like(L"#{disk}  *", L"#2  Msft Virtual Disk  0.25 GB"));
  vars[L"image"] = L"C:\\a b\\{x}.img";
  EXPECT_TRUE(Like(L"{image}", L"C:\\a b\\{x}.img"));
}

TEST_F(Patterns, ExpandPutsInOnlyBoundNames) {
  vars[L"disk"] = L"3";
  vars[L"image"] = L"D:\\images\\image.img";
  EXPECT_EQ(Expand(L"PhysicalDrive{disk}: {image} {other} {} {disk"),
            L"PhysicalDrive3: D:\\images\\image.img {other} {} {disk");
}

}  // namespace
