// The explorer: a deterministic simulation of the whole program, driven by a
// stream of decisions. See explorer.h.
//
// Its promises, each with what excuses it, from when to when:
//  - A byte reaches a device only through a write the user confirmed that
//    step, on the device the line described (length, name and serial tell
//    every disk of a run apart); within the image's range it is the image's,
//    past it what the disk held. Never the PE stick or a disk with a
//    protected serial, whatever their number by then. Nothing excuses these.
//  - A layout is deleted only on a disk confirmed for it that step, never
//    the PE stick's; a volume is locked or dismounted only on a disk
//    confirmed that step, while it is that disk (checked at the call).
//    Nothing excuses these.
//  - A reported completion means the whole image is on a confirmed disk.
//  - A write must complete if, at its confirmation, the line's disk is at its
//    number and the image is the path's, present, not empty, not larger than
//    the disk and not on it. From the confirmation to the job's end, before
//    its thread starts as much as while it runs, it is excused by: a disk it
//    depends on (the target, the image's) pulled out, swapped or plugged
//    back; a volume of theirs touched by another program before the job
//    first writes the target (by then it holds every lock); an armed fault
//    firing; the person typing another path, cancelling or closing.
//  - At rest, after every step: nothing left open or allocated, buttons idle,
//    the cancel flag clear, the status one of the program's texts.
//
// What it leaves alone on purpose, each a promise it does not make:
//  - It never fails the calls the program takes as "nothing there" (the boot
//    disk's route, the protected list's file, memory, text conversion): such
//    a failure drops a protection by design, not by a fault.
//  - No two disks of a run are alike: twins of one batch (same name, size and
//    serial) cannot be told apart by the program, which says so.
//  - The PE never runs from disk 0: there the boot-disk rule, as written,
//    marks the first removable disk instead.
//  - A run ends after 48 steps, or after the step in which its jobs' writes
//    to disks passed 32 MiB (at least three whole writes of its largest
//    disk): longer runs reached no path of the program that shorter ones
//    miss, and took most of the search's time.
#include "tests/explorer/explorer.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "core/disks.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/sim/sim.h"
#include "tests/support/fake_view.h"
#include "ui/commands.h"
#include "ui/view.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kPage = 4096;
constexpr int kMaxSteps = 48;
constexpr uint64_t kMaxDiskBytes = 32 * kMiB;
const wchar_t kMissingPath[] = L"Z:\\missing.img";
constexpr size_t kMaxImage = 9 * kMiB + 3 * 4096 + 5000;  // the largest image a run makes

// UTF-8 of the Basic Multilingual Plane, which is all the program's texts use.
std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) {
    const int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : 2;
    s.push_back(static_cast<char>(tail == 0 ? c : (0x780 >> tail) | (c >> (6 * tail))));
    for (int k = tail - 1; k >= 0; --k)
      s.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F)));
  }
  return s;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Reads the decisions; past the end every answer is 0, which the explorer
// reads as "nothing happens" wherever something could.
struct Decisions {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint32_t Byte() { return at < size ? data[at++] : 0; }
  uint32_t Below(uint32_t n) {
    if (n <= 1) return 0;
    uint32_t v = Byte();
    if (n > 256) v |= Byte() << 8;
    return v % n;
  }
  bool Percent(uint32_t p) { return Byte() * 100 < p * 256; }
  bool Exhausted() const { return at >= size; }
};

// One physical disk of the run: it keeps its identity when it is pulled out
// and plugged back, under whatever number it gets.
struct Physical {
  SimDisk config;
  std::wstring name;    // the line's name: vendor and product
  std::wstring serial;
  bool isProtected = false;
  bool everPresent = false;
};

struct Confirmed {
  bool write = false;
  DiskEntry entry{};
  bool mustComplete = false;  // nothing stands in this write's way
};

struct Run {
  Run(const uint8_t* data, size_t size, bool tracing) : d{data, size}, tracing(tracing) {}
  Decisions d;
  bool tracing;
  std::string trace, failure;
  int steps = 0, jobs = 0;
  uint64_t diskBytes = 0;  // written to disks by the jobs

  std::vector<Physical> disks;
  std::map<uint64_t, size_t> deviceDisk;  // simulated device -> physical disk
  int peStick = -1;                       // physical disk the PE runs from
  std::wstring exeFolder;
  std::vector<std::wstring> listed;       // prohibited_disks.txt's serials
  // Every volume of the run, oldest first: a name comes back with a stick
  // written from the same image as one pulled out, and then names the newest.
  std::vector<std::wstring> volumes;
  std::vector<int> volumeDisk;            // physical disk of each
  std::vector<uint64_t> volumeStart;      // its extent's offset
  char nextLetter = 'E';
  std::map<wchar_t, int> letterDisk;      // physical disk of each letter
  std::wstring imagePath;
  std::basic_string_view<uint8_t> image;
  bool imageGone = false;  // its volume went with its disk, for good

  std::vector<Confirmed> confirmed;       // this step's confirmations
  std::map<uint64_t, size_t> checkedWrites;
  std::set<uint64_t> wiped;
  // Past the image's end a device holds what it held before (checked writes
  // keep it): the machine's pattern, but for the sectors each layout
  // deletion rewrote, as read after it, oldest first.
  struct Change { uint64_t offset; std::vector<uint8_t> bytes; };
  std::map<uint64_t, std::vector<Change>> changes;

  // The write confirmed this step, from its confirmation to its job's end:
  // the physical disks it depends on (the target, the image's; -1 none),
  // and whether the job has written the target yet.
  bool writePending = false;
  int writeTarget = -1, imageDisk = -1;
  bool targetWritten = false;

  bool inAction = false;  // the hook does not act inside an action of its own
  bool inJob = false;     // the window's thread is free: the person may click
  bool closed = false;
  bool completedThisStep = false;  // the job's completion box was shown
  bool disturbed = false;  // see Disturb
  int faultHits = 0;
  // Seam calls to let pass before the next interruption; drawn from the
  // stream, so that a few bytes place an event between any two calls.
  uint32_t callsToNext = 0;
};

Run* run = nullptr;

// A line of the decoded run; its arguments are not even worked out unless
// the run is traced.
#define TRACE(...) (run->tracing ? TraceLine(__VA_ARGS__) : void())
void TraceLine(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  run->trace += line;
  run->trace += '\n';
}

void Fail(const std::string& what) {
  if (run->failure.find(what) != std::string::npos) return;
  run->failure += what + '\n';
  TRACE("!! %s", what.c_str());
}

std::string Describe(const Physical& p) {
  return "'" + Narrow(p.name) + "' serial '" + Narrow(p.serial) + "' " +
         std::to_string(p.config.length) + " bytes";
}

// Told apart as the program tells disks apart: length, name and serial.
bool SameIdentity(const Physical& p, const DiskEntry& e) {
  return p.config.length == e.sizeBytes && p.name == e.displayName &&
         p.serial == e.serial;
}

bool ListedAsProtected(const std::wstring& serial,
                       const std::vector<std::wstring>& listed) {
  if (serial.empty()) return false;
  for (int i = 0; builtinProtectedSerials[i] != nullptr; ++i)
    if (EqualsIgnoringAsciiCase(serial.c_str(), builtinProtectedSerials[i])) return true;
  for (const std::wstring& s : listed)
    if (EqualsIgnoringAsciiCase(serial.c_str(), s.c_str())) return true;
  return false;
}

// ---- the machine --------------------------------------------------------------

Physical NewDisk(const char* why) {
  Decisions& d = run->d;
  Physical p;
  const size_t index = run->disks.size();
  SimDisk& c = p.config;
  // One byte: the sector size, and whether the disk is slow enough for the
  // speed line (the virtual clock, so no run waits for it).
  const uint32_t kind = d.Byte();
  c.sectorSize = kind * 100 < 25 * 256 ? 4096 : 512;
  if (kind & 1) c.bytesPerSecond = 4 * kMiB;
  // Up to three chunks of the write: enough for every path, and quick.
  c.length = (1 + d.Below(9)) * kMiB + d.Below(4) * 4096;
  c.removable = d.Percent(40);
  static const char* const vendors[] = {"ACME", "SanDisk", "WDC", ""};
  c.vendor = vendors[d.Below(4)];
  c.product = "DISK" + std::to_string(index);  // no two disks alike
  switch (d.Below(6)) {
    case 0: break;
    case 1: c.serial = "5D2C8E1F07A3"; break;  // on the built-in list
    case 2:
      if (index > 0) c.serial = run->disks[d.Below(static_cast<uint32_t>(index))].config.serial;
      break;
    default: c.serial = "SN" + std::to_string(1000 + index); break;
  }
  p.name = Wide(c.vendor.empty() ? c.product : c.vendor + " " + c.product);
  p.serial = Wide(c.serial);
  TRACE("%s disk%zu: %llu bytes, %u-byte sectors%s%s, name '%s', serial '%s'", why, index,
        static_cast<unsigned long long>(c.length), c.sectorSize, c.removable ? ", removable" : "",
        c.bytesPerSecond != 0 ? ", 4 MiB/s" : "", Narrow(p.name).c_str(), c.serial.c_str());
  return p;
}

// The physical disk a path's letter lies on; -1 for none.
int DiskOfPath(const std::wstring& path) {
  auto letter = path.empty() ? run->letterDisk.end() : run->letterDisk.find(path[0]);
  return letter == run->letterDisk.end() ? -1 : letter->second;
}

void Remember(size_t disk, int number) {
  run->deviceDisk[SimDiskDevice(number)] = disk;
  run->disks[disk].everPresent = true;
}

// A volume over part of disk `disk` (at `number`), maybe with a letter and a
// file another program holds open. `same` names a volume of a stick written
// from the same image: its name and offset come back.
void AddVolume(size_t disk, int number, int same = -1) {
  Decisions& d = run->d;
  const uint64_t length = run->disks[disk].config.length;
  SimVolume v;
  v.name = same >= 0 ? run->volumes[same]
                     : L"\\\\?\\Volume{" + std::to_wstring(run->volumes.size()) + L"}\\";
  const uint64_t half = length / 2 / kPage * kPage;
  const uint64_t first = same >= 0 ? run->volumeStart[same] - kPage : d.Percent(50) ? 0 : half;
  v.extents = {{static_cast<uint32_t>(number), first + kPage, half - kPage}};
  v.mounted = !d.Percent(20);
  if (d.Percent(25)) v.remountAfterWrites = 1 + d.Below(4);
  if (run->nextLetter <= 'W' && d.Percent(60)) {
    v.letter = static_cast<wchar_t>(run->nextLetter++);
    run->letterDisk[v.letter] = static_cast<int>(disk);
  }
  SimAddVolume(v);
  TRACE("  volume %s on disk%zu at %llu, %s, letter %c%s", Narrow(v.name).c_str(), disk,
        static_cast<unsigned long long>(first + kPage), v.mounted ? "mounted" : "dismounted",
        v.letter != 0 ? static_cast<char>(v.letter) : '-',
        v.remountAfterWrites != 0 ? ", remounted by another program" : "");
  run->volumes.push_back(v.name);
  run->volumeDisk.push_back(static_cast<int>(disk));
  run->volumeStart.push_back(first + kPage);
  if (v.letter != 0 && d.Percent(30)) {
    std::wstring path = std::wstring(1, v.letter) + L":\\busy.dat";
    SimPutFile(path, {1, 2, 3});
    SimSetFileHolder(path, SimHolder::kShared);
    TRACE("  %s held open by another program", Narrow(path).c_str());
  }
}

void BuildMachine() {
  Decisions& d = run->d;
  SimReset();
  SimKeepCallLog(false);  // nothing reads it; the hook sees every call
  SimRunThreadsInline(true);
  const int count = 1 + static_cast<int>(d.Below(8));
  bool taken[10] = {};
  std::vector<int> numbers;
  for (int i = 0; i < count; ++i) {
    int n = static_cast<int>(d.Below(10));
    while (taken[n]) n = (n + 1) % 10;
    taken[n] = true;
    numbers.push_back(n);
  }
  for (int i = 0; i < count; ++i) {
    TRACE("machine: PhysicalDrive%d:", numbers[i]);
    Physical p = NewDisk(" ");
    p.config.number = numbers[i];
    run->disks.push_back(p);
  }

  // The PE: on a stick's letter (never disk 0, which the detection would
  // pass over for any removable disk), or in memory on X:.
  std::vector<size_t> sticks;
  for (size_t i = 0; i < run->disks.size(); ++i)
    if (run->disks[i].config.number >= 1) sticks.push_back(i);
  const bool ramDisk = sticks.empty() || d.Percent(40);
  if (!ramDisk) {
    run->peStick = static_cast<int>(sticks[d.Below(static_cast<uint32_t>(sticks.size()))]);
    run->disks[run->peStick].config.removable = true;
  }
  for (size_t i = 0; i < run->disks.size(); ++i) {
    SimAddDisk(run->disks[i].config);
    Remember(i, run->disks[i].config.number);
  }
  SimVolume pe;
  if (ramDisk) {
    pe.name = L"\\\\?\\Volume{ram}\\";
    pe.letter = L'X';
    pe.extents = {{0xFFFFFFFFu, 0, 3 * kMiB}};
    run->exeFolder = L"X:\\";
    TRACE("machine: the PE runs from memory (X:)");
  } else {
    const Physical& stick = run->disks[run->peStick];
    pe.name = L"\\\\?\\Volume{pe}\\";
    pe.letter = L'D';
    pe.extents = {{static_cast<uint32_t>(stick.config.number), kPage,
                   stick.config.length - kPage}};
    run->exeFolder = L"D:\\";
    run->letterDisk[L'D'] = run->peStick;
    TRACE("machine: the PE runs from disk%d's letter D: (PhysicalDrive%d)",
          run->peStick, stick.config.number);
  }
  SimAddVolume(pe);
  SimSetExecutablePath(run->exeFolder + L"tessavane.exe");

  for (size_t i = 0; i < run->disks.size(); ++i) {
    if (static_cast<int>(i) == run->peStick) continue;
    for (uint32_t k = 0, n = d.Below(3); k < n; ++k) AddVolume(i, run->disks[i].config.number);
  }

  if (d.Percent(60)) {
    std::string text = "# disks never to write\r\n";
    for (const Physical& p : run->disks) {
      if (p.serial.empty() || !d.Percent(50)) continue;
      std::string line = p.config.serial;
      if (d.Percent(30))
        for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      run->listed.push_back(Wide(line));
      text += line + (d.Percent(30) ? " \t\n" : "\n");
    }
    SimPutFile(run->exeFolder + L"prohibited_disks.txt",
               std::vector<uint8_t>(text.begin(), text.end()));
    TRACE("machine: prohibited_disks.txt lists %zu serials", run->listed.size());
  }
  for (Physical& p : run->disks) p.isProtected = ListedAsProtected(p.serial, run->listed);

  // The image: empty, a sector, odd-sized, or a disk's own length or more.
  uint64_t size = 0;
  const Physical& some = run->disks[d.Below(static_cast<uint32_t>(run->disks.size()))];
  switch (d.Below(6)) {
    case 0: size = 0; break;
    case 1: size = d.Percent(50) ? 512 : 4096; break;
    case 2: size = some.config.length; break;
    case 3: size = some.config.length + 1 + d.Below(5000); break;
    default: size = 1 + d.Below(6000) * 1500 + d.Below(512); break;
  }
  // A window on one stream (the pattern no disk has, never 0), made once and
  // shared with the machine: no run makes or copies an image.
  static std::vector<uint8_t> stream(kMaxImage + 256 * 8);
  if (stream[0] == 0) SimFillPattern(64, 0, stream.data(), stream.size());
  run->image = {stream.data() + 8 * d.Byte(), std::min<size_t>(size, kMaxImage)};
  std::vector<wchar_t> letters;
  for (char l = 'E'; l < run->nextLetter; ++l) letters.push_back(static_cast<wchar_t>(l));
  const uint32_t where = d.Below(4);
  if (where == 0)
    run->imagePath = run->exeFolder + L"images\\image.bin";
  else if (where == 1 && !letters.empty())
    run->imagePath =
        letters[d.Below(static_cast<uint32_t>(letters.size()))] + std::wstring(L":\\image.img");
  else
    run->imagePath = L"Z:\\images\\image.img";
  SimShareFile(run->imagePath, run->image.data(), run->image.size());
  TRACE("machine: image %s, %zu bytes", Narrow(run->imagePath).c_str(), run->image.size());
}

// ---- the machine's events -------------------------------------------------------

// Present disks that events may take away: never the PE stick, which holds
// the running system.
std::vector<int> RemovableNumbers() {
  std::vector<int> out;
  for (uint64_t device : SimDevices()) {
    if (!SimDevicePresent(device)) continue;
    auto it = run->deviceDisk.find(device);
    if (it != run->deviceDisk.end() && static_cast<int>(it->second) == run->peStick) continue;
    out.push_back(SimDeviceNumber(device));
  }
  return out;
}

bool Present(size_t disk);

// Sticks written from one image carry the same volume names: the mount
// manager keys a basic disk's volume on its signature and offset. A new
// stick may copy the volumes of one pulled out, those whose names no present
// volume carries (two present disks of one signature are not modelled);
// false when it does not.
bool CopyVolumesOfAGoneStick(size_t disk, int number) {
  const size_t count = run->volumes.size();
  std::vector<bool> free(count);
  std::vector<int> gone;
  for (size_t i = 0; i < count; ++i) {
    const int owner = run->volumeDisk[i];
    if (owner == static_cast<int>(disk) || Present(static_cast<size_t>(owner))) continue;
    free[i] = true;  // unless a present stick or a newer copy carries its name
    for (size_t j = 0; j < count; ++j)
      if (j != i && run->volumes[j] == run->volumes[i] &&
          (Present(static_cast<size_t>(run->volumeDisk[j])) || j > i))
        free[i] = false;
    if (free[i] && std::find(gone.begin(), gone.end(), owner) == gone.end())
      gone.push_back(owner);
  }
  if (gone.empty() || !run->d.Percent(50)) return false;
  const int from = gone[run->d.Below(static_cast<uint32_t>(gone.size()))];
  TRACE("  written from the same image as disk%d", from);
  const uint64_t length = run->disks[disk].config.length;
  const uint64_t half = length / 2 / kPage * kPage;  // AddVolume's extent length
  for (size_t i = 0; i < count; ++i)
    if (free[i] && run->volumeDisk[i] == from && run->volumeStart[i] - kPage + half <= length)
      AddVolume(disk, number, static_cast<int>(i));
  return true;
}

void Plug(size_t disk, const char* how, bool fresh = false) {
  const int number = SimPlugDisk(run->disks[disk].config);
  if (number < 0) return TRACE("%s disk%zu: no free number", how, disk);
  run->disks[disk].config.number = number;
  Remember(disk, number);
  TRACE("%s disk%zu: it is PhysicalDrive%d now", how, disk, number);
  if (fresh && CopyVolumesOfAGoneStick(disk, number)) return;
  if (run->d.Percent(40)) AddVolume(disk, number);
}

// A disk never seen before arrives.
void PlugNew(const char* why, const char* how) {
  run->disks.push_back(NewDisk(why));
  run->disks.back().isProtected = ListedAsProtected(run->disks.back().serial, run->listed);
  Plug(run->disks.size() - 1, how, true);
}

void Unplug(int number) {
  if (DiskOfPath(run->imagePath) == static_cast<int>(run->deviceDisk[SimDiskDevice(number)]))
    run->imageGone = true;
  SimUnplugDisk(number);
}

bool Present(size_t disk) {
  for (uint64_t device : SimDevices())
    if (SimDevicePresent(device) && run->deviceDisk[device] == disk) return true;
  return false;
}

void ArmFault() {
  Decisions& d = run->d;
  static const SimOp ops[] = {
      SimOp::kOpen, SimOp::kRead, SimOp::kWrite, SimOp::kSeek, SimOp::kFlush,
      SimOp::kGetFileSizeEx, SimOp::kDeviceControl, SimOp::kFindFirstVolume,
      SimOp::kFindNextVolume, SimOp::kPageAlloc, SimOp::kStartThread};
  static const uint32_t ioctls[] = {
      kIoctlDiskGetLengthInfo, kIoctlStorageQueryProperty, kIoctlVolumeGetVolumeDiskExtents,
      kFsctlLockVolume, kFsctlDismountVolume, kFsctlUnlockVolume, kIoctlDiskDeleteDriveLayout};
  static const uint32_t errors[] = {2, 5, 21, 27, 32, 55, 87, 1117};
  SimFault f;
  f.op = ops[d.Below(sizeof ops / sizeof ops[0])];
  f.nth = 1 + static_cast<int>(d.Below(3));
  f.error = errors[d.Below(sizeof errors / sizeof errors[0])];
  // Calls on paths fail on disks, volumes by name or the image: never on the
  // PE's own volume or the protected list.
  const std::wstring targets[] = {L"PhysicalDrive", L"\\\\?\\Volume{", run->imagePath};
  if (f.op != SimOp::kPageAlloc && f.op != SimOp::kStartThread &&
      f.op != SimOp::kFindFirstVolume && f.op != SimOp::kFindNextVolume)
    f.target = targets[d.Below(3)];
  if (f.op == SimOp::kDeviceControl) {
    f.ioctl = ioctls[d.Below(sizeof ioctls / sizeof ioctls[0])];
    // A disk that never says who it is must not be taken for the one listed.
    if (f.ioctl == kIoctlStorageQueryProperty) f.persistent = d.Percent(50);
  }
  if ((f.op == SimOp::kRead || f.op == SimOp::kWrite) && d.Percent(30))
    f.shortBytes = 512 * (1 + d.Below(16));
  SimAddFault(f);
  TRACE("fault armed: %s%s on '%s', call %d from now%s, %s %u", SimOpName(f.op),
        f.ioctl != 0 ? (" " + std::to_string(f.ioctl)).c_str() : "", Narrow(f.target).c_str(),
        f.nth, f.persistent ? " on" : "", f.shortBytes != 0 ? "short to" : "error",
        f.shortBytes != 0 ? f.shortBytes : f.error);
}

int FaultHits() {
  int hits = 0;
  for (const SimFault& f : SimFaults()) hits += f.hits;
  return hits;
}

// An event on a disk the pending write depends on (its target, or the
// disk holding the image) may rightly end it short, whether it lands before
// the job's thread starts or while it runs. A volume of theirs touched by
// another program only until the job first writes the target: by then it
// holds every volume's lock, and a remount that gets through is its fault.
void Disturb(size_t disk, bool touch) {
  if (!run->writePending || (touch && run->targetWritten)) return;
  if (static_cast<int>(disk) == run->writeTarget || static_cast<int>(disk) == run->imageDisk)
    run->disturbed = true;
}

void MachineEvent() {
  Decisions& d = run->d;
  switch (d.Below(6)) {
    case 0: {  // a disk pulled out
      std::vector<int> numbers = RemovableNumbers();
      if (numbers.empty()) return;
      const int n = numbers[d.Below(static_cast<uint32_t>(numbers.size()))];
      TRACE("event: PhysicalDrive%d pulled out", n);
      Disturb(run->deviceDisk[SimDiskDevice(n)], false);
      Unplug(n);
      return;
    }
    case 1:  // a new disk plugged in
      if (run->disks.size() < 40) PlugNew("event: plugged in", "  ");
      return;
    case 2: {  // one pulled out earlier comes back
      std::vector<size_t> away;
      for (size_t i = 0; i < run->disks.size(); ++i)
        if (run->disks[i].everPresent && !Present(i)) away.push_back(i);
      if (away.empty()) return;
      const size_t back = away[d.Below(static_cast<uint32_t>(away.size()))];
      Disturb(back, false);
      Plug(back, "event: plugged back");
      return;
    }
    case 3: {  // a swap: one out, another in
      std::vector<int> numbers = RemovableNumbers();
      if (numbers.empty() || run->disks.size() >= 40) return;
      const int n = numbers[d.Below(static_cast<uint32_t>(numbers.size()))];
      TRACE("event: PhysicalDrive%d swapped", n);
      Disturb(run->deviceDisk[SimDiskDevice(n)], false);
      Unplug(n);
      PlugNew("  for", "  ");
      return;
    }
    case 4: {  // another program touches a volume
      std::vector<size_t> live;
      for (size_t i = 0; i < run->volumes.size(); ++i)
        if (Present(static_cast<size_t>(run->volumeDisk[i]))) live.push_back(i);
      if (live.empty()) return;
      const size_t v = live[d.Below(static_cast<uint32_t>(live.size()))];
      TRACE("event: another program touches %s", Narrow(run->volumes[v]).c_str());
      Disturb(static_cast<size_t>(run->volumeDisk[v]), true);
      SimTouchVolume(run->volumes[v]);
      return;
    }
    default:
      ArmFault();
      return;
  }
}

// ---- the user -------------------------------------------------------------------

void Click(ControlId control, const char* what) {
  TRACE("user: %s", what);
  const bool outerJob = run->inJob;
  HandleCommand(control, 0);
  run->inJob = outerJob;  // a job started by this click has ended
}

void TypePath() {
  Decisions& d = run->d;
  const wchar_t* paths[] = {run->imagePath.c_str(), run->imagePath.c_str(), kMissingPath, L""};
  const wchar_t* path = paths[d.Below(4)];
  TRACE("user: types '%s' into the path box", Narrow(path).c_str());
  // The job reads the box when it starts: another path typed in between is
  // the person's own change of image.
  if (run->writePending && path != run->imagePath) run->disturbed = true;
  FakeSetText(kImagePathBox, path);
}

void Select() {
  const int lines = static_cast<int>(FakeListLines().size());
  const int line = static_cast<int>(run->d.Below(static_cast<uint32_t>(lines + 1))) - 1;
  TRACE("user: selects line %d%s", line,
        line >= 0 ? (" '" + Narrow(FakeListLines()[line]) + "'").c_str() : "");
  FakeSelect(line);
  HandleCommand(kDiskList, 1);
}

// The next interruption: after 0 to 509 calls, or never once the stream
// has run out.
void DrawNextInterruption() {
  run->callsToNext = run->d.Exhausted() ? UINT32_MAX : run->d.Byte() * 2;
}

// A job's moments where a swap hurts most: just after it asked a disk who it
// is, and as its volume walk moves to the next name.
bool SwapMoment(const SimCall& call) {
  return run->inJob && call.ok &&
         (call.op == SimOp::kFindNextVolume ||
          (call.op == SimOp::kDeviceControl && call.code == kIoctlStorageQueryProperty));
}

// What happens between two seam calls, in a job or anywhere else: the
// machine changes, or the person clicks.
void BetweenCalls(const SimCall& call) {
  Decisions& d = run->d;
  if (run->callsToNext == UINT32_MAX) return;
  if (run->callsToNext-- > 0 && !(SwapMoment(call) && d.Percent(10))) return;
  DrawNextInterruption();
  const uint32_t b = d.Byte();
  run->inAction = true;
  if (run->inJob) TRACE("  (after %s %s)", SimOpName(call.op), Narrow(call.target).c_str());
  if (!run->inJob || b < 150) {
    MachineEvent();
  } else if (b < 190) {
    Click(kRefreshButton, "presses 刷新");
  } else if (b < 230) {
    if (FakeEnabled(kCancelButton)) {
      run->disturbed = true;
      Click(kCancelButton, "presses 取消");
    }
  } else if (b < 250) {
    TypePath();
  } else {
    TRACE("user: closes the window");
    run->closed = true;
  }
  run->inAction = false;
}

// A volume is locked or dismounted only on a disk confirmed this step, while
// it is that disk: the volume belongs to the device it lay on when added.
void CheckVolumeControl(const SimCall& call) {
  if (call.op != SimOp::kDeviceControl || !call.ok ||
      (call.code != kFsctlLockVolume && call.code != kFsctlDismountVolume))
    return;
  const std::string what =
      Narrow(call.target) + (call.code == kFsctlLockVolume ? " was locked" : " was dismounted");
  // Volumes are told apart by their {…} part, whichever prefix opened them;
  // a name opens the newest volume that carries it (a call through an older
  // one's handle fails with its disk gone).
  const size_t open = call.target.find(L'{'), close = call.target.find(L'}', open);
  const std::wstring key =
      open == std::wstring::npos ? L"?" : call.target.substr(open, close + 1 - open);
  for (size_t i = run->volumes.size(); i-- > 0;) {
    if (run->volumes[i].find(key) == std::wstring::npos) continue;
    const Physical& p = run->disks[run->volumeDisk[i]];
    for (const Confirmed& c : run->confirmed)
      if (SameIdentity(p, c.entry)) return;
    return Fail(what + ", on " + Describe(p) + ", but no such disk was confirmed");
  }
  Fail(what + ", but it lies on no disk the user could confirm");
}

void OnCall(const SimCall& call) {
  if (run == nullptr) return;
  CheckVolumeControl(call);
  if (run->inAction || run->closed) return;
  // With threads run inline, a job's work follows its thread's start.
  if (call.op == SimOp::kStartThread && call.ok) run->inJob = true;
  if (run->inJob && call.op == SimOp::kWrite && call.ok &&
      call.target.find(L"PhysicalDrive") != std::wstring::npos) {
    run->targetWritten = true;
    run->diskBytes += call.done;
  }
  BetweenCalls(call);
}

int AnswerBox(const FakeBox& box) {
  Decisions& d = run->d;
  if ((box.flags & 0xF) != kMbYesNo) {
    TRACE("  box '%s': %s", Narrow(box.caption).c_str(), Narrow(box.text).c_str());
    if (box.caption == L"完成" && box.text.rfind(L"镜像写入完成", 0) == 0)
      run->completedThisStep = true;
    // A person may press Cancel while a job's box is up.
    if (run->inJob && !run->inAction && !run->closed && d.Byte() >= 240 &&
        FakeEnabled(kCancelButton)) {
      run->inAction = true;
      run->disturbed = true;
      Click(kCancelButton, "presses 取消 while the box is up");
      run->inAction = false;
    }
    return kIdOk;
  }
  const bool yes = d.Byte() < 200;
  TRACE("  box '%s': %s -> %s", Narrow(box.caption).c_str(), Narrow(box.text).c_str(),
        yes ? "yes" : "no");
  if (yes) {
    Confirmed c;
    c.write = box.caption == L"确认";
    c.entry = diskTable.entries[ViewListSelection()];
    if (c.write) {
      const uint64_t device = SimDiskDevice(c.entry.number);
      const int target = device == 0 ? -1 : static_cast<int>(run->deviceDisk[device]);
      const std::wstring path = FakeText(kImagePathBox);
      const int imageDisk = DiskOfPath(path);
      c.mustComplete = target >= 0 && SameIdentity(run->disks[target], c.entry) &&
                       path == run->imagePath && !run->image.empty() &&
                       run->image.size() <= c.entry.sizeBytes && imageDisk != target &&
                       !run->imageGone;
      run->writePending = true;
      run->writeTarget = target;
      run->imageDisk = imageDisk;
      run->targetWritten = false;
      run->disturbed = false;
      run->faultHits = FaultHits();
    }
    run->confirmed.push_back(c);
  }
  return yes ? kIdYes : kIdNo;
}

// ---- the promises ---------------------------------------------------------------

// What a device held past the image's end at [offset, offset + length).
std::vector<uint8_t> HeldBytes(uint64_t device, uint64_t offset, uint64_t length) {
  std::vector<uint8_t> held(length);
  SimFillPattern(SimDeviceNumber(device), offset, held.data(), held.size());
  for (const Run::Change& c : run->changes[device])
    for (uint64_t at = std::max(offset, c.offset);
         at < std::min(offset + length, c.offset + c.bytes.size()); ++at)
      held[at - offset] = c.bytes[at - c.offset];
  return held;
}

// New writes and layout deletions of this step, against what was confirmed.
void CheckDevices() {
  const Confirmed* write = nullptr;
  for (const Confirmed& c : run->confirmed)
    if (c.write) write = &c;
  // Per device, how far from byte 0 this step's writes were found to hold
  // the image: a completion need not compare that part again.
  std::map<uint64_t, uint64_t> holdsTo;
  for (uint64_t device : SimDevices()) {
    const int disk = static_cast<int>(run->deviceDisk[device]);
    const Physical& p = run->disks[disk];
    auto who = [&] {
      return "PhysicalDrive" + std::to_string(SimDeviceNumber(device)) + " (" + Describe(p) + ")";
    };
    const std::vector<SimRange> writes = SimDeviceWrites(device);
    size_t& seen = run->checkedWrites[device];
    if (writes.size() > seen) {
      if (write == nullptr) {
        Fail(who() + " was written, but no write was confirmed");
      } else if (!SameIdentity(p, write->entry)) {
        Fail(who() + " was written, but the user confirmed PhysicalDrive" +
             std::to_string(write->entry.number) + " ('" + Narrow(write->entry.displayName) +
             "' serial '" + Narrow(write->entry.serial) + "')");
      }
      if (disk == run->peStick) Fail(who() + ": the PE stick was written");
      if (p.isProtected) Fail(who() + ": a disk with a protected serial was written");
      // Within the image: the image; past it: what the disk held.
      for (size_t i = seen; i < writes.size(); ++i) {
        const uint64_t at = writes[i].offset, end = at + writes[i].length;
        const uint64_t imageEnd = std::min<uint64_t>(end, run->image.size());
        if (at < imageEnd &&
            !SimDeviceHolds(device, at, run->image.data() + at, imageEnd - at))
          Fail(who() + ": the write at " + std::to_string(at) + " differs from the image");
        else if (at <= holdsTo[device])
          holdsTo[device] = std::max(holdsTo[device], imageEnd);
        const uint64_t past = std::max(at, imageEnd);
        const std::vector<uint8_t> now = SimReadDevice(device, past, end - past);
        const std::vector<uint8_t> held = HeldBytes(device, past, end - past);
        const size_t changed =
            std::mismatch(now.begin(), now.end(), held.begin()).first - now.begin();
        if (changed < now.size())
          Fail(who() + ": byte " + std::to_string(past + changed) +
               " past the image's end was changed");
      }
      seen = writes.size();
    }
    if (SimDeviceLayoutDeleted(device) && run->wiped.insert(device).second) {
      bool confirmedWipe = false;
      for (const Confirmed& c : run->confirmed)
        if (!c.write && SameIdentity(p, c.entry)) confirmedWipe = true;
      if (!confirmedWipe) Fail(who() + ": its layout was deleted, but nobody confirmed that");
      if (disk == run->peStick) Fail(who() + ": the PE stick's layout was deleted");
      const uint64_t length = SimDeviceConfig(device).length;
      if (DiskOfPath(run->imagePath) == disk) run->imageGone = true;  // its volume went too
      for (uint64_t at : {uint64_t{0}, length - kPage})  // the sectors it rewrote
        run->changes[device].push_back({at, SimReadDevice(device, at, at ? kPage : 2 * kPage)});
    }
  }
  // A completion is the whole image on the disk confirmed.
  if (run->completedThisStep) {
    if (write == nullptr) Fail("completion reported, but no write was confirmed");
    bool holds = false;
    for (uint64_t device : SimDevices()) {
      const uint64_t from = holdsTo[device];
      holds = holds || (write != nullptr && !run->image.empty() &&
                        SameIdentity(run->disks[run->deviceDisk[device]], write->entry) &&
                        SimDeviceHolds(device, from, run->image.data() + from,
                                       run->image.size() - from));
    }
    if (!holds) Fail("completion reported, but no disk the user confirmed holds the image");
  } else if (write != nullptr && write->mustComplete && !run->disturbed &&
             !run->closed && FaultHits() == run->faultHits) {
    Fail("the write to PhysicalDrive" + std::to_string(write->entry.number) + " ended '" +
         Narrow(FakeText(kStatusLabel)) + "' though nothing stood in its way");
  }
}

bool ProgramText(const std::wstring& s) {
  static const wchar_t* const exact[] = {
      L"准备就绪", L"磁盘列表已刷新", L"开始写入镜像...", L"写入失败或被中止",
      L"已取消", L"取消中...", L"删除失败 (打开磁盘失败)", L"删除失败 (IOCTL 失败)"};
  for (const wchar_t* e : exact) if (s == e) return true;
  auto between = [&s](const std::wstring& head, const std::wstring& tail) {
    return s.size() > head.size() + tail.size() && s.rfind(head, 0) == 0 &&
           s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  };
  return between(L"写入完成 (平均速度: ", L" MB/s)") ||
         between(L"正在删除 PhysicalDrive", L" 上的全部分区...") ||
         between(L"成功：PhysicalDrive", L" 全部分区已删除。");
}

void CheckAtRest() {
  CheckDevices();
  if (SimOpenHandles() != 0) Fail(std::to_string(SimOpenHandles()) + " handles left open");
  if (SimOpenFinds() != 0) Fail("a volume enumeration left open");
  if (SimLivePageAllocations() != 0) Fail("a page allocation left behind");
  if (SimLiveHeapAllocations() != 0) Fail("a heap allocation left behind");
  if (SimPageBlocksStoredIn() != 0)  // the fuzzer's machine would not zero them again
    Fail("the job stored into its page buffer past what its reads filled");
  if (FakeButtonState() != "idle") Fail("buttons not idle at rest: " + FakeButtonState());
  if (cancelRequested.load()) Fail("the cancel flag is still set at rest");
  const std::wstring status = FakeText(kStatusLabel);
  if (!ProgramText(status)) Fail("status '" + Narrow(status) + "' is none of the program's texts");
}

// ---- a run ----------------------------------------------------------------------

void Step() {
  Decisions& d = run->d;
  run->confirmed.clear();
  run->writePending = false;
  run->completedThisStep = false;
  run->inAction = true;  // the top-level choice itself is not interrupted
  const uint32_t what = d.Below(100);
  const int refreshesBefore = FakePostedRefreshes();
  run->inAction = false;
  if (what < 14) {
    Select();
  } else if (what < 22) {
    TypePath();
  } else if (what < 26) {
    const bool picked = d.Percent(70);
    FakeAnswerFileDialog(run->imagePath, picked);
    Click(kBrowseButton, picked ? "browses and picks the image" : "browses and cancels");
  } else if (what < 48) {
    if (d.Percent(6)) {  // only the commands start threads: this fails Start's
      SimFault noThread;
      noThread.op = SimOp::kStartThread;
      noThread.error = kErrorNotEnoughMemory;
      SimAddFault(noThread);
      TRACE("fault armed: the next StartThread fails");
    }
    ++run->jobs;
    Click(kStartButton, "presses 开始写入");
    run->writePending = false;  // its job has ended: later events excuse nothing
  } else if (what < 58) {
    ++run->jobs;
    Click(kDeleteButton, "presses 删除全部分区");
  } else if (what < 66) {
    Click(kRefreshButton, "presses 刷新");
  } else if (what < 96) {
    run->inAction = true;
    MachineEvent();
    run->inAction = false;
  } else {
    TRACE("user: closes the window");
    run->closed = true;
  }
  // The wipe's posted Refresh runs once the UI thread is free again.
  for (int i = refreshesBefore; i < FakePostedRefreshes() && !run->closed; ++i)
    Click(kRefreshButton, "(the posted 刷新 runs)");
  CheckAtRest();
  const std::wstring status = FakeText(kStatusLabel);
  TRACE("  status '%s'", Narrow(status).c_str());
}

}  // namespace

ExploreResult Explore(const uint8_t* data, size_t size, bool trace) {
  Run state(data, size, trace);
  run = &state;
  FakeViewReset();
  cancelRequested = false;
  BuildMachine();
  FakeAnswerBoxes(AnswerBox);
  DrawNextInterruption();
  SimSetCallHook(OnCall);
  TRACE("program: starts");
  InitializeWindowState();
  CheckAtRest();
  while (!run->closed && !run->d.Exhausted() && run->steps < kMaxSteps &&
         run->diskBytes < kMaxDiskBytes && run->failure.empty()) {
    ++run->steps;
    Step();
  }
  SimSetCallHook(nullptr);
  FakeAnswerBoxes(nullptr);
  SimRunThreadsInline(false);
  SimReset();
  FakeViewReset();  // frees what the run made: libFuzzer counts on it
  run = nullptr;
  return {state.failure.empty(), state.failure, state.trace, state.steps, state.jobs};
}
