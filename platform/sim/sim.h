// Control of the simulated machine behind platform.h.
//
// Tests build a machine in code (SimReset, SimAdd...), tessavane-sim.exe reads
// one from a description file (SimLoadDescription*, format in
// docs/machine-description.md). The machine answers the seam calls as Windows
// would, with Windows' error codes:
//  - disks "\\.\PhysicalDriveN", N 0..63, with length, sector size, storage
//    descriptor, sparse contents in memory (unwritten bytes read as a
//    pattern, see SimPatternByte) or a backing file on the host;
//  - volumes with extents on disks, mounted / locked state; a write through a
//    disk handle into the extents of a mounted volume that is not locked fails
//    with 5; a disk transfer whose offset or length is not a multiple of the
//    sector size fails with 87; a write past the disk's end fails with 27;
//    a dismounted volume that is not locked mounts again when another process
//    touches it (remountAfterWrites); files on a volume's drive letter lose
//    their open handles (21) when it is dismounted;
//  - disks that are pulled out after some writes (55 on open handles, 2 on
//    opens);
//  - sharing between opens (32), holders that stand for other processes;
//  - plain files (in memory or backed by a host file);
//  - the executable's path and the "\\.\X:" drive volumes;
//  - a virtual performance counter (10 MHz) that only moves when told to;
//  - a fault table and a call log.
//
// The control functions below are for one thread (the test's or the start-up
// code's); the seam functions may run on any thread while they are used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The seam operations, as the fault table and the call log name them.
enum class SimOp {
  kOpen,
  kClose,
  kRead,
  kWrite,
  kSeek,
  kFlush,
  kGetFileSizeEx,
  kGetFileSize,
  kDeviceControl,
  kFindFirstVolume,
  kFindNextVolume,
  kFindVolumeClose,
  kModuleFileName,
  kAnsiToWide,
  kPerfCounter,
  kPerfFrequency,
  kPageAlloc,
  kPageFree,
  kHeapAlloc,
  kHeapFree,
  kStartThread,
};
const char* SimOpName(SimOp op);

// Who else holds a disk or file open, standing for another process.
enum class SimHolder { kNone, kShared, kExclusive };

struct SimDisk {
  int number = 0;
  uint64_t length = 0;
  uint32_t sectorSize = 512;
  // Storage descriptor: built from these fields unless rawDescriptor is set,
  // in which case IOCTL_STORAGE_QUERY_PROPERTY returns it byte for byte
  // (cut to the caller's buffer). hasDescriptor false makes the query fail
  // with kErrorInvalidFunction.
  bool hasDescriptor = true;
  std::string vendor;   // raw 8-bit text in the machine's code page
  std::string product;
  std::string serial;
  bool removable = false;
  bool useRawDescriptor = false;
  std::vector<uint8_t> rawDescriptor;
  // IOCTL_DISK_GET_LENGTH_INFO fails with this code when nonzero.
  uint32_t lengthQueryError = 0;
  // Host file holding the contents (created or extended to `length` on
  // first write); empty keeps the contents in memory.
  std::string backingFile;
  SimHolder holder = SimHolder::kNone;
  // Simulated transfer speed in bytes per second for reads and writes of
  // this disk; 0 is instant. Advances the virtual clock (or, with the real
  // clock, sleeps).
  uint64_t bytesPerSecond = 0;
  // Nonzero: the disk is pulled out right after it has taken this many
  // writes. From then on calls on handles open to it fail with 55, opens
  // with 2, and its volumes are gone with it.
  uint64_t unplugAfterWrites = 0;
};

struct SimExtent {
  // DISK_EXTENT.DiskNumber as the query returns it: any DWORD. A number that
  // is no disk of the machine (a RAM disk answers 0xFFFFFFFF) only shows in
  // the extents reply.
  uint32_t disk = 0;
  uint64_t offset = 0;
  uint64_t length = 0;
};

struct SimVolume {
  // As FindFirstVolumeW reports it, e.g. L"\\?\Volume{1111}\" (with or
  // without the trailing backslash). An empty name is listed as such.
  std::wstring name;
  // Drive letter that "\\.\X:" opens, or 0 for none.
  wchar_t letter = 0;
  std::vector<SimExtent> extents;
  bool mounted = true;
  // Listed by the volume enumeration (a partition the enumeration does not
  // list is false).
  bool listed = true;
  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS fails with this code when nonzero.
  uint32_t extentsError = 0;
  // Nonzero: another process (a shell, an antivirus) touches the volume
  // right after a disk it lives on has taken this many writes; it mounts
  // again then unless it is locked.
  uint64_t remountAfterWrites = 0;
};

// One entry of the fault table. A call matches when its op is `op`, its
// target contains `target` (empty: any target; paths are compared as given,
// case-insensitively) and, for kDeviceControl, its code is `ioctl` (0: any).
// The `nth` matching call fails (1 = the first); with `persistent` every
// matching call from the nth on fails. For kRead and kWrite a nonzero
// `shortBytes` makes the call succeed with at most that many bytes instead of
// failing.
struct SimFault {
  SimOp op = SimOp::kOpen;
  std::wstring target;
  uint32_t ioctl = 0;
  int nth = 1;
  bool persistent = false;
  uint32_t error = 0;
  uint32_t shortBytes = 0;
  int hits = 0;  // filled in by the machine: how many calls it failed
};

// One seam call as the machine saw it.
struct SimCall {
  SimOp op;
  std::wstring target;   // path, device or volume name; empty if none
  uint32_t code = 0;     // ioctl code; for kOpen the access mask
  uint32_t share = 0;    // for kOpen
  uint64_t offset = 0;   // for kRead/kWrite: position before; kSeek: target
  uint64_t length = 0;   // bytes asked for (read/write/alloc)
  uint64_t done = 0;     // bytes transferred / returned
  bool ok = true;
  uint32_t error = 0;    // last error when !ok
};

// Empties the machine: no disks, volumes or files, executable path
// L"X:\\tessavane.exe" with no drive volume, code page 936, virtual clock at
// 0, empty fault table and log, counters zero. Handles still open from an
// earlier machine become invalid (calls on them fail with 6).
void SimReset();

void SimAddDisk(const SimDisk& disk);
void SimAddVolume(const SimVolume& volume);
void SimSetExecutablePath(const std::wstring& path);
// Code page for kCpAcp conversions: 936 (GBK), 1252 or 65001 (UTF-8).
void SimSetCodePage(uint32_t codePage);

// Plain files, by their Windows path (compared case-insensitively).
void SimPutFile(const std::wstring& path, const std::vector<uint8_t>& bytes);
void SimPutHostFile(const std::wstring& path, const std::string& hostPath);
void SimDeleteFile(const std::wstring& path);
void SimSetFileHolder(const std::wstring& path, SimHolder holder);

// Host files (the `hostfiles` statement). true: a plain-file path the machine
// does not have opens the host file of that name, read-only, if it is a plain
// file (not a folder, device or pipe) and not a disk's backing file, under
// any name. Device paths ("\\.\...",
// "\\?\...") and drive or volume names never reach the host. Off after
// SimReset.
void SimAllowHostFiles(bool allow);

// Disk and volume state, for tests.
void SimSetDiskHolder(int number, SimHolder holder);
void SimSetVolumeMounted(const std::wstring& name, bool mounted);
bool SimVolumeMounted(const std::wstring& name);
bool SimVolumeLocked(const std::wstring& name);
bool SimLayoutDeleted(int number);
// false once the disk has been pulled out (unplugAfterWrites).
bool SimDiskPresent(int number);
// Bytes of a disk as they stand now (pattern where never written).
std::vector<uint8_t> SimReadDisk(int number, uint64_t offset, size_t length);
// The pattern byte an unwritten disk holds at an offset.
uint8_t SimPatternByte(int number, uint64_t offset);
// Every successful write through a disk handle: [offset, offset + length).
struct SimRange {
  uint64_t offset;
  uint64_t length;
};
std::vector<SimRange> SimDiskWrites(int number);

// Clock. The virtual counter runs at 10,000,000 ticks per second.
void SimAdvanceClock(double seconds);
// true: the counter follows the host's steady clock (used by the demo build);
// false (the default after SimReset): virtual.
void SimUseRealClock(bool real);

// Faults.
void SimAddFault(const SimFault& fault);
void SimClearFaults();
std::vector<SimFault> SimFaults();

// Called after every seam call, on the calling thread, with the log entry of
// that call; lets a test act in the middle of a job (remount a volume, press
// Cancel, advance the clock). Runs outside the machine's lock. Pass nullptr
// to remove.
void SimSetCallHook(std::function<void(const SimCall&)> hook);

// Log and leak counters.
std::vector<SimCall> SimCallLog();
void SimClearCallLog();
int SimOpenHandles();        // files, devices and volumes open now
int SimOpenFinds();          // volume enumerations not yet closed
int SimLivePageAllocations();
int SimLiveHeapAllocations();
// Threads started through OsStartThread that have not returned yet.
int SimRunningThreads();
// Waits until no thread started through OsStartThread is running.
void SimWaitForThreads();

// What the machine went through, for a person who tried the program by hand
// (tessavane-sim.exe writes it at exit to the file TESSAVANE_SIM_REPORT
// names). One line a disk, in number order:
//   disk N written BYTES end OFFSET layout kept|deleted[ backing HOSTPATH]
// BYTES written through disk handles, OFFSET where the furthest write ended.
// Then one line a host file the `hostfiles` statement let the program reach,
// in the order first reached:
//   hostfile HOSTPATH
std::string SimReport();

// Machine description (docs/machine-description.md). `baseDir` is the host
// folder that backing-file names are relative to. On error returns false and
// puts a message naming the line into *error; the machine is then empty.
bool SimLoadDescription(const std::string& text, const std::string& baseDir,
                        std::string* error);
bool SimLoadDescriptionFile(const std::string& hostPath, std::string* error);
