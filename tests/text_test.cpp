// Fixed-buffer formatting and the small text helpers every message uses.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>

#include "core/text.h"

namespace {

template <typename... Args>
std::wstring Format(size_t capacity, const wchar_t* format, Args... args) {
  std::wstring buffer(capacity + 8, L'#');  // room to see a write past the end
  size_t n = FormatText(&buffer[0], capacity, format, args...);
  EXPECT_EQ(buffer[capacity], L'#') << "wrote past the capacity";
  EXPECT_EQ(n, capacity == 0 ? 0 : std::wcslen(buffer.c_str()));
  if (capacity == 0) return buffer.substr(0, 1);
  return std::wstring(buffer.c_str());
}

TEST(FormatTextTest, CutsAtTheCapacity) {
  std::wstring fits(511, L'a');
  std::wstring over(512, L'b');
  EXPECT_EQ(Format(512, L"%ls", fits.c_str()), fits);
  EXPECT_EQ(Format(512, L"%ls", over.c_str()), over.substr(0, 511));
  EXPECT_EQ(Format(512, L"%lsZ", fits.c_str()), fits);
  // Cut inside a number and inside the literal text.
  EXPECT_EQ(Format(4, L"%d", 123456), L"123");
  EXPECT_EQ(Format(6, L"状态：%d", 1234), L"状态：12");
  EXPECT_EQ(Format(1, L"text %d", 5), L"");
  // Capacity 0 writes nothing at all.
  EXPECT_EQ(Format(0, L"text"), L"#");
  // A double with hundreds of digits still ends at the buffer.
  EXPECT_EQ(Format(16, L"%.2f", 1e300), L"100000000000000");
}

TEST(FormatTextTest, ArgumentTextIsNeverAFormat) {
  EXPECT_EQ(Format(64, L"(%ls) %d", L"50%d%ls%%n", 7), L"(50%d%ls%%n) 7");
  EXPECT_EQ(Format(64, L"[%ls]", static_cast<const wchar_t*>(nullptr)), L"[]");
  EXPECT_EQ(Format(64, L"%c%c", L'盘', L'%'), L"盘%");
}

TEST(FormatTextTest, IntegerConversions) {
  EXPECT_EQ(Format(32, L"%lu", static_cast<uint32_t>(0xFFFFFFFFu)),
            L"4294967295");
  EXPECT_EQ(Format(32, L"%lu", static_cast<uint32_t>(0)), L"0");
  EXPECT_EQ(Format(32, L"%d|%d", INT_MIN, -1), L"-2147483648|-1");
  EXPECT_EQ(Format(256,
                   L"打开目标磁盘失败 (错误码: %lu)。\n"
                   L"请尝试先使用\u201C删除全部分区\u201D按钮清除磁盘分区。",
                   static_cast<uint32_t>(32)),
            L"打开目标磁盘失败 (错误码: 32)。\n"
            L"请尝试先使用“删除全部分区”按钮清除磁盘分区。");
}

TEST(FormatTextTest, FixedDecimalsRoundOnTheBinaryValue) {
  EXPECT_EQ(Format(32, L"%.2f GB", 1e12 / 1073741824.0), L"931.32 GB");
  // Exact halves go to even; 2.675 and 1.005 lie just below their halves.
  EXPECT_EQ(Format(32, L"%.2f %.2f", 0.125, 0.375), L"0.12 0.38");
  EXPECT_EQ(Format(32, L"%.2f %.2f", 2.675, 1.005), L"2.67 1.00");
  EXPECT_EQ(Format(32, L"%.0f %.0f %.0f", 0.5, 1.5, 2.5), L"0 2 2");
  EXPECT_EQ(Format(32, L"%.9f", 0.5), L"0.500000000");
  EXPECT_EQ(Format(32, L"%.2f", 999.995), L"1000.00");
  EXPECT_EQ(Format(32, L"%.2f", 0.0), L"0.00");
}

TEST(FormatTextTest, UnknownConversionsAreCopiedAndTakeNoArgument) {
  EXPECT_EQ(Format(64, L"%s|%x|%5d|%d", 7), L"%s|%x|%5d|7");
  EXPECT_EQ(Format(64, L"%.10f|%.f|%.:f|%d", 8), L"%.10f|%.f|%.:f|8");
  EXPECT_EQ(Format(64, L"100%% done %"), L"100% done %");
  EXPECT_EQ(Format(64, L"%l"), L"%l");
}

TEST(TextHelpersTest, CopyText) {
  wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
  CopyText(buffer, 4, L"abcdef");
  EXPECT_STREQ(buffer, L"abc");
  CopyText(buffer, 4, nullptr);
  EXPECT_STREQ(buffer, L"");
  buffer[0] = L'#';
  CopyText(buffer, 0, L"abc");
  EXPECT_EQ(buffer[0], L'#');
}

TEST(TextHelpersTest, TrimRemovesOnlyTheFourTrailingBlanks) {
  char narrow[] = "  a b \t\r\n \r";
  TrimTrailingBlanks(narrow);
  EXPECT_STREQ(narrow, "  a b");
  char others[] = "x\v\f";
  TrimTrailingBlanks(others);
  EXPECT_STREQ(others, "x\v\f");
  char blank[] = " \t\n\r";
  TrimTrailingBlanks(blank);
  EXPECT_STREQ(blank, "");
  char empty[] = {'\0', ' ', '\0'};  // what follows the terminator is no text
  TrimTrailingBlanks(empty);
  EXPECT_EQ(empty[1], ' ');

  wchar_t wide[] = L" 盘\u3000\u00A0 \t";
  TrimTrailingBlanks(wide);
  EXPECT_STREQ(wide, L" 盘\u3000\u00A0");
}

TEST(TextHelpersTest, CaseFoldingCoversOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"AbC-09_z", L"aBc-09_Z"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"", L""));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"你好", L"你好"));
  // Pairs 0x20 apart that are not letters stay distinct.
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"[", L"{"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"@", L"`"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\u00E9", L"\u00C9"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"AB", L"ABC"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"ABC", L"AB"));
}

}  // namespace
