// MultiByteToWideChar as the simulated machine answers it: the code pages
// device and file text arrives in, and the buffer rules.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace {

// Converts all of `bytes` (no terminator) or returns "!<error>".
std::wstring Wide(uint32_t codePage, const std::string& bytes) {
  wchar_t out[64];
  const int n = OsAnsiToWide(codePage, bytes.data(), static_cast<int>(bytes.size()), out, 64);
  if (n == 0) return L"!" + std::to_wstring(OsLastError());
  return std::wstring(out, static_cast<size_t>(n));
}

class SimText : public ::testing::Test {
 protected:
  void SetUp() override { SimReset(); }
};

TEST_F(SimText, Gbk) {
  EXPECT_EQ(Wide(kCpAcp, "\xC4\xE3\xBA\xC3"), L"\u4F60\u597D");  // 你好
  EXPECT_EQ(Wide(936, "SN-\xB4\xC5\xC5\xCC"), L"SN-\u78C1\u76D8");  // 磁盘
  EXPECT_EQ(Wide(936, "\x81\x40"), L"\u4E02");  // first GBK extension code
  EXPECT_EQ(Wide(936, "\xFE\x4F"), L"\uFA29");
  EXPECT_EQ(Wide(936, "\x80"), L"\u20AC");
  EXPECT_EQ(Wide(936, "\xFF"), L"\uF8F5");
  EXPECT_EQ(Wide(936, "\xAA\xA1"), L"\uE000");  // user-defined area
  // A lead byte takes the next byte with it, unless it is NUL or missing;
  // what cannot be decoded becomes '?', as Windows' table has it.
  EXPECT_EQ(Wide(936, "\x81\x20" "A"), L"?A");
  EXPECT_EQ(Wide(936, "\x81\x7F" "A"), L"?A");
  EXPECT_EQ(Wide(936, std::string("\x81\0A", 3)), std::wstring(L"?\0A", 3));
  EXPECT_EQ(Wide(936, "A\xC4"), L"A?");
}

TEST_F(SimText, Windows1252AndUtf8) {
  EXPECT_EQ(Wide(1252, "\x80\x81\x8D\x9F\xE9\xFF"), L"\u20AC\u0081\u008D\u0178\u00E9\u00FF");
  EXPECT_EQ(Wide(65001, "\xE4\xBD\xA0\xE5\xA5\xBD"), L"\u4F60\u597D");
  // One U+FFFD per maximal invalid subpart.
  EXPECT_EQ(Wide(65001, "\xE4\xBD" "A"), L"\uFFFD" L"A");
  EXPECT_EQ(Wide(65001, "\xC0\x80" "A"), L"\uFFFD\uFFFD" L"A");
  EXPECT_EQ(Wide(65001, "\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Wide(65001, "\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
  // Beyond the BMP: one wchar_t natively, a surrogate pair on Windows.
  const std::wstring smile = Wide(65001, "\xF0\x9F\x98\x80");
  if (sizeof(wchar_t) == 4) {
    EXPECT_EQ(smile, std::wstring(1, static_cast<wchar_t>(0x1F600)));
  } else {
    EXPECT_EQ(smile.size(), 2u);
  }
  SimSetCodePage(1252);
  EXPECT_EQ(Wide(kCpAcp, "\xC4\xE3"), L"\u00C4\u00E3");
  SimSetCodePage(65001);
  EXPECT_EQ(Wide(kCpAcp, "\xC4\xE3"), L"\uFFFD\uFFFD");
}

TEST_F(SimText, BufferRules) {
  wchar_t out[8] = {};
  // -1 converts and counts the terminator.
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "AB", -1, out, 8), 3);
  EXPECT_EQ(std::wstring(out), L"AB");
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "\xC4\xE3", -1, out, 8), 2);
  // Capacity 0 asks for the size; nothing is written.
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "ABCDEFGHIJ", -1, nullptr, 0), 11);
  // Too small: 0 with 122, and a prefix in the buffer.
  out[0] = out[1] = out[2] = L'#';
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "ABC", -1, out, 3), 0);
  EXPECT_EQ(OsLastError(), 122u);
  EXPECT_EQ(out[0], L'A');
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "ABC", 3, out, 3), 3);
  // Bad arguments are 87.
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "ABC", 0, out, 8), 0);
  EXPECT_EQ(OsLastError(), 87u);
  EXPECT_EQ(OsAnsiToWide(kCpAcp, "ABC", -2, out, 8), 0);
  EXPECT_EQ(OsLastError(), 87u);
  EXPECT_EQ(OsAnsiToWide(437, "ABC", 3, out, 8), 0);
  EXPECT_EQ(OsLastError(), 87u);
  EXPECT_EQ(OsAnsiToWide(kCpAcp, nullptr, 3, out, 8), 0);
  EXPECT_EQ(OsLastError(), 87u);
}

}  // namespace
