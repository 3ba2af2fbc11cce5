// The files shipped to technicians.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "core/disks.h"
#include "platform/sim/sim.h"

namespace {

std::string ReadRepoFile(const std::string& name) {
  std::ifstream in(std::string(TESSAVANE_SOURCE_DIR) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The example list must protect nothing until the technician edits it, and
// must stay within the size the program reads at all.
TEST(ReleaseFiles, ExampleProtectedListHoldsOnlyComments) {
  std::string text = ReadRepoFile("release/prohibited_disks.txt");
  ASSERT_FALSE(text.empty());
  EXPECT_LE(text.size(), kMaxProtectedFileBytes);
  EXPECT_NE(static_cast<unsigned char>(text[0]), 0xEF)
      << "no byte-order mark: release.sh converts the list to GBK";
  SimReset();
  ParseProtectedSerials(text.data(), text.size());
  EXPECT_EQ(fileProtectedSerialCount, 0);

  // Uncommenting the example line protects exactly that disk.
  std::string edited = text + "0000_0000_0000_0000_0000_0074_2916_5831.\n";
  ParseProtectedSerials(edited.data(), edited.size());
  ASSERT_EQ(fileProtectedSerialCount, 1);
  EXPECT_TRUE(IsProtectedSerial(L"0000_0000_0000_0000_0000_0074_2916_5831."));
}

}  // namespace
