// The explorer over a fixed set of seeds, and over the inputs that once
// found a hole (tests/explorer/found/*.hex), so that those stay mended.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/explorer/explorer.h"

namespace {

// About 10 s each on the 2-core machine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSeeds = 3000;  // the sanitizers run every step several times slower
#else
constexpr int kSeeds = 30000;
#endif

// The bytes a seed stands for, so a seed number alone replays a run.
std::vector<uint8_t> SeedBytes(uint64_t seed) {
  std::vector<uint8_t> bytes(768);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 0xD1B54A32D192ED03ull;
  for (uint8_t& b : bytes) {  // splitmix64
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    b = static_cast<uint8_t>(x >> 56);
  }
  return bytes;
}

std::vector<uint8_t> FromHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    int v = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return bytes;
}

void Report(const std::string& name, const ExploreResult& r) {
  ADD_FAILURE() << name << " broke a promise:\n"
                << r.failure << "--- the run, as decoded:\n"
                << r.trace;
}

TEST(Explorer, FixedSeedsKeepEveryPromise) {
  const auto start = std::chrono::steady_clock::now();
  int runs = 0, steps = 0, jobs = 0, completed = 0, refusedAsSwapped = 0, failed = 0;
  for (int seed = 1; seed <= kSeeds && failed < 3; ++seed, ++runs) {
    const std::vector<uint8_t> bytes = SeedBytes(seed);
    const ExploreResult r = Explore(bytes.data(), bytes.size());
    steps += r.steps;
    jobs += r.jobs;
    if (r.trace.find("写入完成") != std::string::npos) ++completed;
    if (r.trace.find("(错误码: 1110)") != std::string::npos) ++refusedAsSwapped;
    if (!r.ok) {
      ++failed;
      Report("seed " + std::to_string(seed), r);
    }
  }
  const double seconds = std::chrono::duration<double>(
                             std::chrono::steady_clock::now() - start).count();
  std::printf("[ explorer ] %d seeds, %d steps, %d jobs, %d runs with a completed "
              "write, %d with a swap refused, in %.1f s, %.0f runs/s\n",
              runs, steps, jobs, completed, refusedAsSwapped, seconds, runs / seconds);
  // An explorer that no longer reaches the interesting states proves nothing.
  EXPECT_GT(completed, kSeeds / 20);
  EXPECT_GT(refusedAsSwapped, kSeeds / 200);
}

TEST(Explorer, InputsThatOnceFoundAHoleStayMended) {
  const std::string dir = std::string(TESSAVANE_SOURCE_DIR) + "/tests/explorer/found";
  DIR* folder = opendir(dir.c_str());
  ASSERT_NE(folder, nullptr) << dir;
  int replayed = 0;
  while (dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".hex") != 0) continue;
    std::ifstream file(dir + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    const std::vector<uint8_t> bytes = FromHex(text.str());
    const ExploreResult r = Explore(bytes.data(), bytes.size());
    if (!r.ok) Report(name, r);
    ++replayed;
  }
  closedir(folder);
  EXPECT_GT(replayed, 0);
}

}  // namespace
