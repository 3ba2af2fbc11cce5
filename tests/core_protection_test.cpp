// The protected-serial lists: prohibited_disks.txt as read from beside the
// executable, and the matching.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/disks.h"
#include "platform/sim/sim.h"

namespace {

const std::wstring kExe = L"X:\\pe\\tessavane.exe";
const std::wstring kList = L"X:\\pe\\prohibited_disks.txt";

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<std::wstring> Loaded() {
  std::vector<std::wstring> serials;
  for (int i = 0; i < fileProtectedSerialCount; ++i) {
    EXPECT_LT(wcsnlen(fileProtectedSerials[i], kSerialChars),
              static_cast<size_t>(kSerialChars));
    serials.push_back(fileProtectedSerials[i]);
  }
  return serials;
}

// Puts `text` beside the executable and loads it.
std::vector<std::wstring> Load(const std::string& text) {
  SimPutFile(kList, Bytes(text));
  LoadProtectedSerials();
  return Loaded();
}

bool OpenedAnything() {
  for (const SimCall& c : SimCallLog())
    if (c.op == SimOp::kOpen) return true;
  return false;
}

class ProtectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    SimSetExecutablePath(kExe);
    ParseProtectedSerials("", 0);
  }
  void TearDown() override {
    EXPECT_EQ(SimOpenHandles(), 0);
    EXPECT_EQ(SimLiveHeapAllocations(), 0);
  }
};

using Serials = std::vector<std::wstring>;

TEST_F(ProtectionTest, LinesSplitOnAnyRunOfLineBreaks) {
  EXPECT_EQ(Load("A1\r\nB2\nC3\rD4\n\n\r\n\r\rE5\r\n"),
            (Serials{L"A1", L"B2", L"C3", L"D4", L"E5"}));
  EXPECT_EQ(Load("\r\n\nONLY"), Serials{L"ONLY"});
}

TEST_F(ProtectionTest, BlanksCommentsAndHashes) {
  EXPECT_EQ(Load("# protected disks\n"
                 "  LEAD\n"
                 "TRAIL \t \n"
                 " #x\n"
                 "a#b\n"
                 "#\n"
                 " \t \n"
                 "\tTAB\n"),
            (Serials{L"  LEAD", L"TRAIL", L" #x", L"a#b", L"\tTAB"}));
  EXPECT_TRUE(IsProtectedSerial(L"  LEAD"));
  EXPECT_FALSE(IsProtectedSerial(L"LEAD"));
  EXPECT_TRUE(IsProtectedSerial(L"TRAIL"));
  EXPECT_FALSE(IsProtectedSerial(L"TRAIL "));
  EXPECT_FALSE(IsProtectedSerial(L"a"));
}

TEST_F(ProtectionTest, OnlyThe32FirstSerialsCount) {
  std::string text;
  for (int i = 1; i <= 40; ++i) {
    if (i % 4 == 0) text += "# comment " + std::to_string(i) + "\n";
    text += "S" + std::to_string(i) + "\n";
  }
  Serials serials = Load(text);
  ASSERT_EQ(serials.size(), 32u);
  EXPECT_EQ(serials.front(), L"S1");
  EXPECT_EQ(serials.back(), L"S32");
  EXPECT_TRUE(IsProtectedSerial(L"S32"));
  EXPECT_FALSE(IsProtectedSerial(L"S33"));
}

TEST_F(ProtectionTest, LongLinesAreCutBeforeTheTrim) {
  // 250 letters, 10 blanks, 40 more letters: cut to 255 bytes, the five
  // blanks left at the end are then trimmed.
  std::string line = std::string(250, 'A') + std::string(10, ' ') +
                     std::string(40, 'B');
  Serials serials = Load(line + "\nNEXT\n");
  ASSERT_EQ(serials.size(), 2u);
  EXPECT_EQ(serials[0], std::wstring(250, L'A'));
  EXPECT_EQ(serials[1], L"NEXT");

  std::string letters(256, 'C');  // one more than a serial holds
  serials = Load(letters);
  ASSERT_EQ(serials.size(), 1u);
  EXPECT_EQ(serials[0], std::wstring(255, L'C'));
}

// The text as UTF-16 with its byte-order mark, in either byte order.
std::string Utf16(const std::wstring& text, bool bigEndian = false) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : text) {
    const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
    bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return bytes;
}

// The file as Notepad, PowerShell and editors leave it: 8-bit text ends at
// a NUL; a UTF-8 byte-order mark is no part of the first serial; with a
// UTF-16 one (Notepad's "Unicode", PowerShell 5.1's ">") the file is UTF-16;
// an editor that holds the file open for writing, or with delete access to
// save by replacing it, does not empty the list.
TEST_F(ProtectionTest, TheFileInItsEverydayForms) {
  EXPECT_EQ(Load(std::string("A1\nB2\0C3\nD4\n", 12)), (Serials{L"A1", L"B2"}));
  EXPECT_EQ(Load(std::string("\0A1\n", 4)), Serials{});

  // GBK machine; the marked file is UTF-8 all the same.
  EXPECT_EQ(Load("\xEF\xBB\xBFSER1\r\n\xE4\xBD\xA0\xE5\xA5\xBD\r\n"),
            (Serials{L"SER1", L"你好"}));
  EXPECT_TRUE(IsProtectedSerial(L"SER1"));
  EXPECT_EQ(Load("\xEF\xBB\xBF"), Serials{});  // Notepad's empty UTF-8 file

  const std::wstring text =
      L"# protected\r\nSER1\r\n  LEAD \t\r\n你好\n\r\nlast";
  const Serials serials{L"SER1", L"  LEAD", L"你好", L"last"};
  EXPECT_EQ(Load(Utf16(text)), serials);
  EXPECT_TRUE(IsProtectedSerial(L"LAST"));
  EXPECT_EQ(Load(Utf16(text, true)), serials);
  // A NUL unit ends the text; an odd last byte is no unit.
  EXPECT_EQ(Load(Utf16(std::wstring(L"A1\nB2\0C3\n", 9)) + "X"),
            (Serials{L"A1", L"B2"}));
  EXPECT_EQ(Load(Utf16(L"")), Serials{});
  EXPECT_EQ(Load(Utf16(L"#only\r\n")), Serials{});

  SimPutFile(kList, Bytes("HELD\r\n"));
  for (SimHolder editor : {SimHolder::kShared, SimHolder::kEditor}) {
    SimSetFileHolder(kList, editor);
    LoadProtectedSerials();
    EXPECT_EQ(Loaded(), Serials{L"HELD"});
  }
  // One that shares nothing still leaves the list empty.
  SimSetFileHolder(kList, SimHolder::kExclusive);
  LoadProtectedSerials();
  EXPECT_EQ(Loaded(), Serials{});
}

TEST_F(ProtectionTest, SizeLimits) {
  // Exactly 65,536 bytes: read whole, its last line included.
  std::string text = "FIRST\n#";
  text += std::string(65536 - text.size() - 5, 'x');
  text += "\nLAST";
  ASSERT_EQ(text.size(), 65536u);
  EXPECT_EQ(Load(text), (Serials{L"FIRST", L"LAST"}));
  EXPECT_EQ(Load("Q"), Serials{L"Q"});  // and a single byte

  // One byte more: nothing at all.
  EXPECT_EQ(Load(text + "\n"), Serials{});
  EXPECT_EQ(Load(""), Serials{});

  // 4 GiB and 10 bytes: the low 32 bits say 10, the file is still too big.
  std::filesystem::path host =
      std::filesystem::temp_directory_path() /
      ("tessavane-list-" + std::to_string(getpid()) + ".txt");
  {
    std::FILE* f = std::fopen(host.string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("HUGE\n", f);
    std::fclose(f);
  }
  std::filesystem::resize_file(host, (uint64_t{1} << 32) + 10);
  SimPutHostFile(kList, host.string());
  LoadProtectedSerials();
  EXPECT_EQ(fileProtectedSerialCount, 0);
  std::filesystem::remove(host);
}

TEST_F(ProtectionTest, MatchingFoldsOnlyAsciiLetters) {
  Load("abc123def\n"
       "x_y.z\n"
       "q\n");
  EXPECT_TRUE(IsProtectedSerial(L"ABC123DEF"));
  EXPECT_TRUE(IsProtectedSerial(L"X_Y.Z"));
  EXPECT_TRUE(IsProtectedSerial(L"Q"));  // one character is a serial
  EXPECT_FALSE(IsProtectedSerial(L"ABC123DE"));
  EXPECT_FALSE(IsProtectedSerial(L"ABC123DEFG"));
  // Built-in serials, in any case.
  EXPECT_TRUE(IsProtectedSerial(L"5d2c8e1f07a3"));
  EXPECT_TRUE(IsProtectedSerial(L"0000_0000_0000_0000_0000_0074_2916_5830."));
  EXPECT_FALSE(IsProtectedSerial(L"0000_0000_0000_0000_0000_0074_2916_5830"));
  EXPECT_TRUE(IsProtectedSerial(L"bc000000003170006425"));
  // No serial is never protected.
  EXPECT_FALSE(IsProtectedSerial(L""));
  EXPECT_FALSE(IsProtectedSerial(nullptr));

  // Characters beyond ASCII are compared as they are.
  SimSetCodePage(1252);
  Load("\xE9t\xE9\n");
  EXPECT_TRUE(IsProtectedSerial(L"\x00E9T\x00E9"));
  EXPECT_FALSE(IsProtectedSerial(L"\x00C9T\x00C9"));
}

TEST_F(ProtectionTest, GbkSerialsBecomeChinese) {
  SimSetCodePage(936);
  EXPECT_EQ(Load("\xC4\xE3\xBA\xC3\r\n\xC4\xE3\xBA\xC3-02\r\n"),
            (Serials{L"你好", L"你好-02"}));
  EXPECT_TRUE(IsProtectedSerial(L"你好"));
  // A first byte or a second byte of a UTF-16 mark alone is GBK text.
  EXPECT_EQ(Load("\xFE\x40-1\r\n"), Serials{L"\xFA0C-1"});
  EXPECT_EQ(Load("\x81\xFE-2\r\n"), Serials{L"\x4FA2-2"});
}

TEST_F(ProtectionTest, RefreshForgetsADeletedFile) {
  Load("GONE01\n");
  EXPECT_TRUE(IsProtectedSerial(L"GONE01"));
  SimDeleteFile(kList);
  LoadProtectedSerials();
  EXPECT_EQ(fileProtectedSerialCount, 0);
  EXPECT_FALSE(IsProtectedSerial(L"GONE01"));
  EXPECT_TRUE(IsProtectedSerial(L"5D2C8E1F07A3"));
}

TEST_F(ProtectionTest, ListFilePathBesideTheExecutable) {
  // The folder with its backslash may take 239 characters, not 240.
  std::wstring folder239 = L"X:\\" + std::wstring(235, L'd') + L"\\";
  ASSERT_EQ(folder239.size(), 239u);
  SimSetExecutablePath(folder239 + L"t.exe");
  SimPutFile(folder239 + L"prohibited_disks.txt", Bytes("DEEP\n"));
  LoadProtectedSerials();
  EXPECT_EQ(Loaded(), Serials{L"DEEP"});

  SimReset();
  std::wstring folder240 = L"X:\\" + std::wstring(236, L'd') + L"\\";
  SimSetExecutablePath(folder240 + L"t.exe");
  SimPutFile(folder240 + L"prohibited_disks.txt", Bytes("STALE\n"));
  LoadProtectedSerials();
  EXPECT_EQ(fileProtectedSerialCount, 0);
  EXPECT_FALSE(OpenedAnything());

  // An executable path cut at 260 characters names no folder.
  SimReset();
  SimSetExecutablePath(L"X:\\a\\" + std::wstring(300, L'e') + L".exe");
  SimPutFile(L"X:\\a\\prohibited_disks.txt", Bytes("CUT\n"));
  LoadProtectedSerials();
  EXPECT_FALSE(OpenedAnything());

  // No backslash at all: the bare name, relative to the current folder.
  SimReset();
  SimSetExecutablePath(L"tessavane.exe");
  SimPutFile(L"prohibited_disks.txt", Bytes("HERE\n"));
  LoadProtectedSerials();
  EXPECT_EQ(Loaded(), Serials{L"HERE"});

  // An unreadable executable path means no file.
  SimReset();
  SimSetExecutablePath(kExe);
  SimPutFile(kList, Bytes("UNSEEN\n"));
  SimFault unreadable;
  unreadable.op = SimOp::kModuleFileName;
  unreadable.error = kErrorAccessDenied;
  SimAddFault(unreadable);
  LoadProtectedSerials();
  EXPECT_EQ(fileProtectedSerialCount, 0);
  EXPECT_FALSE(OpenedAnything());
}

TEST_F(ProtectionTest, FailuresLeaveTheListEmptyAndNothingHeld) {
  const std::string text = "ONE\nTWO\nTHREE\n";
  SimPutFile(kList, Bytes(text));
  LoadProtectedSerials();
  ASSERT_EQ(fileProtectedSerialCount, 3);
  std::vector<SimCall> clean = SimCallLog();

  for (size_t i = 0; i < clean.size(); ++i) {
    if (clean[i].op == SimOp::kClose || clean[i].op == SimOp::kHeapFree)
      continue;
    int nth = 0;
    for (size_t j = 0; j <= i; ++j)
      if (clean[j].op == clean[i].op) ++nth;
    SCOPED_TRACE(std::string("failing ") + SimOpName(clean[i].op) + " #" +
                 std::to_string(nth));
    SimReset();
    SimSetExecutablePath(kExe);
    SimPutFile(kList, Bytes(text));
    SimFault f;
    f.op = clean[i].op;
    f.nth = nth;
    f.error = kErrorAccessDenied;
    SimAddFault(f);
    LoadProtectedSerials();
    EXPECT_EQ(SimOpenHandles(), 0);
    EXPECT_EQ(SimLiveHeapAllocations(), 0);
    if (clean[i].op == SimOp::kAnsiToWide) {
      // One serial that does not convert is skipped; the others stay.
      EXPECT_EQ(fileProtectedSerialCount, 2);
      Serials expected{L"ONE", L"TWO", L"THREE"};
      expected.erase(expected.begin() + (nth - 1));
      EXPECT_EQ(Loaded(), expected);
    } else {
      EXPECT_EQ(fileProtectedSerialCount, 0);
    }
  }

  // A short read parses what arrived and nothing after it.
  SimReset();
  SimSetExecutablePath(kExe);
  SimPutFile(kList, Bytes("ABCDEFGH\nXYZ\n"));
  SimFault shortRead;
  shortRead.op = SimOp::kRead;
  shortRead.shortBytes = 5;
  SimAddFault(shortRead);
  LoadProtectedSerials();
  EXPECT_EQ(Loaded(), Serials{L"ABCDE"});
}

TEST_F(ProtectionTest, ParsingStopsAtTheGivenLength) {
  // Not terminated: only the bytes given are read.
  const char bytes[] = {'A', 'B', '\n', 'C', 'D', 'E'};
  ParseProtectedSerials(bytes, 4);
  EXPECT_EQ(Loaded(), (Serials{L"AB", L"C"}));
  ParseProtectedSerials(bytes, 0);
  EXPECT_EQ(Loaded(), Serials{});
  // A UTF-8 mark counts among the bytes given.
  ParseProtectedSerials("\xEF\xBB\xBF" "AB\nCD", 6);
  EXPECT_EQ(Loaded(), Serials{L"AB"});
}

}  // namespace
