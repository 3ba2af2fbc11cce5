// Times the image write job copying a large image onto a file-backed
// simulated disk against dd doing the same copy (bs=4M, fsync at the end),
// and reports the job's peak resident memory.
//
//   write_bench [--size-mib N] [--rounds N] [--dir DIR] [--warm] [--keep]
//
// Each round runs both copies, alternating which goes first. Unless --warm is
// given, the image's pages are dropped from the page cache before every copy
// (posix_fadvise; the image was fsynced, so its pages are clean), so both
// read it from the device. Everything is synced before each copy, untimed.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_view.h"
#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/sim/sim.h"

extern char** environ;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
const wchar_t kImageWinPath[] = L"C:\\bench\\image.img";

struct Options {
  uint64_t sizeMiB = 1024;
  int rounds = 2;
  std::string dir;
  bool warm = false;
  bool keep = false;
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "write_bench: %s\n", what.c_str());
  std::exit(1);
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size-mib" && i + 1 < argc) {
      o->sizeMiB = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--rounds" && i + 1 < argc) {
      o->rounds = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      o->dir = argv[++i];
    } else if (a == "--warm") {
      o->warm = true;
    } else if (a == "--keep") {
      o->keep = true;
    } else {
      return false;
    }
  }
  return o->sizeMiB > 0 && o->rounds > 0;
}

// Patterned, incompressible data, generated block by block so that the
// benchmark never holds the image in memory.
void CreateImage(const std::string& path, uint64_t bytes) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) Die("cannot create " + path);
  static uint64_t block[kMiB / 8];
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint64_t done = 0; done < bytes; done += kMiB) {
    for (uint64_t& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(kMiB, bytes - done));
    if (write(fd, block, n) != static_cast<ssize_t>(n)) Die("short write");
  }
  if (fsync(fd) != 0) Die("fsync failed");
  close(fd);
}

void DropFromCache(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

double Seconds(std::chrono::steady_clock::time_point a,
               std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// User plus system CPU seconds of this process or of its waited-for
// children: less sensitive than wall time to a busy device or machine.
double CpuSeconds(int who) {
  struct rusage u;
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double wall;
  double cpu;
};

Timing RunDd(const std::string& image, const std::string& out) {
  std::string in = "if=" + image, of = "of=" + out;
  std::vector<char*> args = {const_cast<char*>("dd"), &in[0], &of[0],
                             const_cast<char*>("bs=4M"),
                             const_cast<char*>("conv=notrunc,fsync"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double cpuStart = CpuSeconds(RUSAGE_CHILDREN);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, "dd", &actions, nullptr, args.data(), environ) != 0)
    Die("cannot start dd");
  int status = 0;
  waitpid(pid, &status, 0);
  auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("dd failed");
  return {Seconds(start, end), CpuSeconds(RUSAGE_CHILDREN) - cpuStart};
}

Timing RunJob(const std::string& image, const std::string& out,
              uint64_t imageBytes) {
  SimReset();
  SimUseRealClock(true);
  SimDisk disk;
  disk.number = 1;
  disk.length = (imageBytes + kMiB - 1) / kMiB * kMiB + kMiB;
  disk.backingFile = out;
  disk.removable = true;
  disk.vendor = "BENCH";
  disk.product = "TARGET";
  disk.serial = "BENCH0001";
  SimAddDisk(disk);
  SimPutHostFile(kImageWinPath, image);
  BenchViewReset(kImageWinPath);
  cancelRequested = false;

  // The entry the job is handed is the one the program would list: the job
  // checks the disk behind the number against it.
  EnumerateDisks();
  const DiskEntry* listed = nullptr;
  for (int i = 0; i < diskTable.count; ++i)
    if (diskTable.entries[i].number == disk.number) listed = &diskTable.entries[i];
  if (listed == nullptr) Die("the disk is not in the disk table");
  const DiskEntry entry = *listed;

  const double cpuStart = CpuSeconds(RUSAGE_SELF);
  auto start = std::chrono::steady_clock::now();
  WriteImageJob(entry);
  auto end = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpuStart;
  if (BenchStatus().rfind(L"写入完成", 0) != 0 || BenchProgress() != 100)
    Die("the job did not complete");
  if (SimOpenHandles() != 0 || SimLivePageAllocations() != 0)
    Die("the job left a handle or its buffer behind");
  SimReset();
  return {Seconds(start, end), cpu};
}

long VmHwmKiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(f);
  return kib;
}

// Starts the peak-memory mark afresh, so that creating the image does not
// count towards the job's peak.
bool ResetHwm() {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

bool SamePrefix(const std::string& a, const std::string& b, uint64_t bytes) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  std::vector<char> ba(kMiB), bb(kMiB);
  for (uint64_t done = 0; same && done < bytes; done += kMiB) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kMiB, bytes - done));
    same = std::fread(ba.data(), 1, n, fa) == n &&
           std::fread(bb.data(), 1, n, fb) == n &&
           std::memcmp(ba.data(), bb.data(), n) == 0;
  }
  if (fa) std::fclose(fa);
  if (fb) std::fclose(fb);
  return same;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: write_bench [--size-mib N] [--rounds N] [--dir DIR] "
                 "[--warm] [--keep]\n");
    return 2;
  }
  bool madeDir = false;
  if (o.dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/write_bench.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) Die("cannot make a temp folder");
    o.dir = pattern;
    madeDir = true;
  }
  const std::string image = o.dir + "/image.img";
  const std::string jobOut = o.dir + "/disk.bin";
  const std::string ddOut = o.dir + "/dd.out";
  const uint64_t bytes = o.sizeMiB * kMiB;

  std::printf("image: %llu MiB in %s; page cache %s before each copy\n",
              static_cast<unsigned long long>(o.sizeMiB), o.dir.c_str(),
              o.warm ? "kept" : "dropped for the image");
  CreateImage(image, bytes);
  const bool hwmReset = ResetHwm();
  const long hwmBefore = VmHwmKiB();

  std::vector<double> dd, job, ddCpu, jobCpu;
  // Round 0 is a warm-up, shown but not counted: right after the image has
  // been written the device is still busy settling it, and whichever copy
  // runs first pays for that.
  for (int round = 0; round <= o.rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool ddTurn = (turn == 0) == (round % 2 == 1);
      const std::string& out = ddTurn ? ddOut : jobOut;
      unlink(out.c_str());
      // Leftover writeback from the previous copy must not be charged to
      // this one.
      sync();
      if (!o.warm) DropFromCache(image);
      Timing t = ddTurn ? RunDd(image, out) : RunJob(image, out, bytes);
      (ddTurn ? dd : job).push_back(t.wall);
      (ddTurn ? ddCpu : jobCpu).push_back(t.cpu);
    }
    std::printf(
        "round %d  dd %.3f s (cpu %.3f)  job %.3f s (cpu %.3f)  ratio %.3f%s\n",
        round, dd.back(), ddCpu.back(), job.back(), jobCpu.back(),
        job.back() / dd.back(), round == 0 ? "  (warm-up, not counted)" : "");
    if (round == 0) {
      dd.clear();
      job.clear();
      ddCpu.clear();
      jobCpu.clear();
    }
  }
  const long hwmAfter = VmHwmKiB();

  const double ddBest = *std::min_element(dd.begin(), dd.end());
  const double jobBest = *std::min_element(job.begin(), job.end());
  std::printf("best    dd %.3f s  job %.3f s  ratio %.3f\n", ddBest, jobBest,
              jobBest / ddBest);
  std::printf("median  dd %.3f s  job %.3f s  ratio %.3f\n", Median(dd),
              Median(job), Median(job) / Median(dd));
  std::printf("median cpu  dd %.3f s  job %.3f s\n", Median(ddCpu),
              Median(jobCpu));
  std::printf("job throughput (best) %.1f MiB/s\n",
              static_cast<double>(o.sizeMiB) / jobBest);
  std::printf("peak RSS (VmHWM) after the job runs: %.1f MiB%s (before: %.1f MiB)\n",
              hwmAfter / 1024.0, hwmReset ? "" : " [mark not reset: includes image creation]",
              hwmBefore / 1024.0);

  const bool jobSame = SamePrefix(image, jobOut, bytes);
  const bool ddSame = SamePrefix(image, ddOut, bytes);
  std::printf("disk file equals image: %s; dd output equals image: %s\n",
              jobSame ? "yes" : "NO", ddSame ? "yes" : "NO");

  if (!o.keep) {
    unlink(image.c_str());
    unlink(jobOut.c_str());
    unlink(ddOut.c_str());
    if (madeDir) rmdir(o.dir.c_str());
  }
  return jobSame && ddSame ? 0 : 1;
}
