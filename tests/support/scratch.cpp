#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/platform.h"

std::filesystem::path FreshTestFolder(const std::string& prefix) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      (prefix + "_" + std::to_string(::getpid()) + "_" + (test != nullptr ? test->name() : ""));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::vector<std::wstring> ListedVolumeNames() {
  std::vector<std::wstring> names;
  wchar_t name[260];
  OsFindHandle f = nullptr;
  if (!OsFindFirstVolume(name, 260, &f)) return names;
  do names.push_back(name);
  while (OsFindNextVolume(f, name, 260));
  OsFindVolumeClose(f);
  return names;
}
