// The simulated machine's state, its control functions (sim.h) and the
// bookkeeping every seam call shares: lock, fault table, log, last error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

thread_local uint32_t tlsLastError = 0;

std::atomic<bool> machineReady{false};
std::once_flag defaultMachineOnce;

// A control call that names something the machine does not have is a broken
// test; stop at once rather than let it pass on a machine it did not mean.
[[noreturn]] void Misuse(const char* what) {
  std::fprintf(stderr, "simulated machine: %s\n", what);
  std::abort();
}

bool FaultMatches(const SimFault& f, const SimCall& c) {
  if (f.op != c.op) return false;
  if (f.op == SimOp::kDeviceControl && f.ioctl != 0 && f.ioctl != c.code) {
    return false;
  }
  return f.target.empty() || ContainsFolded(c.target, f.target);
}

// The pattern of an unwritten disk (SimPatternByte): a hash of each 8-byte
// word's offset and the disk's number, its bytes little-endian.
void FillPattern(int number, uint64_t offset, uint8_t* out, size_t length) {
  const uint64_t disk = static_cast<uint64_t>(number + 1) * 0xD1B54A32D192ED03ull;
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  size_t skip = static_cast<size_t>(offset & 7);
  for (uint64_t word = offset >> 3; length > 0; ++word, skip = 0) {
    uint64_t x = word * 0x9E3779B97F4A7C15ull + disk;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    // Never 0, so a zeroed byte always differs from an untouched one: each
    // zero byte (0x80 in `zero`) becomes 0xA5.
    const uint64_t zero = ~(((x & low7) + low7) | x | low7);
    x |= (zero >> 7) * 0xA5;
    if (skip == 0 && length >= 8) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      std::memcpy(out, &x, 8);
#else
      for (int k = 0; k < 8; ++k) out[k] = static_cast<uint8_t>(x >> (8 * k));
#endif
      out += 8;
      length -= 8;
      continue;
    }
    for (size_t k = skip; k < 8 && length > 0; ++k, --length) {
      *out++ = static_cast<uint8_t>(x >> (8 * k));
    }
  }
}

// The page holding `index`, allocated on first use; `whole` says the caller
// overwrites all of it, so a new page needs no pattern.
uint8_t* PageFor(DiskState& disk, uint64_t index, bool whole) {
  auto it = disk.pages.find(index);
  if (it != disk.pages.end()) return it->second.get();
  std::vector<std::unique_ptr<uint8_t[]>>& spare = TheMachine().sparePages;
  std::unique_ptr<uint8_t[]> page;
  if (spare.empty()) {
    page.reset(new uint8_t[kPageSize]);
  } else {
    page = std::move(spare.back());
    spare.pop_back();
  }
  if (!whole) FillPattern(disk.config.number, index * kPageSize, page.get(), kPageSize);
  uint8_t* raw = page.get();
  disk.pages.emplace(index, std::move(page));
  return raw;
}

// The host file of a file-backed disk; for writes it is created and grown
// to the disk's length first. Reads of a missing file see zeros (nullptr).
HostFile* DiskHost(DiskState& disk, bool forWrite, uint32_t* error) {
  if (disk.host != nullptr && (disk.hostWritable || !forWrite)) {
    return disk.host;
  }
  const std::string& path = disk.config.backingFile;
  if (forWrite) {
    HostClose(disk.host);
    disk.host = HostOpen(path, true, true);
    disk.hostWritable = disk.host != nullptr;
  } else {
    disk.host = HostOpen(path, true, false);
    disk.hostWritable = disk.host != nullptr;
    if (disk.host == nullptr) disk.host = HostOpen(path, false, false);
  }
  if (disk.host == nullptr) {
    if (forWrite) *error = 1117;  // ERROR_IO_DEVICE
    return nullptr;
  }
  if (disk.hostWritable && !disk.hostExtended) {
    uint64_t size = 0;
    if (HostSize(disk.host, &size) && size < disk.config.length &&
        !HostResize(disk.host, disk.config.length)) {
      *error = 1117;
      return nullptr;
    }
    disk.hostExtended = true;
  }
  return disk.host;
}

}  // namespace

Machine& TheMachine() {
  // Never destroyed: detached job threads may still call in at exit.
  static Machine* machine = new Machine;
  return *machine;
}

void EnsureMachine() {
  if (machineReady.load(std::memory_order_acquire)) return;
  std::call_once(defaultMachineOnce, [] {
    if (!machineReady.load(std::memory_order_acquire)) {
      HostBuildDefaultMachine();
    }
    machineReady.store(true, std::memory_order_release);
  });
}

void MarkMachineReady() { machineReady.store(true, std::memory_order_release); }

void SetLastErrorCode(uint32_t error) { tlsLastError = error; }
uint32_t LastErrorCode() { return tlsLastError; }

// ---- Call -------------------------------------------------------------------

Call::Call(SimOp op) : m((EnsureMachine(), TheMachine())), lock_(m.mutex) {
  entry.op = op;
  entry.target.swap(m.spareTarget);
  entry.target.clear();
  PollEvents(m);
}

Call::~Call() {
  if (m.keepLog && m.log.size() < kMaxLogEntries) m.log.push_back(entry);
  std::function<void(const SimCall&)> hook = m.hook;
  if (!hook) entry.target.swap(m.spareTarget);
  lock_.unlock();
  if (!entry.ok) tlsLastError = entry.error;
  if (sleepSeconds_ > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(sleepSeconds_));
  }
  if (hook) {
    const uint32_t saved = tlsLastError;
    hook(entry);
    tlsLastError = saved;
    // The hook may call in itself, so the room goes back only now.
    lock_.lock();
    entry.target.swap(m.spareTarget);
  }
}

bool Call::Faulted(uint32_t* shortBytes) {
  if (shortBytes != nullptr) *shortBytes = 0;
  SimFault* fired = nullptr;
  for (size_t i = 0; i < m.faults.size(); ++i) {
    SimFault& f = m.faults[i];
    if (!FaultMatches(f, entry)) continue;
    const int seen = ++m.faultSeen[i];
    if (fired == nullptr &&
        (seen == f.nth || (f.persistent && seen >= f.nth))) {
      fired = &f;
    }
  }
  if (fired == nullptr) return false;
  ++fired->hits;
  const bool transfer = entry.op == SimOp::kRead || entry.op == SimOp::kWrite;
  if (transfer && fired->shortBytes != 0 && shortBytes != nullptr) {
    *shortBytes = fired->shortBytes;
    return false;
  }
  Fail(fired->error);
  return true;
}

void Call::Transfer(DiskState& disk, uint64_t bytes) {
  const uint64_t speed = disk.config.bytesPerSecond;
  if (speed == 0 || bytes == 0) return;
  if (m.realClock) {
    sleepSeconds_ += static_cast<double>(bytes) / static_cast<double>(speed);
    return;
  }
  // bytes is at most 4 GiB, so bytes * 10^7 stays far below 2^64.
  const uint64_t scaled =
      bytes * static_cast<uint64_t>(kTicksPerSecond) + disk.tickRemainder;
  m.virtualTicks += static_cast<int64_t>(scaled / speed);
  disk.tickRemainder = scaled % speed;
}

// ---- Disk contents ------------------------------------------------------------

bool ReadDiskBytes(DiskState& disk, uint64_t offset, uint8_t* out,
                   size_t length, uint32_t* error) {
  if (!disk.config.backingFile.empty()) {
    HostFile* host = DiskHost(disk, false, error);
    size_t done = 0;
    if (host != nullptr && !HostReadAt(host, offset, out, length, &done)) {
      *error = 1117;
      return false;
    }
    std::memset(out + done, 0, length - done);
    return true;
  }
  while (length > 0) {
    const uint64_t index = offset / kPageSize;
    const size_t within = static_cast<size_t>(offset % kPageSize);
    const size_t n = std::min(length, kPageSize - within);
    auto it = disk.pages.find(index);
    if (it != disk.pages.end()) {
      std::memcpy(out, it->second.get() + within, n);
    } else {
      FillPattern(disk.config.number, offset, out, n);
    }
    out += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool WriteDiskBytes(DiskState& disk, uint64_t offset, const uint8_t* data,
                    size_t length, uint32_t* error) {
  if (!disk.config.backingFile.empty()) {
    HostFile* host = DiskHost(disk, true, error);
    if (host == nullptr) return false;
    if (!HostWriteAt(host, offset, data, length)) {
      *error = 1117;
      return false;
    }
    return true;
  }
  while (length > 0) {
    const uint64_t index = offset / kPageSize;
    const size_t within = static_cast<size_t>(offset % kPageSize);
    const size_t n = std::min(length, kPageSize - within);
    std::memcpy(PageFor(disk, index, n == kPageSize) + within, data, n);
    data += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool ZeroDiskBytes(DiskState& disk, uint64_t offset, uint64_t length,
                   uint32_t* error) {
  static const uint8_t zeros[kPageSize] = {};
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kPageSize));
    if (!WriteDiskBytes(disk, offset, zeros, n, error)) return false;
    offset += n;
    length -= n;
  }
  return true;
}

void OwnFileBytes(FileState& f) {
  if (f.shared == nullptr) return;
  f.bytes.assign(f.shared, f.shared + f.sharedSize);
  f.shared = nullptr;
  f.sharedSize = 0;
}

std::wstring VolumeKey(const std::wstring& name) {
  std::wstring key = FoldPath(name);
  if (key.compare(0, 4, L"\\\\.\\") == 0) key[2] = L'?';
  if (!key.empty() && key.back() == L'\\') key.pop_back();
  return key;
}

VolumeState* FindVolume(Machine& m, const std::wstring& name) {
  const std::wstring key = VolumeKey(name);
  VolumeState* gone = nullptr;
  for (VolumeState& v : m.volumes) {
    if (v.key != key) continue;
    if (!v.removed) return &v;
    gone = &v;
  }
  return gone;
}

// ---- Devices and volumes --------------------------------------------------------

DiskState* DeviceById(Machine& m, uint64_t id) {
  auto it = m.devices.find(id);
  return it == m.devices.end() ? nullptr : it->second.get();
}

DiskState* PresentDisk(Machine& m, int number) {
  auto it = m.present.find(number);
  return it == m.present.end() ? nullptr : it->second;
}

DiskState* DiskAtNumber(Machine& m, int number) {
  if (DiskState* d = PresentDisk(m, number)) return d;
  for (auto it = m.devices.rbegin(); it != m.devices.rend(); ++it) {
    if (it->second->config.number == number) return it->second.get();
  }
  return nullptr;
}

namespace {

DiskState& NewDevice(Machine& m, const SimDisk& disk, int number, bool plugged) {
  std::unique_ptr<DiskState> state(new DiskState);
  state->config = disk;
  state->config.number = number;
  state->id = m.nextDevice++;
  state->plugged = plugged;
  DiskState& d = *state;
  m.devices.emplace(d.id, std::move(state));
  m.present[number] = &d;
  return d;
}

}  // namespace

void AddDevice(Machine& m, const SimDisk& disk) {
  DiskState* old = PresentDisk(m, disk.number);
  if (old != nullptr) old->unplugged = true;
  const uint64_t oldId = old != nullptr ? old->id : 0;
  const DiskState& d = NewDevice(m, disk, disk.number, false);
  // Setting up a machine: the order of disks and volumes does not matter,
  // and a disk set up again keeps the volumes described on it.
  for (VolumeState& v : m.volumes) {
    if (v.removed) continue;
    for (size_t i = 0; i < v.devices.size(); ++i) {
      const bool ours = v.devices[i] == 0 || (oldId != 0 && v.devices[i] == oldId);
      if (ours && v.config.extents[i].disk == static_cast<uint32_t>(disk.number)) {
        v.devices[i] = d.id;
      }
    }
  }
}

int PlugDevice(Machine& m, const SimDisk& disk) {
  // As the disk class driver names a new disk: the first \Device\HarddiskN
  // from 0 up that is not in use.
  for (int n = 0; n <= 63; ++n) {
    if (m.present.count(n) != 0) continue;
    NewDevice(m, disk, n, true);
    return n;
  }
  return -1;
}

void RemoveVolumesOf(Machine& m, uint64_t device, bool unplugged) {
  for (VolumeState& v : m.volumes) {
    for (uint64_t d : v.devices) {
      if (d != device) continue;
      v.removed = true;
      v.unplugged = v.unplugged || unplugged;
      v.config.listed = false;
      v.config.mounted = false;
      ++v.dismounts;
      // Other processes' handles to files on it went with it, so they keep
      // no volume that later takes the letter from being locked.
      const wchar_t letter = v.config.letter;
      for (auto& f : m.files) {
        const std::wstring& path = f.second->path;
        const wchar_t c = path.size() >= 2 && path[1] == L':' ? path[0] : 0;
        const wchar_t upper = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
        if (letter != 0 && upper == letter) f.second->holderStale = true;
      }
      break;
    }
  }
}

void PullOut(Machine& m, DiskState& disk) {
  if (disk.unplugged) return;
  disk.unplugged = true;
  auto it = m.present.find(disk.config.number);
  if (it != m.present.end() && it->second == &disk) m.present.erase(it);
  RemoveVolumesOf(m, disk.id, true);
}

void AddVolumeState(Machine& m, const SimVolume& volume) {
  VolumeState state;
  state.config = volume;
  state.key = VolumeKey(volume.name);
  for (const SimExtent& e : volume.extents) {
    const DiskState* d =
        e.disk <= 63 ? PresentDisk(m, static_cast<int>(e.disk)) : nullptr;
    state.devices.push_back(d != nullptr ? d->id : 0);
  }
  // A volume of the same name that went with its disk keeps its entry, so
  // handles still open on it keep failing as they did.
  if (!volume.name.empty()) {
    for (VolumeState& v : m.volumes) {
      if (v.key == state.key && !v.removed) {
        v = std::move(state);
        return;
      }
    }
  }
  m.volumes.push_back(std::move(state));
}

void TouchVolume(VolumeState& v) {
  if (!v.removed && v.lockedBy == 0) v.config.mounted = true;
}

}  // namespace sim

using namespace sim;

// ---- Control functions ----------------------------------------------------------

const char* SimOpName(SimOp op) {
  switch (op) {
    case SimOp::kOpen: return "Open";
    case SimOp::kClose: return "Close";
    case SimOp::kRead: return "Read";
    case SimOp::kWrite: return "Write";
    case SimOp::kSeek: return "Seek";
    case SimOp::kFlush: return "Flush";
    case SimOp::kGetFileSizeEx: return "GetFileSizeEx";
    case SimOp::kGetFileSize: return "GetFileSize";
    case SimOp::kDeviceControl: return "DeviceControl";
    case SimOp::kFindFirstVolume: return "FindFirstVolume";
    case SimOp::kFindNextVolume: return "FindNextVolume";
    case SimOp::kFindVolumeClose: return "FindVolumeClose";
    case SimOp::kModuleFileName: return "ModuleFileName";
    case SimOp::kAnsiToWide: return "AnsiToWide";
    case SimOp::kPerfCounter: return "PerfCounter";
    case SimOp::kPerfFrequency: return "PerfFrequency";
    case SimOp::kPageAlloc: return "PageAlloc";
    case SimOp::kPageFree: return "PageFree";
    case SimOp::kHeapAlloc: return "HeapAlloc";
    case SimOp::kHeapFree: return "HeapFree";
    case SimOp::kStartThread: return "StartThread";
  }
  return "?";
}

void SimReset() {
  MarkMachineReady();
  Machine& m = TheMachine();
  // Destroyed after the lock is released: a hook's captures or a file's
  // host handle may take their time going away.
  std::map<uint64_t, std::unique_ptr<DiskState>> devices;
  std::map<std::wstring, std::shared_ptr<FileState>> files;
  std::unordered_map<uintptr_t, HandleState> handles;
  std::function<void(const SimCall&)> hook;
  HostFile* events = nullptr;
  std::lock_guard<std::mutex> lock(m.mutex);
  devices.swap(m.devices);
  for (auto& d : devices) {
    for (auto& page : d.second->pages) {
      if (m.sparePages.size() == kSparePages) break;
      m.sparePages.push_back(std::move(page.second));
    }
  }
  m.present.clear();
  m.baseDir.clear();
  events = m.eventsHost;
  m.eventsHost = nullptr;
  m.eventsPath.clear();
  m.eventsName.clear();
  m.eventsOffset = 0;
  m.eventsPending.clear();
  m.eventsLine = 0;
  m.eventsSkipping = false;
  files.swap(m.files);
  handles.swap(m.handles);
  hook.swap(m.hook);
  m.volumes.clear();
  m.exePath = L"X:\\tessavane.exe";
  m.codePage = 936;
  m.realClock = false;
  m.virtualTicks = 0;
  m.clockOffset = 0;
  m.faults.clear();
  m.faultSeen.clear();
  m.log.clear();
  m.keepLog = true;
  m.finds.clear();
  // Blocks still out belong to code that may free them later; they are
  // released then without counting against the new machine.
  m.pageBlocks.clear();
  m.pageBlocksStoredIn = 0;
  m.heapBlocks.clear();
  m.hostFiles = false;
  m.inlineThreads = false;
  m.hostFilesReached.clear();
  m.hostFilesOpen.clear();
  HostClose(events);
}

void SimAddDisk(const SimDisk& disk) {
  if (disk.number < 0 || disk.number > 63) Misuse("disk number outside 0..63");
  if (disk.sectorSize == 0) Misuse("disk with sector size 0");
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  AddDevice(m, disk);
}

int SimPlugDisk(const SimDisk& disk) {
  if (disk.sectorSize == 0) Misuse("disk with sector size 0");
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return PlugDevice(m, disk);
}

void SimUnplugDisk(int number) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  DiskState* d = PresentDisk(m, number);
  if (d == nullptr) Misuse("SimUnplugDisk: no disk is present at that number");
  PullOut(m, *d);
}

void SimRescanDisk(int number) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  DiskState* d = PresentDisk(m, number);
  if (d == nullptr) Misuse("SimRescanDisk: no disk is present at that number");
  RescanLayout(m, *d);
}

void SimAddVolume(const SimVolume& volume) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  AddVolumeState(m, volume);
}

void SimTouchVolume(const std::wstring& name) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  VolumeState* v = FindVolume(m, name);
  if (v == nullptr) Misuse("SimTouchVolume on a volume the machine does not have");
  TouchVolume(*v);
}

void SimSetExecutablePath(const std::wstring& path) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.exePath = path;
}

void SimSetCodePage(uint32_t codePage) {
  if (!IsSupportedCodePage(codePage)) Misuse("code page not 936, 1252 or 65001");
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.codePage = codePage;
}

namespace {

// A file that exists already gets new contents in place, so handles open on
// it see them, as they would see another process rewrite the file.
void PutFile(const std::wstring& path, const std::vector<uint8_t>* bytes,
             const std::string& hostPath, const uint8_t* shared = nullptr,
             size_t sharedSize = 0) {
  EnsureMachine();
  Machine& m = TheMachine();
  HostFile* oldHost = nullptr;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    std::shared_ptr<FileState>& slot = m.files[FoldPath(path)];
    if (!slot) slot = std::make_shared<FileState>();
    slot->path = path;
    slot->bytes = bytes != nullptr ? *bytes : std::vector<uint8_t>();
    slot->shared = shared;
    slot->sharedSize = shared != nullptr ? sharedSize : 0;
    slot->hostPath = hostPath;
    oldHost = slot->host;
    slot->host = nullptr;
  }
  HostClose(oldHost);
}

}  // namespace

void SimPutFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  PutFile(path, &bytes, std::string());
}

void SimShareFile(const std::wstring& path, const uint8_t* bytes, size_t size) {
  if (bytes == nullptr && size != 0) Misuse("SimShareFile of bytes that are not there");
  PutFile(path, nullptr, std::string(), size != 0 ? bytes : nullptr, size);
}

void SimPutHostFile(const std::wstring& path, const std::string& hostPath) {
  PutFile(path, nullptr, hostPath);
}

void SimDeleteFile(const std::wstring& path) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::shared_ptr<FileState> old;
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.files.find(FoldPath(path));
  if (it == m.files.end()) return;
  old = it->second;
  m.files.erase(it);
}

void SimSetFileHolder(const std::wstring& path, SimHolder holder) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.files.find(FoldPath(path));
  if (it == m.files.end()) Misuse("SimSetFileHolder on a file the machine does not have");
  it->second->holder = holder;
  it->second->holderStale = false;
}

void SimSetDiskHolder(int number, SimHolder holder) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  DiskState* d = DiskAtNumber(m, number);
  if (d == nullptr) Misuse("SimSetDiskHolder on a disk the machine does not have");
  d->config.holder = holder;
}

void SimSetVolumeMounted(const std::wstring& name, bool mounted) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  VolumeState* v = FindVolume(m, name);
  if (v == nullptr) Misuse("SimSetVolumeMounted on a volume the machine does not have");
  v->config.mounted = mounted;
}

bool SimVolumeMounted(const std::wstring& name) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  VolumeState* v = FindVolume(m, name);
  return v != nullptr && v->config.mounted;
}

bool SimVolumeLocked(const std::wstring& name) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  VolumeState* v = FindVolume(m, name);
  return v != nullptr && v->lockedBy != 0;
}

bool SimLayoutDeleted(int number) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const DiskState* d = DiskAtNumber(m, number);
  return d != nullptr && d->layoutDeleted;
}

bool SimDiskPresent(int number) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return PresentDisk(m, number) != nullptr;
}

std::vector<uint8_t> SimReadDisk(int number, uint64_t offset, size_t length) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  DiskState* d = DiskAtNumber(m, number);
  if (d == nullptr) Misuse("SimReadDisk on a disk the machine does not have");
  std::vector<uint8_t> bytes(length);
  uint32_t error = 0;
  if (!ReadDiskBytes(*d, offset, bytes.data(), length, &error)) {
    Misuse("SimReadDisk: the backing file cannot be read");
  }
  return bytes;
}

uint8_t SimPatternByte(int number, uint64_t offset) {
  uint8_t b = 0;
  FillPattern(number, offset, &b, 1);
  return b;
}

void SimFillPattern(int number, uint64_t offset, uint8_t* out, size_t length) {
  FillPattern(number, offset, out, length);
}

std::vector<SimRange> SimDiskWrites(int number) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const DiskState* d = DiskAtNumber(m, number);
  if (d == nullptr) return {};
  return d->writes;
}

uint64_t SimDiskDevice(int number) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const DiskState* d = PresentDisk(m, number);
  return d != nullptr ? d->id : 0;
}

std::vector<uint64_t> SimDevices() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::vector<uint64_t> ids;
  ids.reserve(m.devices.size());
  for (const auto& d : m.devices) ids.push_back(d.first);
  return ids;
}

bool SimDevicePresent(uint64_t device) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const DiskState* d = DeviceById(m, device);
  return d != nullptr && !d->unplugged;
}

namespace {

// Needs the lock.
DiskState& KnownDevice(Machine& m, uint64_t device, const char* what) {
  DiskState* d = DeviceById(m, device);
  if (d == nullptr) Misuse(what);
  return *d;
}

}  // namespace

int SimDeviceNumber(uint64_t device) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return KnownDevice(m, device, "SimDeviceNumber of an unknown device").config.number;
}

SimDisk SimDeviceConfig(uint64_t device) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return KnownDevice(m, device, "SimDeviceConfig of an unknown device").config;
}

std::vector<SimRange> SimDeviceWrites(uint64_t device) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return KnownDevice(m, device, "SimDeviceWrites of an unknown device").writes;
}

std::vector<uint8_t> SimReadDevice(uint64_t device, uint64_t offset, size_t length) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  DiskState& d = KnownDevice(m, device, "SimReadDevice of an unknown device");
  std::vector<uint8_t> bytes(length);
  uint32_t error = 0;
  if (!ReadDiskBytes(d, offset, bytes.data(), length, &error)) {
    Misuse("SimReadDevice: the backing file cannot be read");
  }
  return bytes;
}

bool SimDeviceHolds(uint64_t device, uint64_t offset, const uint8_t* bytes,
                    size_t length) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  DiskState& d = KnownDevice(m, device, "SimDeviceHolds of an unknown device");
  std::vector<uint8_t> read;  // pages not in memory: read, then compared
  while (length > 0) {
    const size_t within = static_cast<size_t>(offset % kPageSize);
    const size_t n = std::min(length, kPageSize - within);
    auto it = d.config.backingFile.empty() ? d.pages.find(offset / kPageSize)
                                           : d.pages.end();
    const uint8_t* held = nullptr;
    if (it != d.pages.end()) {
      held = it->second.get() + within;
    } else {
      read.resize(n);
      uint32_t error = 0;
      if (!ReadDiskBytes(d, offset, read.data(), n, &error)) {
        Misuse("SimDeviceHolds: the backing file cannot be read");
      }
      held = read.data();
    }
    if (std::memcmp(held, bytes, n) != 0) return false;
    offset += n;
    bytes += n;
    length -= n;
  }
  return true;
}

bool SimDeviceLayoutDeleted(uint64_t device) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return KnownDevice(m, device, "SimDeviceLayoutDeleted of an unknown device").layoutDeleted;
}

void SimAdvanceClock(double seconds) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const int64_t ticks = static_cast<int64_t>(seconds * kTicksPerSecond + 0.5);
  if (m.realClock) {
    m.clockOffset += ticks;
  } else {
    m.virtualTicks += ticks;
  }
}

void SimUseRealClock(bool real) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.realClock = real;
}

void SimAddFault(const SimFault& fault) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.faults.push_back(fault);
  m.faults.back().hits = 0;
  m.faultSeen.push_back(0);
}

void SimClearFaults() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.faults.clear();
  m.faultSeen.clear();
}

std::vector<SimFault> SimFaults() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.faults;
}

void SimSetCallHook(std::function<void(const SimCall&)> hook) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.hook.swap(hook);
}

std::vector<SimCall> SimCallLog() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.log;
}

void SimClearCallLog() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.log.clear();
}

void SimKeepCallLog(bool keep) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.keepLog = keep;
}

int SimOpenHandles() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<int>(m.handles.size());
}

int SimOpenFinds() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<int>(m.finds.size());
}

int SimLivePageAllocations() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<int>(m.pageBlocks.size());
}

int SimPageBlocksStoredIn() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.pageBlocksStoredIn;
}

int SimLiveHeapAllocations() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<int>(m.heapBlocks.size());
}

int SimRunningThreads() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.runningThreads;
}

void SimWaitForThreads() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  m.threadsDone.wait(lock, [&m] { return m.runningThreads == 0; });
}

bool SimLoadDescription(const std::string& text, const std::string& baseDir,
                        std::string* error) {
  return LoadDescriptionText(text, baseDir, "description", false, error);
}

bool SimLoadDescriptionFile(const std::string& hostPath, std::string* error) {
  return LoadDescriptionPath(hostPath, false, error);
}
