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
//    sector size fails with 87; a read or write past the disk's end fails
//    with 27; a dismounted volume that is not locked mounts again when another process
//    touches it (remountAfterWrites); files on a volume's drive letter lose
//    their open handles (21) when it is dismounted;
//  - volume opens that share no writing take FAT's implicit lock; a locked
//    volume refuses opens with 5, or with 21 once it is dismounted;
//  - drives without their medium (21), and partition tables read anew after
//    a write (new volumes for the MBR's FAT partitions);
//  - disks that are pulled out after some writes or when told (55 on open
//    handles, 2 on opens), and disks that arrive and take the lowest free
//    number; each disk is a device of its own, so a handle never reaches a
//    later disk at its old number;
//  - an events file (`events` statement) that disks come and go by while
//    the program runs;
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
// kEditor: read, write and delete access (an editor that saves by replacing
// the file), sharing all three.
enum class SimHolder { kNone, kShared, kExclusive, kEditor };

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
  // No medium in the drive (a card reader without its card): opens that ask
  // for read or write access fail with 21, as does the length query.
  bool noMedia = false;
  // Nonzero: right after the disk has taken this many writes, another
  // process has the partition table read anew. Every FAT partition of the
  // MBR then on sector 0 that no present volume covers becomes a new,
  // mounted volume with the first free drive letter from C.
  uint64_t rescanAfterWrites = 0;
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

// Sets up a disk at disk.number; one there already is replaced by a new
// device (handles to the old one fail with 55 from then on), which keeps the
// volumes that were the old one's. Volumes added earlier that name the
// number and lie on no disk become this disk's too, so a machine may be set
// up in any order.
void SimAddDisk(const SimDisk& disk);
// A volume's extents lie on the disks present at their numbers when it is
// added (a disk that takes the number later is another disk). One of the
// same name that is present is replaced; one gone with its disk stays as it
// is, and its handles keep failing.
void SimAddVolume(const SimVolume& volume);
void SimSetExecutablePath(const std::wstring& path);
// Code page for kCpAcp conversions: 936 (GBK), 1252 or 65001 (UTF-8).
void SimSetCodePage(uint32_t codePage);

// Plain files, by their Windows path (compared case-insensitively).
void SimPutFile(const std::wstring& path, const std::vector<uint8_t>& bytes);
// The same without a copy: the machine reads the file's `size` bytes at
// `bytes`, which must stay there unchanged until SimReset or its first write
// to the file (or a truncating open), which makes the copy. For large files
// set up many times.
void SimShareFile(const std::wstring& path, const uint8_t* bytes, size_t size);
void SimPutHostFile(const std::wstring& path, const std::string& hostPath);
void SimDeleteFile(const std::wstring& path);
// Another process holds the file open: opens clash with it (32), and a lock
// of the volume on its drive letter is refused (5), until that volume is
// dismounted, which leaves the holder's handle stale.
void SimSetFileHolder(const std::wstring& path, SimHolder holder);

// Host files (the `hostfiles` statement). true: a plain-file path the machine
// does not have opens the host file of that name, read-only, if it is a plain
// file (not a folder, device or pipe) and not a disk's backing file, under
// any name. Device paths ("\\.\...",
// "\\?\...") and drive or volume names never reach the host. Off after
// SimReset.
void SimAllowHostFiles(bool allow);

// Disks that come and go while the machine runs, as a person or the events
// file makes them (docs/machine-description.md):
// The disk present at `number` is pulled out now, as unplugAfterWrites does
// when it fires: calls on handles open to it, to its volumes and to files on
// them fail with 55, opens of its path with 2, and its volumes are gone.
// Misuse if no disk is present there.
void SimUnplugDisk(int number);
// A disk arrives and takes the lowest free number from 0 to 63
// (disk.number is ignored). Returns the number, or -1 when all 64 are taken
// (nothing added). No volume added before it lies on it.
int SimPlugDisk(const SimDisk& disk);
// Another process touches the volume: it mounts again unless it is locked
// (what remountAfterWrites does when it fires). Misuse if unknown.
void SimTouchVolume(const std::wstring& name);
// Another process has the partition table of the disk present at `number`
// read anew, as rescanAfterWrites does when it fires. Misuse if no disk is
// present there.
void SimRescanDisk(int number);
// Applies one line of an events file (`unplug N`, `plug ATTRIBUTES`,
// `volume ...`; blank and # lines do nothing) exactly as the machine applies
// the events file's lines. false with *error naming what was refused; then
// nothing changed.
bool SimApplyEvent(const std::string& line, std::string* error);

// Every successful write through a disk handle: [offset, offset + length).
struct SimRange {
  uint64_t offset;
  uint64_t length;
};

// Disk devices. Ids start at 1 and are never reused within the process, not
// even across SimReset.
// The device present at `number` now, 0 if none.
uint64_t SimDiskDevice(int number);
// Every device of the machine since SimReset, in arrival order, present and
// gone.
std::vector<uint64_t> SimDevices();
bool SimDevicePresent(uint64_t device);
// The number the device had or has; its set-up (number included); its
// writes, contents and layout. These abort on an unknown device.
int SimDeviceNumber(uint64_t device);
SimDisk SimDeviceConfig(uint64_t device);
std::vector<SimRange> SimDeviceWrites(uint64_t device);
std::vector<uint8_t> SimReadDevice(uint64_t device, uint64_t offset, size_t length);
// Whether the device holds `length` bytes equal to `bytes` from `offset`:
// SimReadDevice compared, without the copy.
bool SimDeviceHolds(uint64_t device, uint64_t offset, const uint8_t* bytes,
                    size_t length);
// Whether the device's partition layout was deleted.
bool SimDeviceLayoutDeleted(uint64_t device);

// Disk and volume state, for tests. Functions that take a disk number act on
// the device present there, or when none is, on the last one that had it.
void SimSetDiskHolder(int number, SimHolder holder);
void SimSetVolumeMounted(const std::wstring& name, bool mounted);
bool SimVolumeMounted(const std::wstring& name);
bool SimVolumeLocked(const std::wstring& name);
bool SimLayoutDeleted(int number);
// Whether a disk is present at the number now.
bool SimDiskPresent(int number);
// Bytes of a disk as they stand now (pattern where never written).
std::vector<uint8_t> SimReadDisk(int number, uint64_t offset, size_t length);
// The pattern byte an unwritten disk holds at an offset (never 0), and
// `length` of them from `offset`.
uint8_t SimPatternByte(int number, uint64_t offset);
void SimFillPattern(int number, uint64_t offset, uint8_t* out, size_t length);
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
// The first million calls since SimReset or SimClearCallLog.
std::vector<SimCall> SimCallLog();
void SimClearCallLog();
// false: calls are no longer logged (the hook still sees each); for a test
// that never reads the log. On again after SimReset.
void SimKeepCallLog(bool keep);
int SimOpenHandles();        // files, devices and volumes open now
int SimOpenFinds();          // volume enumerations not yet closed
int SimLivePageAllocations();
// Page blocks released with bytes the program stored past what the
// machine's reads filled: zeroed whole on reuse, except in the fuzzer's
// build, which does not look and zeroes only what reads filled.
int SimPageBlocksStoredIn();
int SimLiveHeapAllocations();
// Threads started through OsStartThread that have not returned yet.
int SimRunningThreads();
// Waits until no thread started through OsStartThread is running.
void SimWaitForThreads();
// true: OsStartThread runs the thread's function to its end before it
// returns, on the caller's thread, so that a whole program runs in one
// reproducible order (the explorer). Off after SimReset.
void SimRunThreadsInline(bool inlineThreads);

// What the machine went through, for a person who tried the program by hand
// (tessavane-sim.exe writes it at exit to the file TESSAVANE_SIM_REPORT
// names). One line a disk device, in arrival order:
//   disk N written BYTES end OFFSET layout kept|deleted
//     origin described|plugged state present|gone[ backing HOSTPATH]
// (one line), N the number it had, BYTES written through disk handles,
// OFFSET where the furthest write ended; `plugged`: it arrived while the
// program ran; `gone`: pulled out (or replaced by SimAddDisk).
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
