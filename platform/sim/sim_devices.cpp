// Files, physical disks and volumes of the simulated machine: the seam's
// open, read, write, size, control and volume enumeration calls.
#include <algorithm>
#include <cstring>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kFileReadData = 0x1u;
constexpr uint32_t kFileWriteData = 0x2u;
constexpr uint32_t kFileAppendData = 0x4u;
constexpr uint32_t kFlagBackupSemantics = 0x02000000u;
constexpr uint32_t kDeleteAccess = 0x00010000u;
constexpr uint32_t kErrorNoAccess = 998;        // bad buffer address
constexpr uint32_t kErrorNotReady = 21;         // dismounted volume, no media
constexpr uint32_t kErrorBadLength = 24;        // property query shorter than 12
constexpr uint32_t kErrorDevNotExist = 55;      // device pulled out
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorNotLocked = 158;
constexpr uint32_t kErrorFilenameTooLong = 206;  // FindFirst/NextVolumeW
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;

// MBR partition table with the disk signature before it and the boot
// signature after it; the boot code before them survives a layout deletion.
constexpr uint64_t kMbrTableStart = 440;
constexpr uint64_t kMbrEnd = 512;

bool CanRead(uint32_t access) {
  return (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
}
bool CanWrite(uint32_t access) {
  return (access &
          (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
}

// Two opens of one object coexist when each one's access is allowed by the
// other's share mode.
bool ShareConflict(uint32_t accessA, uint32_t shareA, uint32_t accessB,
                   uint32_t shareB) {
  const auto denied = [](uint32_t access, uint32_t share) {
    return (CanRead(access) && (share & kFileShareRead) == 0) ||
           (CanWrite(access) && (share & kFileShareWrite) == 0) ||
           ((access & kDeleteAccess) != 0 && (share & kFileShareDelete) == 0);
  };
  return denied(accessA, shareB) || denied(accessB, shareA);
}

bool HolderConflict(SimHolder holder, uint32_t access, uint32_t share) {
  switch (holder) {
    case SimHolder::kNone: return false;
    case SimHolder::kShared:
      return ShareConflict(kGenericRead | kGenericWrite,
                           kFileShareRead | kFileShareWrite, access, share);
    case SimHolder::kExclusive:
      return ShareConflict(kGenericRead | kGenericWrite, 0, access, share);
    case SimHolder::kEditor:
      return ShareConflict(kGenericRead | kGenericWrite | kDeleteAccess,
                           kFileShareRead | kFileShareWrite | kFileShareDelete,
                           access, share);
  }
  return false;
}

OsHandle ToHandle(uintptr_t id) { return reinterpret_cast<OsHandle>(id); }
uintptr_t FromHandle(OsHandle h) { return reinterpret_cast<uintptr_t>(h); }

HandleState* Lookup(Call& call, OsHandle h) {
  auto it = call.m.handles.find(FromHandle(h));
  if (it == call.m.handles.end()) return nullptr;
  call.entry.target = it->second.path;
  return &it->second;
}

DiskState* DiskOf(Machine& m, const HandleState& hs) {
  return DeviceById(m, hs.device);
}

bool IsLetter(wchar_t c) { return c >= L'a' && c <= L'z'; }

// "physicaldriveN" with N written the one way Windows names it.
bool ParseDriveNumber(std::wstring_view rest, int* number) {
  const std::wstring_view prefix = L"physicaldrive";
  if (rest.substr(0, prefix.size()) != prefix) return false;
  const std::wstring_view digits = rest.substr(prefix.size());
  if (digits.empty() || digits.size() > 6) return false;
  if (digits.size() > 1 && digits[0] == L'0') return false;
  int n = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + (c - L'0');
  }
  *number = n;
  return true;
}

VolumeState* VolumeWithLetter(Machine& m, wchar_t folded) {
  for (VolumeState& v : m.volumes) {
    const wchar_t letter = v.config.letter;
    if (letter == 0 || v.removed) continue;
    const wchar_t lower = (letter >= L'A' && letter <= L'Z')
                              ? static_cast<wchar_t>(letter - L'A' + L'a')
                              : letter;
    if (lower == folded) return &v;
  }
  return nullptr;
}

bool IsDevicePath(const std::wstring& path) {
  return path.compare(0, 4, L"\\\\.\\") == 0 ||
         path.compare(0, 4, L"\\\\?\\") == 0;
}

// What a path names. Returns 0, or the error an open of it fails with.
uint32_t Resolve(Machine& m, const std::wstring& path, HandleState* hs) {
  std::wstring& p = m.foldRoom;  // the caller holds the lock
  FoldPathInto(path, &p);
  if (p.empty()) return kErrorPathNotFound;
  const bool device =
      p.compare(0, 4, L"\\\\.\\") == 0 || p.compare(0, 4, L"\\\\?\\") == 0;
  const std::wstring_view rest = std::wstring_view(p).substr(device ? 4 : 0);
  const bool drivePrefix = rest.size() >= 2 && IsLetter(rest[0]) && rest[1] == L':';
  int number = 0;
  if (device && ParseDriveNumber(rest, &number)) {
    const DiskState* disk = PresentDisk(m, number);
    if (disk == nullptr) return kErrorFileNotFound;
    hs->kind = Kind::kDisk;
    hs->device = disk->id;
    return 0;
  }
  if (drivePrefix && (rest.size() == 2 || rest.size() == 3)) {
    VolumeState* v = VolumeWithLetter(m, rest[0]);
    if (rest.size() == 2 && !device) return kErrorFileNotFound;  // "C:" alone
    if (v == nullptr) {
      return rest.size() == 2 ? kErrorFileNotFound : kErrorPathNotFound;
    }
    hs->kind = rest.size() == 2 ? Kind::kVolume : Kind::kDirectory;
    hs->volume = static_cast<size_t>(v - m.volumes.data());
    return 0;
  }
  const std::wstring key = VolumeKey(path);
  for (size_t i = 0; i < m.volumes.size(); ++i) {
    const VolumeState& v = m.volumes[i];
    if (v.removed || v.key.empty() || v.key != key) continue;
    hs->kind = p.back() == L'\\' ? Kind::kDirectory : Kind::kVolume;
    hs->volume = i;
    return 0;
  }
  auto it = m.files.find(std::wstring(rest));
  if (it == m.files.end()) {
    return device ? kErrorFileNotFound : ResolveHostFile(m, path, hs);
  }
  hs->kind = Kind::kFile;
  hs->file = it->second;
  return 0;
}

// FAT refuses opens of a locked volume, and of files on it, with access
// denied while it is mounted and with "volume dismounted" once it is not.
uint32_t LockedVolumeError(const VolumeState& v) {
  return v.config.mounted ? kErrorAccessDenied : kErrorNotReady;
}

// Sharing and lock rules against everything else open on the same object.
uint32_t CheckOpen(Machine& m, const HandleState& hs) {
  if (hs.kind == Kind::kDirectory) return 0;
  if (hs.kind == Kind::kVolume && m.volumes[hs.volume].lockedBy != 0) {
    return LockedVolumeError(m.volumes[hs.volume]);
  }
  if (hs.kind == Kind::kDisk &&
      HolderConflict(DiskOf(m, hs)->config.holder, hs.access, hs.share)) {
    return kErrorSharingViolation;
  }
  if (hs.kind == Kind::kFile && !hs.file->holderStale &&
      HolderConflict(hs.file->holder, hs.access, hs.share)) {
    return kErrorSharingViolation;
  }
  for (const auto& other : m.handles) {
    const HandleState& o = other.second;
    if (o.kind != hs.kind) continue;
    const bool same = (hs.kind == Kind::kDisk && o.device == hs.device) ||
                      (hs.kind == Kind::kVolume && o.volume == hs.volume) ||
                      (hs.kind == Kind::kFile && o.file == hs.file);
    if (same && ShareConflict(o.access, o.share, hs.access, hs.share)) {
      return kErrorSharingViolation;
    }
  }
  return 0;
}

bool OpenFileContents(FileState& f) {
  if (f.hostPath.empty() || f.host != nullptr) return true;
  f.host = HostOpen(f.hostPath, false, false);
  return f.host != nullptr;
}

bool FileSize(FileState& f, uint64_t* size) {
  if (f.hostPath.empty()) {
    *size = FileByteCount(f);
    return true;
  }
  return OpenFileContents(f) && HostSize(f.host, size);
}

// A disk write through the extents of a mounted, unlocked volume is refused.
bool HitsMountedVolume(Machine& m, uint64_t device, uint64_t offset,
                       uint64_t length) {
  for (const VolumeState& v : m.volumes) {
    if (v.removed || !v.config.mounted || v.lockedBy != 0) continue;
    for (size_t i = 0; i < v.devices.size(); ++i) {
      const SimExtent& e = v.config.extents[i];
      if (v.devices[i] == device && offset < e.offset + e.length &&
          e.offset < offset + length) {
        return true;
      }
    }
  }
  return false;
}

std::vector<uint8_t> StorageDescriptor(const SimDisk& d) {
  if (d.useRawDescriptor) return d.rawDescriptor;
  std::vector<uint8_t> r(40, 0);
  const auto put32 = [&r](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  const auto text = [&](size_t offsetField, const std::string& s) {
    if (s.empty()) return;
    put32(offsetField, static_cast<uint32_t>(r.size()));
    r.insert(r.end(), s.begin(), s.end());
    r.push_back(0);
  };
  put32(0, 40);                    // Version: sizeof(STORAGE_DEVICE_DESCRIPTOR)
  r[8] = 0;                        // DeviceType: direct access
  r[10] = d.removable ? 1 : 0;     // RemovableMedia
  put32(28, d.removable ? 7 : 11);  // BusType: USB or SATA
  text(12, d.vendor);
  text(16, d.product);
  text(24, d.serial);
  put32(4, static_cast<uint32_t>(r.size()));
  return r;
}

void Reply(const std::vector<uint8_t>& bytes, void* out, uint32_t outLength,
           uint32_t* returned) {
  const uint32_t n =
      static_cast<uint32_t>(std::min<size_t>(bytes.size(), outLength));
  if (n > 0) std::memcpy(out, bytes.data(), n);
  *returned = n;
}

bool VolumeExtents(Call& call, const VolumeState& v, void* out,
                   uint32_t outLength, uint32_t* returned) {
  if (v.config.extentsError != 0) return call.Fail(v.config.extentsError);
  // Too small for the count and one extent: the volume manager rejects the
  // buffer outright (STATUS_INVALID_PARAMETER), unlike a merely short one.
  if (outLength < 32) return call.Fail(kErrorInvalidParameter);
  const size_t count = v.config.extents.size();
  // A reply that cannot hold every extent is cut to the structure itself:
  // the count and the first extent.
  const size_t fit = 8 + 24 * count <= outLength ? count : std::min<size_t>(count, 1);
  std::vector<uint8_t> r(8 + 24 * fit, 0);
  const auto put = [&r](size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      r[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
  };
  put(0, count, 4);
  for (size_t i = 0; i < fit; ++i) {
    const SimExtent& e = v.config.extents[i];
    put(8 + 24 * i, e.disk, 4);
    put(8 + 24 * i + 8, e.offset, 8);
    put(8 + 24 * i + 16, e.length, 8);
  }
  Reply(r, out, outLength, returned);
  if (fit < count) return call.Fail(kErrorMoreData);
  return true;
}

// MBR: the disk signature, the table and the boot signature go, the boot
// code stays. GPT: the primary header (LBA 1) and the backup header (last
// sector) go; the protective MBR and the entries stay.
bool DeleteLayout(Call& call, DiskState& disk) {
  const uint64_t length = disk.config.length;
  const uint64_t sector = disk.config.sectorSize;
  uint32_t error = 0;
  bool gpt = false;
  if (length >= 2 * sector) {
    uint8_t signature[8];
    if (!ReadDiskBytes(disk, sector, signature, sizeof signature, &error)) {
      return call.Fail(error);
    }
    gpt = std::memcmp(signature, "EFI PART", sizeof signature) == 0;
  }
  if (gpt) {
    if (!ZeroDiskBytes(disk, sector, sector, &error) ||
        !ZeroDiskBytes(disk, length - sector, sector, &error)) {
      return call.Fail(error);
    }
  } else if (length >= kMbrEnd &&
             !ZeroDiskBytes(disk, kMbrTableStart, kMbrEnd - kMbrTableStart, &error)) {
    return call.Fail(error);
  }
  disk.layoutDeleted = true;
  RemoveVolumesOf(call.m, disk.id, false);
  return true;
}

bool IsFatPartitionType(uint8_t type) {
  return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B ||
         type == 0x0C || type == 0x0E;
}

// The first letter from C that no present volume has; 0 when all are taken.
wchar_t FreeDriveLetter(const Machine& m) {
  for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
    bool taken = false;
    for (const VolumeState& v : m.volumes) {
      if (!v.removed && v.config.letter == letter) taken = true;
    }
    if (!taken) return letter;
  }
  return 0;
}

}  // namespace

// The partition manager reads sector 0 anew: each FAT partition of a valid
// MBR that no present volume of the disk covers becomes a volume, and the
// shell looks at a new volume at once, so it is mounted.
void RescanLayout(Machine& m, DiskState& disk) {
  uint8_t mbr[kMbrEnd];
  uint32_t error = 0;
  if (disk.config.length < kMbrEnd ||
      !ReadDiskBytes(disk, 0, mbr, sizeof mbr, &error) || mbr[510] != 0x55 ||
      mbr[511] != 0xAA) {
    return;
  }
  const uint64_t sector = disk.config.sectorSize;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* entry = mbr + 446 + 16 * i;
    uint32_t start, count;
    std::memcpy(&start, entry + 8, 4);
    std::memcpy(&count, entry + 12, 4);
    if (!IsFatPartitionType(entry[4]) || start == 0 || count == 0) continue;
    SimExtent extent{static_cast<uint32_t>(disk.config.number), start * sector,
                     count * sector};
    if (extent.offset + extent.length > disk.config.length) continue;
    bool covered = false;
    for (const VolumeState& v : m.volumes) {
      if (v.removed) continue;
      for (size_t e = 0; e < v.devices.size(); ++e) {
        covered = covered || (v.devices[e] == disk.id &&
                              v.config.extents[e].offset == extent.offset &&
                              v.config.extents[e].length == extent.length);
      }
    }
    if (covered) continue;
    SimVolume v;
    v.name = L"\\\\?\\Volume{partition-" + std::to_wstring(disk.id) + L"-" +
             std::to_wstring(extent.offset / sector) + L"}\\";
    v.letter = FreeDriveLetter(m);
    v.extents = {extent};
    AddVolumeState(m, v);
  }
}

namespace {

// After each write a disk has taken: other processes touch the volumes that
// wait for that count (a locked one stays dismounted), and a disk due to be
// pulled out goes.
void AfterDiskWrite(Machine& m, DiskState& disk) {
  ++disk.writesTaken;
  for (VolumeState& v : m.volumes) {
    if (v.config.remountAfterWrites != disk.writesTaken) continue;
    for (uint64_t d : v.devices) {
      if (d == disk.id) {
        TouchVolume(v);
        break;
      }
    }
  }
  if (disk.config.rescanAfterWrites == disk.writesTaken) RescanLayout(m, disk);
  if (disk.config.unplugAfterWrites == disk.writesTaken) PullOut(m, disk);
}

// Handles that outlived their object: 55 for a disk or volume pulled out,
// 21 for a file or folder whose volume was dismounted since it was opened.
uint32_t StaleHandleError(Machine& m, const HandleState& hs) {
  if (hs.kind == Kind::kDisk) {
    return DiskOf(m, hs)->unplugged ? kErrorDevNotExist : 0;
  }
  if (hs.kind == Kind::kVolume) {
    return m.volumes[hs.volume].unplugged ? kErrorDevNotExist : 0;
  }
  if (hs.fileVolume < 0) return 0;
  const VolumeState& v = m.volumes[static_cast<size_t>(hs.fileVolume)];
  if (v.unplugged) return kErrorDevNotExist;
  return v.dismounts != hs.dismountsAtOpen ? kErrorNotReady : 0;
}

// The volume a file path's drive letter names: the one present with that
// letter, else the last one gone with it; -1 for none.
long VolumeOfFilePath(Machine& m, const std::wstring& path) {
  if (IsDevicePath(path) || path.size() < 2 || path[1] != L':') return -1;
  const wchar_t c = path[0];
  const wchar_t upper = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  long gone = -1;
  for (size_t i = 0; i < m.volumes.size(); ++i) {
    if (m.volumes[i].config.letter != upper) continue;
    if (!m.volumes[i].removed) return static_cast<long>(i);
    gone = static_cast<long>(i);
  }
  return gone;
}

// Whether another process holds a file on the volume open: its holder, as
// long as no dismount has made that holder's handle stale.
bool HeldFileOn(Machine& m, size_t volume) {
  for (const auto& f : m.files) {
    const FileState& file = *f.second;
    if (file.holder != SimHolder::kNone && !file.holderStale &&
        VolumeOfFilePath(m, file.path) == static_cast<long>(volume)) {
      return true;
    }
  }
  return false;
}

// A dismount invalidates every handle to a file on the volume, other
// processes' too.
void StaleHoldersOn(Machine& m, size_t volume) {
  for (auto& f : m.files) {
    FileState& file = *f.second;
    if (file.holder != SimHolder::kNone &&
        VolumeOfFilePath(m, file.path) == static_cast<long>(volume)) {
      file.holderStale = true;
    }
  }
}

// Whether anything but `self` has the volume open: a volume handle, or a
// file or folder on it opened since its last dismount.
bool VolumeInUse(Machine& m, size_t volume, uintptr_t self) {
  const VolumeState& v = m.volumes[volume];
  for (const auto& other : m.handles) {
    const HandleState& o = other.second;
    if (other.first == self) continue;
    if (o.kind == Kind::kVolume && o.volume == volume) return true;
    if (o.fileVolume == static_cast<long>(volume) &&
        o.dismountsAtOpen == v.dismounts) {
      return true;
    }
  }
  return false;
}

// FAT's implicit lock: a volume open that shares neither writing nor
// deleting. One that asks for write access shares no reading either; without
// shared reading nothing else may have the volume open, with it only opens
// without write access may, and another process's held file never.
uint32_t ImplicitLockError(Machine& m, const HandleState& hs) {
  const VolumeState& v = m.volumes[hs.volume];
  const bool shareRead = (hs.share & kFileShareRead) != 0 && !CanWrite(hs.access);
  if (HeldFileOn(m, hs.volume)) return kErrorSharingViolation;
  for (const auto& other : m.handles) {
    const HandleState& o = other.second;
    const bool onVolume = (o.kind == Kind::kVolume && o.volume == hs.volume) ||
                          (o.fileVolume == static_cast<long>(hs.volume) &&
                           o.dismountsAtOpen == v.dismounts);
    if (onVolume && (!shareRead || CanWrite(o.access))) return kErrorSharingViolation;
  }
  return 0;
}

// The volume names FindFirstVolumeW walks through, fixed at its start.
std::vector<std::wstring> ListedVolumes(Machine& m) {
  std::vector<std::wstring> names;
  for (const VolumeState& v : m.volumes) {
    if (v.config.listed && !v.removed) names.push_back(v.config.name);
  }
  return names;
}

bool CopyName(Call& call, const std::wstring& name, wchar_t* buffer,
              uint32_t capacity) {
  if (buffer == nullptr || name.size() + 1 > capacity) {
    return call.Fail(kErrorFilenameTooLong);
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = L'\0';
  return true;
}

}  // namespace
}  // namespace sim

using namespace sim;

bool OsOpen(const wchar_t* path, uint32_t access, uint32_t share,
            uint32_t disposition, uint32_t flags, OsHandle* out) {
  if (out != nullptr) *out = nullptr;
  Call call(SimOp::kOpen);
  call.entry.target = path != nullptr ? path : L"";
  call.entry.code = access;
  call.entry.share = share;
  if (call.Faulted()) return false;
  if (out == nullptr || disposition < 1 || disposition > 5) {
    return call.Fail(kErrorInvalidParameter);
  }
  const std::wstring& name = call.entry.target;
  HandleState hs;
  hs.access = access;
  hs.share = share;
  const bool creates = disposition == kCreateNew ||
                       disposition == kCreateAlways || disposition == kOpenAlways;
  const bool truncates =
      disposition == kCreateAlways || disposition == kTruncateExisting;
  // A file on a drive letter lives on that volume: gone with it, refused
  // while another handle holds its lock, and a touch mounts it again.
  const long onVolume = VolumeOfFilePath(call.m, name);
  if (onVolume >= 0) {
    const VolumeState& v = call.m.volumes[static_cast<size_t>(onVolume)];
    if (v.removed) return call.Fail(kErrorPathNotFound);
    if (v.lockedBy != 0) return call.Fail(LockedVolumeError(v));
  }
  uint32_t error = Resolve(call.m, name, &hs);
  bool created = false;
  if (error == kErrorFileNotFound && creates && !IsDevicePath(name)) {
    std::shared_ptr<FileState> f = std::make_shared<FileState>();
    f->path = name;
    call.m.files[FoldPath(name)] = f;
    hs.kind = Kind::kFile;
    hs.file = std::move(f);
    created = true;
    error = 0;
  }
  if (error != 0) return call.Fail(error);
  if (hs.kind == Kind::kDirectory && (flags & kFlagBackupSemantics) == 0) {
    return call.Fail(kErrorAccessDenied);
  }
  if (hs.kind == Kind::kFile && !created) {
    if (disposition == kCreateNew) return call.Fail(kErrorFileExists);
    if (!OpenFileContents(*hs.file)) return call.Fail(kErrorFileNotFound);
    // Host files stand for media the machine cannot change.
    if (!hs.file->hostPath.empty() && (truncates || CanWrite(access))) {
      return call.Fail(kErrorAccessDenied);
    }
  }
  if (hs.kind == Kind::kDisk && DiskOf(call.m, hs)->config.noMedia &&
      (CanRead(access) || CanWrite(access))) {
    return call.Fail(kErrorNotReady);  // the mount an open for data needs fails
  }
  if (const uint32_t error = CheckOpen(call.m, hs)) return call.Fail(error);
  // FAT takes an implicit lock for a volume open that shares neither
  // writing nor deleting, or refuses it while the volume is in use.
  // An open without access reaches no file system, so it takes no lock.
  const bool implicitLock = hs.kind == Kind::kVolume &&
                            (CanRead(access) || CanWrite(access)) &&
                            (share & (kFileShareWrite | kFileShareDelete)) == 0;
  if (implicitLock) {
    if (const uint32_t error = ImplicitLockError(call.m, hs)) return call.Fail(error);
  }
  if (hs.kind == Kind::kFile && truncates) {
    OwnFileBytes(*hs.file);
    hs.file->bytes.clear();
  }
  if (onVolume >= 0) {
    VolumeState& v = call.m.volumes[static_cast<size_t>(onVolume)];
    v.config.mounted = true;
    hs.fileVolume = onVolume;
    hs.dismountsAtOpen = v.dismounts;
  }
  // An open for data access mounts a dismounted volume again.
  if (hs.kind == Kind::kVolume && (CanRead(access) || CanWrite(access))) {
    TouchVolume(call.m.volumes[hs.volume]);
  }
  const uintptr_t id = call.m.nextId;
  call.m.nextId += 4;
  hs.path = name;
  if (implicitLock) call.m.volumes[hs.volume].lockedBy = id;
  call.m.handles.emplace(id, std::move(hs));
  *out = ToHandle(id);
  return true;
}

void OsClose(OsHandle h) {
  if (h == nullptr) return;
  Call call(SimOp::kClose);
  HandleState* hs = Lookup(call, h);
  // A failing close still lets go of the handle, as CloseHandle does.
  call.Faulted();
  if (hs == nullptr) {
    call.Fail(kErrorInvalidHandle);
    return;
  }
  if (hs->kind == Kind::kVolume &&
      call.m.volumes[hs->volume].lockedBy == FromHandle(h)) {
    call.m.volumes[hs->volume].lockedBy = 0;
  }
  call.m.handles.erase(FromHandle(h));
}

bool OsRead(OsHandle h, void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  Call call(SimOp::kRead);
  call.entry.length = length;
  HandleState* hs = Lookup(call, h);
  if (hs != nullptr) call.entry.offset = hs->position;
  uint32_t shortBytes = 0;
  if (call.Faulted(&shortBytes)) return false;
  if (hs == nullptr) return call.Fail(kErrorInvalidHandle);
  if (const uint32_t gone = StaleHandleError(call.m, *hs)) return call.Fail(gone);
  if (buffer == nullptr && length > 0) return call.Fail(kErrorNoAccess);
  if (!CanRead(hs->access)) return call.Fail(kErrorAccessDenied);
  uint64_t n = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (hs->kind == Kind::kDisk) {
    DiskState& disk = *DiskOf(call.m, *hs);
    const uint32_t sector = disk.config.sectorSize;
    if (hs->position % sector != 0 || length % sector != 0) {
      return call.Fail(kErrorInvalidParameter);
    }
    // The disk driver sends a transfer past the end to the device, which
    // refuses the block address and returns no data.
    const uint64_t end = disk.config.length;
    if (length > 0 && (hs->position >= end || length > end - hs->position)) {
      return call.Fail(kErrorSectorNotFound);
    }
    n = length;
    if (shortBytes != 0) n = std::min<uint64_t>(n, shortBytes);
    uint32_t error = 0;
    NoteCallerBytes(call.m, bytes, static_cast<size_t>(n));  // a failing read may fill some
    if (!ReadDiskBytes(disk, hs->position, bytes, static_cast<size_t>(n),
                       &error)) {
      return call.Fail(error);
    }
    call.Transfer(disk, n);
  } else if (hs->kind == Kind::kFile) {
    FileState& f = *hs->file;
    uint64_t size = 0;
    if (!FileSize(f, &size)) return call.Fail(1117);
    if (hs->position < size) n = std::min<uint64_t>(length, size - hs->position);
    if (shortBytes != 0) n = std::min<uint64_t>(n, shortBytes);
    NoteCallerBytes(call.m, bytes, static_cast<size_t>(n));
    if (f.hostPath.empty()) {
      if (n > 0) std::memcpy(bytes, FileBytes(f) + hs->position, n);
    } else {
      size_t got = 0;
      if (!HostReadAt(f.host, hs->position, bytes, static_cast<size_t>(n), &got)) {
        return call.Fail(1117);
      }
      n = got;
    }
  } else {
    // Reads through a volume or directory handle are not modelled.
    return call.Fail(kErrorInvalidFunction);
  }
  hs->position += n;
  call.entry.done = n;
  if (done != nullptr) *done = static_cast<uint32_t>(n);
  return true;
}

bool OsWrite(OsHandle h, const void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  Call call(SimOp::kWrite);
  call.entry.length = length;
  HandleState* hs = Lookup(call, h);
  if (hs != nullptr) call.entry.offset = hs->position;
  uint32_t shortBytes = 0;
  if (call.Faulted(&shortBytes)) return false;
  if (hs == nullptr) return call.Fail(kErrorInvalidHandle);
  if (const uint32_t gone = StaleHandleError(call.m, *hs)) return call.Fail(gone);
  if (buffer == nullptr && length > 0) return call.Fail(kErrorNoAccess);
  if (!CanWrite(hs->access)) return call.Fail(kErrorAccessDenied);
  if (hs->kind == Kind::kFile) {
    FileState& f = *hs->file;
    if (!f.hostPath.empty()) return call.Fail(kErrorAccessDenied);
    const uint32_t n = shortBytes != 0 ? std::min(length, shortBytes) : length;
    if (n > 0) {
      OwnFileBytes(f);
      if (f.bytes.size() < hs->position + n) f.bytes.resize(hs->position + n);
      std::memcpy(f.bytes.data() + hs->position, buffer, n);
    }
    hs->position += n;
    call.entry.done = n;
    if (done != nullptr) *done = n;
    return true;
  }
  if (hs->kind != Kind::kDisk) return call.Fail(kErrorInvalidFunction);
  DiskState& disk = *DiskOf(call.m, *hs);
  const uint32_t sector = disk.config.sectorSize;
  const uint64_t pos = hs->position;
  if (pos % sector != 0 || length % sector != 0) {
    return call.Fail(kErrorInvalidParameter);
  }
  if (length > disk.config.length || pos > disk.config.length - length) {
    return call.Fail(kErrorSectorNotFound);
  }
  if (length > 0 && HitsMountedVolume(call.m, disk.id, pos, length)) {
    return call.Fail(kErrorAccessDenied);
  }
  const uint32_t n = shortBytes != 0 ? std::min(length, shortBytes) : length;
  uint32_t error = 0;
  if (!WriteDiskBytes(disk, pos, static_cast<const uint8_t*>(buffer), n, &error)) {
    return call.Fail(error);
  }
  if (n > 0 && disk.writes.size() < kMaxRecordedWrites) {
    disk.writes.push_back(SimRange{pos, n});
  }
  call.Transfer(disk, n);
  hs->position += n;
  if (n > 0) AfterDiskWrite(call.m, disk);
  call.entry.done = n;
  if (done != nullptr) *done = n;
  return true;
}

bool OsSeek(OsHandle h, int64_t offset) {
  Call call(SimOp::kSeek);
  call.entry.offset = static_cast<uint64_t>(offset);
  HandleState* hs = Lookup(call, h);
  if (call.Faulted()) return false;
  if (hs == nullptr) return call.Fail(kErrorInvalidHandle);
  // The I/O manager moves a file's position itself; only a device that is
  // gone refuses.
  if (hs->kind == Kind::kDisk || hs->kind == Kind::kVolume) {
    if (const uint32_t gone = StaleHandleError(call.m, *hs)) return call.Fail(gone);
  }
  if (offset < 0) return call.Fail(kErrorNegativeSeek);
  hs->position = static_cast<uint64_t>(offset);
  return true;
}

bool OsFlush(OsHandle h) {
  Call call(SimOp::kFlush);
  HandleState* hs = Lookup(call, h);
  if (call.Faulted()) return false;
  if (hs == nullptr) return call.Fail(kErrorInvalidHandle);
  if (const uint32_t gone = StaleHandleError(call.m, *hs)) return call.Fail(gone);
  if (!CanWrite(hs->access)) return call.Fail(kErrorAccessDenied);
  if (hs->kind == Kind::kDisk) {
    DiskState& disk = *DiskOf(call.m, *hs);
    if (disk.host != nullptr && disk.hostWritable && !HostSync(disk.host)) {
      return call.Fail(1117);
    }
  }
  return true;
}

namespace {

// GetFileSizeEx and GetFileSize share their answers.
bool QuerySize(Call& call, OsHandle h, uint64_t* size) {
  HandleState* hs = Lookup(call, h);
  if (call.Faulted()) return false;
  if (hs == nullptr) return call.Fail(kErrorInvalidHandle);
  if (const uint32_t gone = StaleHandleError(call.m, *hs)) return call.Fail(gone);
  *size = 0;
  if (hs->kind == Kind::kDirectory) return true;
  // FAT answers no file information for a volume open.
  if (hs->kind == Kind::kVolume) return call.Fail(kErrorInvalidParameter);
  if (hs->kind != Kind::kFile) return call.Fail(kErrorInvalidFunction);
  if (!FileSize(*hs->file, size)) return call.Fail(1117);
  return true;
}

}  // namespace

bool OsGetFileSizeEx(OsHandle h, int64_t* size) {
  Call call(SimOp::kGetFileSizeEx);
  uint64_t value = 0;
  if (!QuerySize(call, h, &value)) return false;
  call.entry.done = value;
  if (size != nullptr) *size = static_cast<int64_t>(value);
  return true;
}

uint32_t OsGetFileSize(OsHandle h, uint32_t* high) {
  Call call(SimOp::kGetFileSize);
  uint64_t value = 0;
  if (!QuerySize(call, h, &value)) return 0xFFFFFFFFu;
  call.entry.done = value;
  if (high != nullptr) *high = static_cast<uint32_t>(value >> 32);
  const uint32_t low = static_cast<uint32_t>(value);
  // A size whose low part looks like the failure value says so with error 0.
  if (low == 0xFFFFFFFFu) SetLastErrorCode(0);
  return low;
}

bool OsDeviceControl(OsHandle h, uint32_t code, const void* in,
                     uint32_t inLength, void* out, uint32_t outLength,
                     uint32_t* returned) {
  uint32_t ignored = 0;
  if (returned == nullptr) returned = &ignored;
  *returned = 0;
  Call call(SimOp::kDeviceControl);
  call.entry.code = code;
  call.entry.length = outLength;
  HandleState* hs = Lookup(call, h);
  if (call.Faulted()) return false;
  if (hs == nullptr) return call.Fail(kErrorInvalidHandle);
  if (const uint32_t gone = StaleHandleError(call.m, *hs)) return call.Fail(gone);

  const bool isDiskCode = code == kIoctlDiskGetLengthInfo ||
                          code == kIoctlStorageQueryProperty ||
                          code == kIoctlDiskDeleteDriveLayout;
  const bool isVolumeCode = code == kIoctlVolumeGetVolumeDiskExtents ||
                            code == kFsctlLockVolume ||
                            code == kFsctlDismountVolume ||
                            code == kFsctlUnlockVolume;
  const bool onDisk = hs->kind == Kind::kDisk;
  const bool onVolume = hs->kind == Kind::kVolume;
  const bool supported =
      (onDisk && isDiskCode) || (onVolume && isVolumeCode) ||
      (onVolume && code == kIoctlDiskGetLengthInfo);
  if (!supported) return call.Fail(kErrorInvalidFunction);
  // The access bits of the control code say what the handle must allow.
  const uint32_t required = (code >> 14) & 3;
  if (((required & 1) != 0 && !CanRead(hs->access)) ||
      ((required & 2) != 0 && !CanWrite(hs->access))) {
    return call.Fail(kErrorAccessDenied);
  }
  // Every code here is METHOD_BUFFERED: the I/O manager copies a stated
  // input from the caller and writes a stated output back, so a length
  // without its buffer faults there, whatever the driver would make of it.
  if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0)) {
    return call.Fail(kErrorNoAccess);
  }

  bool ok = true;
  if (onDisk) {
    DiskState& disk = *DiskOf(call.m, *hs);
    if (code == kIoctlDiskGetLengthInfo) {
      if (disk.config.lengthQueryError != 0) {
        return call.Fail(disk.config.lengthQueryError);
      }
      if (outLength < 8) return call.Fail(kErrorInsufficientBuffer);
      // The capacity read that answers it finds no medium.
      if (disk.config.noMedia) return call.Fail(kErrorNotReady);
      std::vector<uint8_t> r(8);
      for (int i = 0; i < 8; ++i) {
        r[i] = static_cast<uint8_t>(disk.config.length >> (8 * i));
      }
      Reply(r, out, outLength, returned);
    } else if (code == kIoctlStorageQueryProperty) {
      const auto* q = static_cast<const uint8_t*>(in);
      if (q == nullptr || inLength < 12) return call.Fail(kErrorBadLength);
      uint32_t propertyId, queryType;
      std::memcpy(&propertyId, q, 4);
      std::memcpy(&queryType, q + 4, 4);
      if (propertyId != 0 || queryType != 0) {
        return call.Fail(kErrorInvalidParameter);
      }
      if (!disk.config.hasDescriptor) return call.Fail(kErrorInvalidFunction);
      Reply(StorageDescriptor(disk.config), out, outLength, returned);
    } else {
      ok = DeleteLayout(call, disk);
    }
  } else {
    VolumeState& v = call.m.volumes[hs->volume];
    const uintptr_t self = FromHandle(h);
    if (code == kIoctlDiskGetLengthInfo) {
      if (outLength < 8) return call.Fail(kErrorInsufficientBuffer);
      uint64_t total = 0;
      for (const SimExtent& e : v.config.extents) total += e.length;
      std::vector<uint8_t> r(8);
      for (int i = 0; i < 8; ++i) r[i] = static_cast<uint8_t>(total >> (8 * i));
      Reply(r, out, outLength, returned);
    } else if (code == kIoctlVolumeGetVolumeDiskExtents) {
      ok = VolumeExtents(call, v, out, outLength, returned);
    } else if (code == kFsctlLockVolume) {
      // Refused while anything else has the volume or a file on it open,
      // another process included, or it is locked.
      if (v.lockedBy != 0 || VolumeInUse(call.m, hs->volume, self) ||
          HeldFileOn(call.m, hs->volume)) {
        return call.Fail(kErrorAccessDenied);
      }
      v.lockedBy = self;
    } else if (code == kFsctlDismountVolume) {
      if (!v.config.mounted) return call.Fail(kErrorNotReady);
      v.config.mounted = false;
      ++v.dismounts;
      StaleHoldersOn(call.m, hs->volume);
    } else {
      if (v.lockedBy != self) return call.Fail(kErrorNotLocked);
      v.lockedBy = 0;
    }
  }
  call.entry.done = *returned;
  return ok;
}

bool OsFindFirstVolume(wchar_t* name, uint32_t capacity, OsFindHandle* out) {
  if (out != nullptr) *out = nullptr;
  Call call(SimOp::kFindFirstVolume);
  call.entry.length = capacity;
  std::vector<std::wstring> names = ListedVolumes(call.m);
  if (!names.empty()) call.entry.target = names[0];
  if (call.Faulted()) return false;
  if (out == nullptr) return call.Fail(kErrorInvalidParameter);
  if (names.empty()) return call.Fail(kErrorNoMoreFiles);
  if (!CopyName(call, names[0], name, capacity)) return false;
  const uintptr_t id = call.m.nextId;
  call.m.nextId += 4;
  FindState& f = call.m.finds[id];
  f.names = std::move(names);
  f.next = 1;
  *out = reinterpret_cast<OsFindHandle>(id);
  return true;
}

bool OsFindNextVolume(OsFindHandle f, wchar_t* name, uint32_t capacity) {
  Call call(SimOp::kFindNextVolume);
  call.entry.length = capacity;
  auto it = call.m.finds.find(reinterpret_cast<uintptr_t>(f));
  FindState* state = it == call.m.finds.end() ? nullptr : &it->second;
  if (state != nullptr && state->next < state->names.size()) {
    call.entry.target = state->names[state->next];
  }
  if (call.Faulted()) return false;
  if (state == nullptr) return call.Fail(kErrorInvalidHandle);
  if (state->next >= state->names.size()) return call.Fail(kErrorNoMoreFiles);
  if (!CopyName(call, state->names[state->next], name, capacity)) return false;
  ++state->next;
  return true;
}

void OsFindVolumeClose(OsFindHandle f) {
  if (f == nullptr) return;
  Call call(SimOp::kFindVolumeClose);
  call.Faulted();
  if (call.m.finds.erase(reinterpret_cast<uintptr_t>(f)) == 0) {
    call.Fail(kErrorInvalidHandle);
  }
}
