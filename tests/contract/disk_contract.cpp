#include "tests/contract/disk_contract.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "platform/platform.h"
#include "tests/contract/fat_image.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kBlock = 4096;
constexpr uint32_t kChunk = 4u << 20;  // the write job's transfer size
constexpr uint32_t kRW = kGenericRead | kGenericWrite;
constexpr uint32_t kShareRW = kFileShareRead | kFileShareWrite;
constexpr uint64_t kMaxContractDisk = 1ull << 30;
constexpr uint32_t kExtentReply = 1024;
// How long the checks wait for the system to add or remove a volume.
constexpr int kPolls = 20;
constexpr uint32_t kPollMilliseconds = 250;

struct Context {
  const DiskContractTarget* target;
  const DiskContractHost* host;
  std::wstring disk;    // \\.\PhysicalDriveN
  std::wstring volume;  // \\.\X:
  uint64_t diskLength = 0;    // learnt by length-query
  uint64_t extentOffset = 0;  // the volume's extent, learnt by extents
  uint64_t extentLength = 0;
  // Kept from lock-open-files to second-dismount.
  OsHandle file = nullptr;
  OsHandle vol = nullptr;
};

// What one check found: the machine's answer and the system's, compared as
// text; a note is printed but not compared (how long the system took).
struct Answer {
  std::string machine;
  std::string system;
  std::string skip;
  std::string note;
};

uint64_t ReadLe64(const unsigned char* p) {
  return uint64_t{ReadLe32(p)} | uint64_t{ReadLe32(p + 4)} << 32;
}

std::string Num(uint64_t n) { return std::to_string(n); }
std::string Err(uint32_t error) { return "error " + Num(error); }

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  return s;
}

std::wstring DrivePath(int disk) { return L"\\\\.\\PhysicalDrive" + std::to_wstring(disk); }

OsHandle Open(const std::wstring& path, uint32_t access, uint32_t share,
              uint32_t* error = nullptr) {
  OsHandle h = nullptr;
  if (!OsOpen(path.c_str(), access, share, kOpenExisting, 0, &h)) {
    if (error != nullptr) *error = OsLastError();
    return nullptr;
  }
  return h;
}

// "ok" or the open's error; the handle is closed again.
std::string OpenAnswer(const std::wstring& path, uint32_t access, uint32_t share) {
  uint32_t error = 0;
  OsHandle h = Open(path, access, share, &error);
  if (h == nullptr) return Err(error);
  OsClose(h);
  return "ok";
}

std::string Transfer(bool ok, uint32_t done) {
  return (ok ? std::string("ok") : Err(OsLastError())) + ", " + Num(done) + " bytes";
}

std::string ReadAt(OsHandle h, uint64_t offset, uint32_t length, unsigned char* buffer) {
  if (!OsSeek(h, static_cast<int64_t>(offset))) return "seek: " + Err(OsLastError());
  uint32_t done = 0;
  const bool ok = OsRead(h, buffer, length, &done);
  return Transfer(ok, done);
}

std::string WriteAt(OsHandle h, uint64_t offset, uint32_t length,
                    const unsigned char* buffer) {
  if (!OsSeek(h, static_cast<int64_t>(offset))) return "seek: " + Err(OsLastError());
  uint32_t done = 0;
  const bool ok = OsWrite(h, buffer, length, &done);
  return Transfer(ok, done);
}

std::string Control(OsHandle h, uint32_t code, const void* in = nullptr,
                    uint32_t inLength = 0, void* out = nullptr, uint32_t outLength = 0,
                    uint32_t* returned = nullptr) {
  uint32_t ignored = 0;
  return OsDeviceControl(h, code, in, inLength, out, outLength,
                         returned != nullptr ? returned : &ignored)
             ? "ok"
             : Err(OsLastError());
}

// Reads the sectors back and writes the same bytes over them: the answer of
// a write that changes nothing, whatever the system lets through.
std::string WriteBack(OsHandle h, uint64_t offset, uint32_t length) {
  PageBuffer buffer(length);
  if (buffer.get() == nullptr) return "no memory";
  const std::string read = ReadAt(h, offset, length, buffer.get());
  if (read != "ok, " + Num(length) + " bytes") return "read first: " + read;
  return WriteAt(h, offset, length, buffer.get());
}

std::vector<unsigned char> ReadBytes(OsHandle h, uint64_t offset, uint32_t length,
                                     std::string* answer) {
  PageBuffer buffer(length);
  std::vector<unsigned char> bytes;
  if (buffer.get() == nullptr) {
    *answer = "no memory";
    return bytes;
  }
  *answer = ReadAt(h, offset, length, buffer.get());
  if (*answer == "ok, " + Num(length) + " bytes") {
    bytes.assign(buffer.get(), buffer.get() + length);
  }
  return bytes;
}

struct Extent {
  uint32_t disk;
  uint64_t offset;
  uint64_t length;
};

// The extents of an open volume: "ok" with them, or the error.
std::string Extents(OsHandle volume, std::vector<Extent>* extents, uint32_t* count = nullptr) {
  alignas(8) unsigned char reply[kExtentReply];
  uint32_t returned = 0;
  const std::string answer = Control(volume, kIoctlVolumeGetVolumeDiskExtents, nullptr, 0,
                                     reply, kExtentReply, &returned);
  extents->clear();
  if (answer != "ok" || returned < 8) return answer;
  const uint32_t n = ReadLe32(reply);
  if (count != nullptr) *count = n;
  for (uint32_t i = 0; i < n && 8 + 24 * (i + 1) <= returned; ++i) {
    const unsigned char* e = reply + 8 + 24 * i;
    extents->push_back({ReadLe32(e), ReadLe64(e + 8), ReadLe64(e + 16)});
  }
  return answer;
}

// Names of the listed volumes and the enumeration's closing error.
std::vector<std::wstring> ListVolumes(uint32_t* endError) {
  std::vector<std::wstring> names;
  wchar_t name[260];
  OsFindHandle find = nullptr;
  if (!OsFindFirstVolume(name, 260, &find)) {
    *endError = OsLastError();
    return names;
  }
  do names.push_back(name);
  while (OsFindNextVolume(find, name, 260));
  *endError = OsLastError();
  OsFindVolumeClose(find);
  return names;
}

// Listed volumes with an extent on `disk`, with their extents.
std::vector<std::vector<Extent>> VolumesOnDisk(int disk) {
  uint32_t endError = 0;
  std::vector<std::vector<Extent>> found;
  for (std::wstring name : ListVolumes(&endError)) {
    if (!name.empty() && name.back() == L'\\') name.pop_back();
    OsHandle h = Open(name, kGenericRead, kShareRW);
    if (h == nullptr) continue;
    std::vector<Extent> extents;
    Extents(h, &extents);
    OsClose(h);
    for (const Extent& e : extents) {
      if (e.disk == static_cast<uint32_t>(disk)) {
        found.push_back(extents);
        break;
      }
    }
  }
  return found;
}

// Waits until `done` holds or the polls run out; the note says how long it
// took when it was not at once.
template <typename Done>
bool Poll(Context& c, Done done, std::string* note) {
  for (int i = 0; i <= kPolls; ++i) {
    if (done()) {
      if (i > 0) *note = "after " + Num(i * kPollMilliseconds) + " ms";
      return true;
    }
    if (i < kPolls) c.host->pause(kPollMilliseconds);
  }
  *note = "still not after " + Num(kPolls * kPollMilliseconds) + " ms";
  return false;
}

// Opens what a check is about; when it does not open, that is the check's
// answer.
bool OpenFor(const std::wstring& path, uint32_t access, uint32_t share, HandleGuard* h,
             Answer* a) {
  uint32_t error = 0;
  *h->out() = Open(path, access, share, &error);
  if (h->get() == nullptr) a->system = "open " + Narrow(path) + ": " + Err(error);
  return h->get() != nullptr;
}

bool NeedLength(Context& c, Answer* a) {
  if (c.diskLength == 0) a->skip = "the disk's length is unknown (length-query failed)";
  return c.diskLength != 0;
}

bool NeedExtent(Context& c, Answer* a) {
  if (c.extentLength == 0) a->skip = "the volume's extent is unknown (extents failed)";
  return c.extentLength != 0;
}

// ---- The checks, in the order they run ---------------------------------------

void LengthQuery(Context& c, Answer* a) {
  a->machine = "ok, 8 bytes, a whole number of sectors; 4-byte buffer: error 122";
  HandleGuard h;
  if (!OpenFor(c.disk, kGenericRead, kShareRW, &h, a)) return;
  alignas(8) unsigned char out[8];
  uint32_t returned = 0;
  std::string full = Control(h.get(), kIoctlDiskGetLengthInfo, nullptr, 0, out, 8, &returned);
  if (full == "ok") {
    const uint64_t length = ReadLe64(out);
    full += ", " + Num(returned) + " bytes, ";
    full += length > 0 && length % kSector == 0 ? "a whole number of sectors"
                                                : "length " + Num(length);
    if (returned == 8) c.diskLength = length;
  }
  const std::string shortReply = Control(h.get(), kIoctlDiskGetLengthInfo, nullptr, 0, out, 4);
  a->system = full + "; 4-byte buffer: " + shortReply;
  if (c.diskLength != 0) a->note = Num(c.diskLength) + " bytes";
}

bool TextInside(const std::vector<unsigned char>& reply, uint32_t size, uint32_t offset) {
  return offset >= 40 && offset < size &&
         std::find(reply.begin() + offset, reply.begin() + size, 0) != reply.begin() + size;
}

void Descriptor(Context& c, Answer* a) {
  a->machine =
      "ok, Size = bytes returned, Version 40, vendor and product inside the reply; "
      "20-byte buffer: ok, 20 bytes, the reply's first 20";
  HandleGuard h;
  if (!OpenFor(c.disk, kGenericRead, kShareRW, &h, a)) return;
  const unsigned char query[12] = {};
  std::vector<unsigned char> full(1024, 0xEE);
  uint32_t returned = 0;
  std::string first = Control(h.get(), kIoctlStorageQueryProperty, query, 12, full.data(),
                              static_cast<uint32_t>(full.size()), &returned);
  if (first == "ok") {
    const uint32_t size = ReadLe32(&full[4]);
    first += size == returned ? ", Size = bytes returned"
                              : ", Size " + Num(size) + " for " + Num(returned) + " bytes";
    first += ", Version " + Num(ReadLe32(&full[0]));
    const uint32_t end = std::min(size, returned);
    first += TextInside(full, end, ReadLe32(&full[12])) &&
                     TextInside(full, end, ReadLe32(&full[16]))
                 ? ", vendor and product inside the reply"
                 : ", vendor or product not inside the reply";
  }
  std::vector<unsigned char> part(20, 0xEE);
  uint32_t partReturned = 0;
  std::string second = Control(h.get(), kIoctlStorageQueryProperty, query, 12, part.data(),
                               20, &partReturned);
  second += ", " + Num(partReturned) + " bytes";
  if (partReturned == 20 && returned >= 20) {
    second += std::equal(part.begin(), part.end(), full.begin()) ? ", the reply's first 20"
                                                                 : ", not the reply's first 20";
  }
  a->system = first + "; 20-byte buffer: " + second;
}

void DescriptorQueryLength(Context& c, Answer* a) {
  a->machine = "error 24";
  HandleGuard h;
  if (!OpenFor(c.disk, kGenericRead, kShareRW, &h, a)) return;
  const unsigned char query[12] = {};
  std::vector<unsigned char> out(1024);
  a->system = Control(h.get(), kIoctlStorageQueryProperty, query, 8, out.data(), 1024);
}

void VolumeSizeQuery(Context& c, Answer* a) {
  a->machine = "GetFileSizeEx: error 87; GetFileSize: error 87";
  HandleGuard h;
  if (!OpenFor(c.volume, kGenericRead, kShareRW, &h, a)) return;
  int64_t size = 0;
  a->system = "GetFileSizeEx: " + std::string(OsGetFileSizeEx(h.get(), &size)
                                                  ? "ok, " + Num(static_cast<uint64_t>(size))
                                                  : Err(OsLastError()));
  uint32_t high = 0;
  const uint32_t low = OsGetFileSize(h.get(), &high);
  const uint32_t lowError = OsLastError();
  a->system += "; GetFileSize: " + (low == 0xFFFFFFFFu && lowError != 0
                                        ? Err(lowError)
                                        : "ok, " + Num((uint64_t{high} << 32) | low));
}

void VolumeList(Context& c, Answer* a) {
  const std::string disk = Num(static_cast<uint32_t>(c.target->disk));
  a->machine = "names \\\\?\\Volume{...}\\; one on disk " + disk +
               ", the volume of the letter; the end: error 18";
  uint32_t endError = 0;
  std::string odd;
  for (const std::wstring& name : ListVolumes(&endError)) {
    const bool named = name.compare(0, 11, L"\\\\?\\Volume{") == 0 && name.size() > 13 &&
                       name.compare(name.size() - 2, 2, L"}\\") == 0;
    if (!named && odd.empty()) odd = Narrow(name);
  }
  const std::vector<std::vector<Extent>> onDisk = VolumesOnDisk(c.target->disk);
  std::vector<Extent> letterExtents;
  HandleGuard vol(Open(c.volume, kGenericRead, kShareRW));
  if (vol.get() != nullptr) Extents(vol.get(), &letterExtents);
  const auto same = [&letterExtents](const std::vector<Extent>& e) {
    return e.size() == letterExtents.size() &&
           std::equal(e.begin(), e.end(), letterExtents.begin(),
                      [](const Extent& x, const Extent& y) {
                        return x.disk == y.disk && x.offset == y.offset && x.length == y.length;
                      });
  };
  a->system = odd.empty() ? "names \\\\?\\Volume{...}\\" : "a name " + odd;
  a->system += "; " + (onDisk.size() == 1 ? std::string("one") : Num(onDisk.size())) +
               " on disk " + disk;
  if (onDisk.size() == 1) {
    a->system += same(onDisk[0]) ? ", the volume of the letter" : ", not the letter's volume";
  }
  a->system += "; the end: " + Err(endError);
}

void VolumeExtents(Context& c, Answer* a) {
  const std::string disk = Num(static_cast<uint32_t>(c.target->disk));
  a->machine = "ok, 1 extent on disk " + disk + ", the partition of the MBR";
  HandleGuard vol;
  if (!OpenFor(c.volume, kGenericRead, kShareRW, &vol, a)) return;
  std::vector<Extent> extents;
  uint32_t count = 0;
  a->system = Extents(vol.get(), &extents, &count);
  if (a->system != "ok") return;
  a->system += ", " + Num(count) + (count == 1 ? " extent" : " extents");
  if (extents.empty()) return;
  const Extent& e = extents[0];
  a->system += " on disk " + Num(e.disk);
  // The partition table says where the partition is.
  HandleGuard h;
  if (!OpenFor(c.disk, kGenericRead, kShareRW, &h, a)) return;
  std::string read;
  const std::vector<unsigned char> mbr = ReadBytes(h.get(), 0, kSector, &read);
  uint64_t start = 0, length = 0;
  for (int i = 0; i < 4 && mbr.size() == kSector; ++i) {
    const unsigned char* entry = &mbr[446 + 16 * i];
    if (entry[4] == 0 || start != 0) continue;
    start = uint64_t{ReadLe32(entry + 8)} * kSector;
    length = uint64_t{ReadLe32(entry + 12)} * kSector;
  }
  a->system += e.offset == start && e.length == length
                   ? ", the partition of the MBR"
                   : ", at " + Num(e.offset) + "+" + Num(e.length) + " where the MBR says " +
                         Num(start) + "+" + Num(length);
  if (count == 1 && e.disk == static_cast<uint32_t>(c.target->disk)) {
    c.extentOffset = e.offset;
    c.extentLength = e.length;
  }
}

void ExtentsShort(Context& c, Answer* a) {
  a->machine = "error 87, 0 bytes";
  HandleGuard vol;
  if (!OpenFor(c.volume, kGenericRead, kShareRW, &vol, a)) return;
  alignas(8) unsigned char reply[31];
  uint32_t returned = 0;
  a->system = Control(vol.get(), kIoctlVolumeGetVolumeDiskExtents, nullptr, 0, reply, 31,
                      &returned);
  a->system += ", " + Num(returned) + " bytes";
}

// Stated lengths without their buffers, on calls whose drivers would not
// read the input at all or would answer into the buffer.
void IoctlBuffers(Context& c, Answer* a) {
  a->machine = "extents with 1 input byte and no input: error 998; "
               "the length into 8 bytes and no output: error 998";
  HandleGuard vol, disk;
  if (!OpenFor(c.volume, kGenericRead, kShareRW, &vol, a) ||
      !OpenFor(c.disk, kGenericRead, kShareRW, &disk, a))
    return;
  alignas(8) unsigned char reply[kExtentReply];
  a->system = "extents with 1 input byte and no input: " +
              Control(vol.get(), kIoctlVolumeGetVolumeDiskExtents, nullptr, 1, reply,
                      kExtentReply) +
              "; the length into 8 bytes and no output: " +
              Control(disk.get(), kIoctlDiskGetLengthInfo, nullptr, 0, nullptr, 8);
}

void ExtentsCut(Context& c, Answer* a) {
  if (c.target->spanningVolume.empty()) {
    a->skip = "no volume with three extents or more here";
    return;
  }
  a->machine = "error 234, 32 bytes: the count and the first extent";
  HandleGuard vol;
  if (!OpenFor(c.target->spanningVolume, kGenericRead, kShareRW, &vol, a)) return;
  alignas(8) unsigned char full[kExtentReply];
  uint32_t fullReturned = 0;
  Control(vol.get(), kIoctlVolumeGetVolumeDiskExtents, nullptr, 0, full, kExtentReply,
          &fullReturned);
  const uint32_t count = fullReturned >= 8 ? ReadLe32(full) : 0;
  if (count < 3) {
    a->skip = "the spanning volume has fewer than three extents";
    return;
  }
  // Room for two of them.
  alignas(8) unsigned char cut[56];
  std::memset(cut, 0xEE, sizeof cut);
  uint32_t returned = 0;
  a->system = Control(vol.get(), kIoctlVolumeGetVolumeDiskExtents, nullptr, 0, cut,
                      sizeof cut, &returned);
  a->system += ", " + Num(returned) + " bytes";
  if (returned >= 32) {
    a->system += ReadLe32(cut) == count && std::memcmp(cut + 8, full + 8, 24) == 0
                     ? ": the count and the first extent"
                     : ": not the count and the first extent";
  }
}

void DiskSharing(Context& c, Answer* a) {
  a->machine = "beside a reader: error 32; alone: ok; a reader beside it: error 32";
  HandleGuard reader;
  if (!OpenFor(c.disk, kGenericRead, kShareRW, &reader, a)) return;
  a->system = "beside a reader: " + OpenAnswer(c.disk, kRW, 0);
  reader.Close();
  uint32_t error = 0;
  HandleGuard exclusive(Open(c.disk, kRW, 0, &error));
  a->system += "; alone: " + (exclusive.get() != nullptr ? std::string("ok") : Err(error));
  a->system += "; a reader beside it: " + OpenAnswer(c.disk, kGenericRead, kShareRW);
}

void MountedWrite(Context& c, Answer* a) {
  if (!NeedExtent(c, a)) return;
  a->machine = "inside the volume: error 5, 0 bytes; before it: ok, 4096 bytes";
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, kShareRW, &h, a)) return;
  a->system = "inside the volume: " + WriteBack(h.get(), c.extentOffset, kBlock);
  // LBA 8: past the MBR, before any partition.
  a->system += "; before it: " + (c.extentOffset >= 2 * kBlock
                                      ? WriteBack(h.get(), kBlock, kBlock)
                                      : std::string("no room before the volume"));
}

void LockOpenFiles(Context& c, Answer* a) {
  a->machine = "error 5";
  uint32_t error = 0;
  c.file = Open(c.target->filePath, kGenericRead, kFileShareRead, &error);
  if (c.file == nullptr) {
    a->system = "the file: " + Err(error);
    return;
  }
  c.vol = Open(c.volume, kRW, kShareRW, &error);
  if (c.vol == nullptr) {
    a->system = "the volume: " + Err(error);
    return;
  }
  a->system = Control(c.vol, kFsctlLockVolume);
}

bool NeedKeptHandles(Context& c, Answer* a) {
  if (c.file == nullptr || c.vol == nullptr) {
    a->skip = "the file or the volume did not open (lock-open-files)";
  }
  return c.file != nullptr && c.vol != nullptr;
}

void StaleFileHandles(Context& c, Answer* a) {
  if (!NeedKeptHandles(c, a)) return;
  a->machine = "dismount: ok; read: error 21, 0 bytes";
  a->system = "dismount: " + Control(c.vol, kFsctlDismountVolume);
  unsigned char buffer[16];
  uint32_t done = 0;
  const bool ok = OsRead(c.file, buffer, sizeof buffer, &done);
  a->system += "; read: " + Transfer(ok, done);
}

void DismountFreesLock(Context& c, Answer* a) {
  if (!NeedKeptHandles(c, a)) return;
  a->machine = "ok";
  a->system = Control(c.vol, kFsctlLockVolume);
}

void WriteAfterDismount(Context& c, Answer* a) {
  if (!NeedExtent(c, a)) return;
  a->machine = "exclusive open: ok; write: ok, 4096 bytes";
  uint32_t error = 0;
  HandleGuard h(Open(c.disk, kRW, 0, &error));
  if (h.get() == nullptr) {
    a->system = "exclusive open: " + Err(error);
    return;
  }
  a->system = "exclusive open: ok; write: " + WriteBack(h.get(), c.extentOffset, kBlock);
}

void LockedVolumeOpen(Context& c, Answer* a) {
  if (!NeedKeptHandles(c, a)) return;
  a->machine = "the volume: error 21; a file on it: error 21";
  a->system = "the volume: " + OpenAnswer(c.volume, kGenericRead, kShareRW);
  a->system += "; a file on it: " +
               OpenAnswer(c.target->filePath, kGenericRead, kFileShareRead);
}

void SecondDismount(Context& c, Answer* a) {
  if (!NeedKeptHandles(c, a)) return;
  a->machine = "error 21";
  a->system = Control(c.vol, kFsctlDismountVolume);
  // Let go, as the program does: unlock, then close.
  Control(c.vol, kFsctlUnlockVolume);
  OsClose(c.vol);
  OsClose(c.file);
  c.vol = nullptr;
  c.file = nullptr;
}

void RemountOnTouch(Context& c, Answer* a) {
  if (!NeedExtent(c, a)) return;
  a->machine = "untouched: ok, 4096 bytes; a file opened: ok; then: error 5, 0 bytes";
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, kShareRW, &h, a)) return;
  a->system = "untouched: " + WriteBack(h.get(), c.extentOffset, kBlock);
  a->system += "; a file opened: " +
               OpenAnswer(c.target->filePath, kGenericRead, kFileShareRead);
  a->system += "; then: " + WriteBack(h.get(), c.extentOffset, kBlock);
}

void VolumeShare(Context& c, Answer* a) {
  a->machine =
      "for writing: error 32; for reading: ok; a file while it is open: error 5; after: ok";
  uint32_t error = 0;
  HandleGuard file(Open(c.target->filePath, kGenericRead, kFileShareRead, &error));
  if (file.get() == nullptr) {
    a->system = "the file: " + Err(error);
    return;
  }
  a->system = "for writing: " + OpenAnswer(c.volume, kRW, kFileShareRead);
  HandleGuard reader(Open(c.volume, kGenericRead, kFileShareRead, &error));
  a->system += "; for reading: " + (reader.get() != nullptr ? std::string("ok") : Err(error));
  a->system += "; a file while it is open: " +
               OpenAnswer(c.target->filePath, kGenericRead, kShareRW);
  reader.Close();
  a->system += "; after: " + OpenAnswer(c.target->filePath, kGenericRead, kShareRW);
}

void SectorAlignment(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  a->machine =
      "100 bytes: error 87, 0 bytes; from byte 256: error 87, 0 bytes; "
      "half the last sector: error 87, 0 bytes";
  HandleGuard h;
  if (!OpenFor(c.disk, kGenericRead, kShareRW, &h, a)) return;
  PageBuffer buffer(kBlock);
  a->system = "100 bytes: " + ReadAt(h.get(), 0, 100, buffer.get());
  a->system += "; from byte 256: " + ReadAt(h.get(), 256, kSector, buffer.get());
  a->system += "; half the last sector: " +
               ReadAt(h.get(), c.diskLength - kSector, kSector / 2, buffer.get());
}

// Lets go of the volume the way the wipe job does.
void ReleaseVolume(Context& c) {
  OsHandle vol = Open(c.volume, kRW, kShareRW);
  if (vol == nullptr) return;
  Control(vol, kFsctlLockVolume);
  Control(vol, kFsctlDismountVolume);
  Control(vol, kFsctlUnlockVolume);
  OsClose(vol);
}

bool AllZero(const std::vector<unsigned char>& v, size_t from, size_t to) {
  return v.size() >= to && std::all_of(v.begin() + from, v.begin() + to,
                                       [](unsigned char b) { return b == 0; });
}

bool SameRange(const std::vector<unsigned char>& x, const std::vector<unsigned char>& y,
               size_t from, size_t to) {
  return x.size() >= to && y.size() >= to &&
         std::equal(x.begin() + from, x.begin() + to, y.begin() + from);
}

void LayoutMbr(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  a->machine =
      "ok; the boot code kept, bytes 440 to 511 zero, sector 1 and the last sector kept; "
      "the volume gone: error 2, a file on it: error 3, none listed on the disk";
  ReleaseVolume(c);
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, kShareRW, &h, a)) return;
  std::string read;
  const std::vector<unsigned char> before0 = ReadBytes(h.get(), 0, kSector, &read);
  const std::vector<unsigned char> before1 = ReadBytes(h.get(), kSector, kSector, &read);
  const uint64_t last = c.diskLength - kSector;
  const std::vector<unsigned char> beforeLast = ReadBytes(h.get(), last, kSector, &read);
  a->system = Control(h.get(), kIoctlDiskDeleteDriveLayout);
  const std::vector<unsigned char> after0 = ReadBytes(h.get(), 0, kSector, &read);
  const std::vector<unsigned char> after1 = ReadBytes(h.get(), kSector, kSector, &read);
  const std::vector<unsigned char> afterLast = ReadBytes(h.get(), last, kSector, &read);
  h.Close();
  a->system += SameRange(before0, after0, 0, 440) ? "; the boot code kept"
                                                   : "; the boot code changed";
  a->system += AllZero(after0, 440, 512) ? ", bytes 440 to 511 zero"
                                         : ", bytes 440 to 511 not zero";
  a->system += SameRange(before1, after1, 0, kSector) &&
                       SameRange(beforeLast, afterLast, 0, kSector)
                   ? ", sector 1 and the last sector kept"
                   : ", sector 1 or the last sector changed";
  // The system removes the partition's volume on its own time. The volume
  // is looked for without access, which mounts nothing on it.
  std::string volumeOpen;
  size_t listed = 0;
  Poll(
      c,
      [&] {
        volumeOpen = OpenAnswer(c.volume, 0, kShareRW);
        listed = VolumesOnDisk(c.target->disk).size();
        return volumeOpen != "ok" && listed == 0;
      },
      &a->note);
  const std::string fileOpen = OpenAnswer(c.target->filePath, kGenericRead, kFileShareRead);
  a->system += "; the volume " + std::string(volumeOpen == "ok" ? "still there" : "gone") +
               ": " + volumeOpen + ", a file on it: " + fileOpen + ", " +
               (listed == 0 ? std::string("none") : Num(listed)) + " listed on the disk";
}

uint32_t Crc32(const unsigned char* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void Put32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

void Put64(unsigned char* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

// A GPT header: 92 bytes that count, in a sector of its own.
void GptHeader(unsigned char* s, uint64_t self, uint64_t other, uint64_t entriesLba,
               uint64_t lastLba, uint32_t entriesCrc) {
  std::memset(s, 0, kSector);
  std::memcpy(s, "EFI PART", 8);
  Put32(s + 8, 0x00010000);
  Put32(s + 12, 92);
  Put64(s + 24, self);
  Put64(s + 32, other);
  Put64(s + 40, 34);
  Put64(s + 48, lastLba - 33);
  std::memcpy(s + 56, "tessavane-contract", 16);  // disk GUID
  Put64(s + 72, entriesLba);
  Put32(s + 80, 128);
  Put32(s + 84, 128);
  Put32(s + 88, entriesCrc);
  Put32(s + 16, Crc32(s, 92));
}

void LayoutGpt(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  a->machine =
      "written: ok; the table read anew: ok; deleted: ok; sector 0 kept, LBA 1 zero, "
      "the entries kept, the backup entries kept, the last sector zero";
  const uint64_t lastLba = c.diskLength / kSector - 1;
  constexpr uint32_t kEntries = 128 * 128;
  // A protective MBR, then the table: no partition, a named unused entry.
  PageBuffer table(kSector * 2 + kEntries);
  unsigned char* mbr = table.get();
  unsigned char* header = mbr + kSector;
  unsigned char* entries = header + kSector;
  std::memcpy(mbr, "\xFA\xEB\xFE" "Tessavane contract GPT", 25);
  mbr[446 + 4] = 0xEE;
  Put32(mbr + 446 + 8, 1);
  Put32(mbr + 446 + 12, static_cast<uint32_t>(std::min<uint64_t>(lastLba, 0xFFFFFFFFu)));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  for (int i = 0; i < 9; ++i) entries[56 + 2 * i] = static_cast<unsigned char>("tessavane"[i]);
  const uint32_t entriesCrc = Crc32(entries, kEntries);
  GptHeader(header, 1, lastLba, 2, lastLba, entriesCrc);
  PageBuffer backup(kEntries + kSector);
  std::memcpy(backup.get(), entries, kEntries);
  GptHeader(backup.get() + kEntries, lastLba, 1, lastLba - 32, lastLba, entriesCrc);

  HandleGuard h;
  if (!OpenFor(c.disk, kRW, kShareRW, &h, a)) return;
  const std::string primary = WriteAt(h.get(), 0, kSector * 2 + kEntries, table.get());
  const std::string second = WriteAt(h.get(), (lastLba - 32) * kSector, kEntries + kSector,
                                     backup.get());
  a->system = "written: " + std::string(primary == "ok, " + Num(kSector * 2 + kEntries) +
                                                   " bytes" &&
                                                second == "ok, " + Num(kEntries + kSector) +
                                                              " bytes"
                                            ? "ok"
                                            : primary + " / " + second);
  h.Close();
  a->system += std::string("; the table read anew: ") +
               (c.host->rereadLayout(c.target->disk) ? "ok" : "refused");
  HandleGuard again;
  const std::string sofar = a->system;
  if (!OpenFor(c.disk, kRW, kShareRW, &again, a)) {
    a->system = sofar + "; " + a->system;
    return;
  }
  a->system += "; deleted: " + Control(again.get(), kIoctlDiskDeleteDriveLayout);
  std::string read;
  const std::vector<unsigned char> after =
      ReadBytes(again.get(), 0, kSector * 2 + kEntries, &read);
  const std::vector<unsigned char> afterBackup =
      ReadBytes(again.get(), (lastLba - 32) * kSector, kEntries + kSector, &read);
  const std::vector<unsigned char> written(table.get(), table.get() + kSector * 2 + kEntries);
  const std::vector<unsigned char> writtenBackup(backup.get(),
                                                 backup.get() + kEntries + kSector);
  a->system += SameRange(written, after, 0, kSector) ? "; sector 0 kept" : "; sector 0 changed";
  a->system += AllZero(after, kSector, 2 * kSector) ? ", LBA 1 zero" : ", LBA 1 not zero";
  a->system += SameRange(written, after, 2 * kSector, 2 * kSector + kEntries)
                   ? ", the entries kept"
                   : ", the entries changed";
  a->system += SameRange(writtenBackup, afterBackup, 0, kEntries) ? ", the backup entries kept"
                                                                  : ", the backup entries changed";
  a->system += AllZero(afterBackup, kEntries, kEntries + kSector) ? ", the last sector zero"
                                                                  : ", the last sector not zero";
}

void DiskEndRead(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  a->machine =
      "the last 4 KiB: ok, 4096 bytes; at the end: error 27, 0 bytes; "
      "across it: error 27, 0 bytes; past it: error 27, 0 bytes";
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, 0, &h, a)) return;
  PageBuffer buffer(kBlock);
  const uint64_t end = c.diskLength;
  a->system = "the last 4 KiB: " + ReadAt(h.get(), end - kBlock, kBlock, buffer.get());
  a->system += "; at the end: " + ReadAt(h.get(), end, kSector, buffer.get());
  a->system += "; across it: " + ReadAt(h.get(), end - kSector, kBlock, buffer.get());
  a->system += "; past it: " + ReadAt(h.get(), end + (1u << 20), kSector, buffer.get());
}

// A write across the disk's end with bytes unlike those there; says whether
// any of them landed.
std::string WriteAcrossEnd(OsHandle h, uint64_t diskLength, uint32_t length) {
  const uint64_t start = diskLength - length + kSector;
  const uint32_t inside = length - kSector;
  std::string read;
  const std::vector<unsigned char> before = ReadBytes(h, start, inside, &read);
  if (before.size() != inside) return "read first: " + read;
  PageBuffer buffer(length);
  for (uint32_t i = 0; i < inside; ++i) buffer.get()[i] = static_cast<unsigned char>(~before[i]);
  std::string answer = WriteAt(h, start, length, buffer.get());
  const std::vector<unsigned char> after = ReadBytes(h, start, inside, &read);
  if (after.size() != inside) return answer + ", read after: " + read;
  uint64_t landed = 0;
  for (uint32_t i = 0; i < inside; ++i) landed += before[i] != after[i];
  return answer + (landed == 0 ? ", nothing written" : ", " + Num(landed) + " bytes written");
}

void DiskEndWrite(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  a->machine =
      "at the end: error 27, 0 bytes; 1 KiB across it: error 27, 0 bytes, nothing written; "
      "4 MiB across it: error 27, 0 bytes, nothing written";
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, 0, &h, a)) return;
  PageBuffer buffer(kSector);
  a->system = "at the end: " + WriteAt(h.get(), c.diskLength, kSector, buffer.get());
  a->system += "; 1 KiB across it: " + WriteAcrossEnd(h.get(), c.diskLength, 2 * kSector);
  a->system += "; 4 MiB across it: " + WriteAcrossEnd(h.get(), c.diskLength, kChunk);
}

void NewPartitions(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  constexpr uint64_t kImage = 64u << 20;
  if (c.diskLength < kImage) {
    a->skip = "the disk is smaller than the 64 MiB image";
    return;
  }
  const std::string disk = Num(static_cast<uint32_t>(c.target->disk));
  a->machine = "written: ok; then: no volume on disk " + disk +
               "; once the table is read anew: one, over the partition";
  // The image's first 4 MiB, as the write job writes it: the MBR and the
  // file system's boot sectors and tables.
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, 0, &h, a)) return;
  PageBuffer chunk(kChunk);
  FatImageBytes(kImage, 0, chunk.get(), kChunk);
  a->system = "written: " + WriteAt(h.get(), 0, kChunk, chunk.get());
  if (a->system == "written: ok, " + Num(kChunk) + " bytes") a->system = "written: ok";
  h.Close();
  // Whatever the system does by itself, it has had a second to do it.
  for (int i = 0; i < 4; ++i) c.host->pause(kPollMilliseconds);
  const size_t early = VolumesOnDisk(c.target->disk).size();
  a->system += "; then: " + (early == 0 ? std::string("no") : Num(early)) +
               (early == 1 ? " volume" : early == 0 ? " volume" : " volumes") + " on disk " + disk;
  if (!c.host->rereadLayout(c.target->disk)) {
    a->system += "; the table was not read anew";
    return;
  }
  std::vector<std::vector<Extent>> found;
  Poll(
      c,
      [&] {
        found = VolumesOnDisk(c.target->disk);
        return !found.empty();
      },
      &a->note);
  a->system += "; once the table is read anew: ";
  if (found.size() != 1) {
    a->system += found.empty() ? "none" : Num(found.size());
    return;
  }
  const Extent& e = found[0][0];
  a->system += e.offset == kFatImagePartitionOffset &&
                       e.length == kImage - kFatImagePartitionOffset && found[0].size() == 1
                   ? "one, over the partition"
                   : "one, at " + Num(e.offset) + "+" + Num(e.length);
}

void NoMedia(Context& c, Answer* a) {
  if (c.target->emptyReader < 0) {
    a->skip = "no empty card reader given (--empty-reader N)";
    return;
  }
  a->machine = "open for reading: error 21; open without access: ok; its descriptor: ok";
  const std::wstring reader = DrivePath(c.target->emptyReader);
  a->system = "open for reading: " + OpenAnswer(reader, kGenericRead, kShareRW);
  uint32_t error = 0;
  HandleGuard h(Open(reader, 0, kShareRW, &error));
  a->system += "; open without access: " + (h.get() != nullptr ? std::string("ok") : Err(error));
  const unsigned char query[12] = {};
  std::vector<unsigned char> out(1024);
  if (h.get() != nullptr) {
    a->system += "; its descriptor: " + Control(h.get(), kIoctlStorageQueryProperty, query, 12,
                                                out.data(), 1024);
  }
}

// Page memory reads as zeros, a block allocated after a written one was
// released too.
void PageMemory(Context&, Answer* a) {
  auto zeros = [](const unsigned char* p) {
    return p == nullptr ? std::string("no block")
           : std::all_of(p, p + kBlock, [](unsigned char b) { return b == 0; })
               ? std::string("zeros")
               : std::string("not zeros");
  };
  a->machine = "a new block: zeros; the next after a written one: zeros";
  std::string first;
  {
    PageBuffer written(kBlock);
    first = zeros(written.get());
    if (written.get() != nullptr) std::memset(written.get(), 0xA5, kBlock);
  }
  PageBuffer next(kBlock);
  a->system = "a new block: " + first + "; the next after a written one: " + zeros(next.get());
}

// The last disk check: the volume new-partitions made goes as the wipe job
// takes volumes down, then the layout, so that what runs next finds the disk
// with no volume on it. Releasing is noted, not compared: new-partitions
// already answers whether there was a volume to release.
void LayoutAtEnd(Context& c, Answer* a) {
  if (!NeedLength(c, a)) return;
  a->machine = "deleted: ok; then: no volume on disk " + Num(static_cast<uint32_t>(c.target->disk));
  uint32_t endError = 0;
  std::string released;
  for (std::wstring name : ListVolumes(&endError)) {
    if (!name.empty() && name.back() == L'\\') name.pop_back();
    std::vector<Extent> extents;
    {
      HandleGuard look(Open(name, kGenericRead, kShareRW));
      if (look.get() != nullptr) Extents(look.get(), &extents);
    }
    if (extents.empty() || extents[0].disk != static_cast<uint32_t>(c.target->disk)) continue;
    HandleGuard vol(Open(name, kRW, kShareRW));
    if (vol.get() == nullptr) continue;
    released += (released.empty() ? "released: lock " : ", lock ") +
                Control(vol.get(), kFsctlLockVolume) +
                ", dismount " + Control(vol.get(), kFsctlDismountVolume);
  }
  HandleGuard h;
  if (!OpenFor(c.disk, kRW, kShareRW, &h, a)) return;
  a->system = "deleted: " + Control(h.get(), kIoctlDiskDeleteDriveLayout);
  h.Close();
  size_t listed = 0;
  Poll(
      c,
      [&] {
        listed = VolumesOnDisk(c.target->disk).size();
        return listed == 0;
      },
      &a->note);
  a->system += "; then: " + (listed == 0 ? std::string("no volume") : Num(listed) + " listed") +
               " on disk " + Num(static_cast<uint32_t>(c.target->disk));
  a->note = (released.empty() ? "no volume to release" : released) +
            (a->note.empty() ? "" : "; " + a->note);
}

struct ContractCheck {
  const char* row;
  const char* title;
  void (*run)(Context&, Answer*);
};

const ContractCheck kChecks[] = {
    {"length-query", "the disk's length", LengthQuery},
    {"descriptor", "the storage property reply", Descriptor},
    {"descriptor-query-length", "a property query shorter than 12 bytes", DescriptorQueryLength},
    {"volume-size-query", "the size of a volume handle", VolumeSizeQuery},
    {"volume-list", "the volume enumeration", VolumeList},
    {"extents", "the volume's extents", VolumeExtents},
    {"extents-short", "extents into 31 bytes", ExtentsShort},
    {"extents-cut", "extents into a buffer too small for all", ExtentsCut},
    {"ioctl-buffers", "control lengths without their buffers", IoctlBuffers},
    {"disk-sharing", "the exclusive disk open", DiskSharing},
    {"mounted-write", "a write into a mounted volume", MountedWrite},
    {"lock-open-files", "a lock while a file on the volume is open", LockOpenFiles},
    {"stale-file-handles", "a file opened before a dismount", StaleFileHandles},
    {"dismount-frees-lock", "the lock after a dismount", DismountFreesLock},
    {"write-after-dismount", "a write while the lock is held", WriteAfterDismount},
    {"locked-volume-open", "opens of a locked, dismounted volume", LockedVolumeOpen},
    {"second-dismount", "a dismount of a dismounted volume", SecondDismount},
    {"remount-on-touch", "a dismounted volume that is touched", RemountOnTouch},
    {"volume-share", "volume opens that share no writing", VolumeShare},
    {"sector-alignment", "transfers of part of a sector", SectorAlignment},
    {"layout-mbr", "deleting an MBR layout", LayoutMbr},
    {"layout-gpt", "deleting a GPT layout", LayoutGpt},
    {"disk-end-read", "reads at and past the end", DiskEndRead},
    {"disk-end-write", "writes at and past the end", DiskEndWrite},
    {"new-partitions", "a partition table written through the disk", NewPartitions},
    {"layout-mbr", "deleting the layout last, the disk left with no volume", LayoutAtEnd},
    {"no-media", "a card reader without its card", NoMedia},
    {"page-memory", "page memory after a release", PageMemory},
};

// Every row of the table in docs/machine-description.md ("Where these answers
// come from"), in its order. A row no check here can ask says why; a row the
// description calls not settled is marked so in the table the run ends with.
struct DescriptionRow {
  const char* row;
  bool unsettled;
  const char* unasked;  // why no check asks it, or nullptr
};

const DescriptionRow kRows[] = {
    {"length-query", false, nullptr},
    {"descriptor", false, nullptr},
    {"descriptor-query-length", false, nullptr},
    {"volume-list", false, nullptr},
    {"extents", false, nullptr},
    {"extents-short", false, nullptr},
    {"extents-cut", false, nullptr},
    {"ioctl-buffers", false, nullptr},
    {"ramdisk-extent", false, "needs a PE booted from a WIM, which no runner is"},
    {"disk-sharing", false, nullptr},
    {"sector-alignment", false, nullptr},
    {"disk-end-read", false, nullptr},
    {"disk-end-write", false, nullptr},
    {"mounted-write", false, nullptr},
    {"write-after-dismount", false, nullptr},
    {"lock-open-files", false, nullptr},
    {"held-file-lock", false,
     "needs another process holding a file: the write with a held file answers it"},
    {"dismount-frees-lock", true, nullptr},
    {"stale-file-handles", false, nullptr},
    {"second-dismount", false, nullptr},
    {"locked-volume-open", false, nullptr},
    {"volume-share", false, nullptr},
    {"volume-size-query", false, nullptr},
    {"remount-on-touch", true, nullptr},
    {"removed-disk", false, "needs a disk pulled out while handles are open"},
    {"device-numbers", false, "needs disks pulled out and plugged in"},
    {"volume-names-return", true,
     "needs a stick pulled out and another written from its image plugged in mid-walk"},
    {"layout-mbr", false, nullptr},
    {"layout-gpt", false, nullptr},
    {"no-media", false, nullptr},
    {"page-memory", false, nullptr},
    {"new-partitions", false, nullptr},
};

struct CheckResult {
  const char* row;
  const char* status;  // "ok", "DIFFERS" or "skipped"
  Answer answer;
};

void Print(const char* status, const ContractCheck& check, const std::string& text) {
  std::printf("%-4s  %-23s %s: %s\n", status, check.row, check.title, text.c_str());
}

// A table cell: one line, no column bar.
std::string Cell(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '|') out += "\\|";
    else if (ch == '\n' || ch == '\r') out += ' ';
    else out += ch;
  }
  return out;
}

// The table of the machine description's rows, a line as each check ends
// (a run cut short still leaves the rows it answered), in a Markdown form
// that reads in a log as well as in a job summary.
void PrintTableHead() {
  std::printf("\nThe machine description's rows, as the checks answer them:\n\n");
  std::printf("| row | the machine says | the system answered | result |\n");
  std::printf("|---|---|---|---|\n");
}

void PrintRowLine(const char* row, const std::string& machine, const std::string& system,
                  const std::string& result) {
  bool unsettled = false;
  for (const DescriptionRow& r : kRows) {
    if (std::strcmp(r.row, row) == 0) unsettled = r.unsettled;
  }
  std::printf("| `%s`%s | %s | %s | %s |\n", row, unsettled ? " (not settled)" : "",
              Cell(machine).c_str(), Cell(system).c_str(), Cell(result).c_str());
}

void PrintResultLine(const CheckResult& r) {
  if (std::strcmp(r.status, "skipped") == 0) {
    PrintRowLine(r.row, "", "", "skipped: " + r.answer.skip);
    return;
  }
  std::string system = r.answer.system;
  if (!r.answer.note.empty()) system += " (" + r.answer.note + ")";
  PrintRowLine(r.row, r.answer.machine, system, r.status);
}

// The rows no check answered, after the rest.
void PrintUnaskedRows(const std::vector<CheckResult>& results) {
  for (const DescriptionRow& row : kRows) {
    const bool asked = std::any_of(results.begin(), results.end(), [&](const CheckResult& r) {
      return std::strcmp(r.row, row.row) == 0;
    });
    if (!asked) {
      PrintRowLine(row.row, "", "",
                   "skipped: " + std::string(row.unasked != nullptr ? row.unasked
                                                                    : "no check asks it"));
    }
  }
  std::fflush(stdout);
}

}  // namespace

void RunDiskContract(const DiskContractTarget& target, const DiskContractHost& host,
                     ContractTally* tally) {
  Context c;
  c.target = &target;
  c.host = &host;
  c.disk = DrivePath(target.disk);
  c.volume = std::wstring(L"\\\\.\\") + target.letter + L":";
  std::vector<CheckResult> results;
  PrintTableHead();
  for (const ContractCheck& check : kChecks) {
    Answer a;
    check.run(c, &a);
    const char* status = "ok";
    if (!a.skip.empty()) {
      ++tally->skipped;
      status = "skipped";
      Print("skip", check, a.skip);
    } else if (a.system == a.machine) {
      ++tally->passed;
      Print("ok", check, a.system);
    } else {
      ++tally->failed;
      status = "DIFFERS";
      Print("FAIL", check, "the answers differ");
      std::printf("        machine: %s\n        system:  %s\n", a.machine.c_str(),
                  a.system.c_str());
    }
    if (!a.note.empty()) std::printf("        (%s)\n", a.note.c_str());
    results.push_back({check.row, status, a});
    PrintResultLine(results.back());
    std::fflush(stdout);
  }
  OsClose(c.vol);
  OsClose(c.file);
  PrintUnaskedRows(results);
}

std::vector<std::string> DiskContractRows() {
  std::vector<std::string> rows;
  for (const ContractCheck& check : kChecks) rows.push_back(check.row);
  return rows;
}

std::vector<std::string> DescriptionRows(bool unsettledOnly) {
  std::vector<std::string> rows;
  for (const DescriptionRow& row : kRows) {
    if (row.unsettled || !unsettledOnly) rows.push_back(row.row);
  }
  return rows;
}

namespace {

std::string DescriptorText(const std::vector<unsigned char>& reply, uint32_t size,
                           uint32_t offset) {
  if (offset == 0 || offset >= size) return "";
  std::string text;
  for (uint32_t i = offset; i < size && reply[i] != 0; ++i) text += static_cast<char>(reply[i]);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char ch : s) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (b >= 32 && b < 127 && b != '"' && b != '\\') {
      out += ch;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

}  // namespace

bool ScratchDiskAllowed(int disk, std::string* reason) {
  const std::wstring path = DrivePath(disk);
  uint32_t error = 0;
  HandleGuard h(Open(path, kGenericRead, kShareRW, &error));
  if (h.get() == nullptr) {
    *reason = "cannot open " + Narrow(path) + " (error " + Num(error) + ")";
    return false;
  }
  const unsigned char query[12] = {};
  std::vector<unsigned char> reply(1024, 0);
  uint32_t returned = 0;
  if (!OsDeviceControl(h.get(), kIoctlStorageQueryProperty, query, 12, reply.data(), 1024,
                       &returned)) {
    *reason = "its storage descriptor cannot be read (error " + Num(OsLastError()) + ")";
    return false;
  }
  const uint32_t size = returned >= 40 ? std::min(ReadLe32(&reply[4]), returned) : 0;
  const std::string vendor = DescriptorText(reply, size, size ? ReadLe32(&reply[12]) : 0);
  const std::string product = DescriptorText(reply, size, size ? ReadLe32(&reply[16]) : 0);
  if (vendor != "Msft" || product != "Virtual Disk") {
    *reason = "it is not a virtual disk: vendor \"" + Printable(vendor) + "\", product \"" +
              Printable(product) + "\" (only a Msft Virtual Disk is taken)";
    return false;
  }
  alignas(8) unsigned char out[8];
  if (!OsDeviceControl(h.get(), kIoctlDiskGetLengthInfo, nullptr, 0, out, 8, &returned) ||
      returned != 8) {
    *reason = "its length cannot be read (error " + Num(OsLastError()) + ")";
    return false;
  }
  const uint64_t length = ReadLe64(out);
  if (length > kMaxContractDisk) {
    *reason = "it holds " + Num(length) + " bytes, more than 1 GiB";
    return false;
  }
  return true;
}

bool ContractDiskAllowed(int disk, wchar_t letter, std::string* reason) {
  if (!ScratchDiskAllowed(disk, reason)) return false;
  uint32_t error = 0;
  if (letter < L'A' || letter > L'Z') {
    *reason = "no volume letter given";
    return false;
  }
  const std::wstring volume = std::wstring(L"\\\\.\\") + letter + L":";
  HandleGuard vol(Open(volume, kGenericRead, kShareRW, &error));
  if (vol.get() == nullptr) {
    *reason = "volume " + Narrow(volume) + " cannot be opened (error " + Num(error) + ")";
    return false;
  }
  std::vector<Extent> extents;
  const std::string answer = Extents(vol.get(), &extents);
  if (answer != "ok") {
    *reason = "the extents of " + Narrow(volume) + " cannot be read (" + answer + ")";
    return false;
  }
  const bool onDisk = !extents.empty() &&
                      std::all_of(extents.begin(), extents.end(), [disk](const Extent& e) {
                        return e.disk == static_cast<uint32_t>(disk);
                      });
  if (!onDisk) {
    *reason = "volume " + Narrow(volume) + " does not lie on disk " + Num(disk) + " alone";
    return false;
  }
  return true;
}

namespace {

// Up to 16 bytes from `at` in hex: "4d 5a 00 ...".
std::string HexBytes(const unsigned char* at, size_t available) {
  std::string out;
  for (size_t i = 0; i < available && i < 16; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02x", i == 0 ? "" : " ", at[i]);
    out += hex;
  }
  return out;
}

// The scratch disk's handle and length, and the image's, for a read-back.
struct ReadBack {
  HandleGuard image;
  HandleGuard disk;
  uint64_t imageBytes = 0;
  uint64_t diskBytes = 0;
};

int OpenReadBack(int disk, const std::wstring& imagePath, ReadBack* rb, std::string* report) {
  std::string reason;
  if (!ScratchDiskAllowed(disk, &reason)) {
    *report = "refused: disk " + Num(static_cast<uint32_t>(disk)) + ": " + reason;
    return 2;
  }
  uint32_t error = 0;
  *rb->image.out() = Open(imagePath, kGenericRead, kFileShareRead, &error);
  int64_t imageBytes = 0;
  if (rb->image.get() == nullptr || !OsGetFileSizeEx(rb->image.get(), &imageBytes)) {
    *report = "cannot read the image " + Narrow(imagePath) + " (error " +
              Num(rb->image.get() == nullptr ? error : OsLastError()) + ")";
    return 2;
  }
  *rb->disk.out() = Open(DrivePath(disk), kGenericRead, kShareRW, &error);
  alignas(8) unsigned char out[8];
  uint32_t returned = 0;
  if (rb->disk.get() == nullptr ||
      Control(rb->disk.get(), kIoctlDiskGetLengthInfo, nullptr, 0, out, 8, &returned) != "ok") {
    *report = "cannot read disk " + Num(static_cast<uint32_t>(disk)) + "'s length";
    return 2;
  }
  rb->imageBytes = static_cast<uint64_t>(imageBytes);
  rb->diskBytes = ReadLe64(out);
  if (rb->imageBytes == 0 || rb->imageBytes > rb->diskBytes) {
    *report = "the image holds " + Num(rb->imageBytes) + " bytes, the disk " + Num(rb->diskBytes);
    return 2;
  }
  return 0;
}

// Where the tail starts and how long it is: the bytes after the image up to
// the next 4 KiB boundary, which the write job reads and writes back.
uint64_t TailLength(uint64_t imageBytes) {
  return (imageBytes + kBlock - 1) / kBlock * kBlock - imageBytes;
}

// Reads the disk's tail bytes; "" or what failed.
std::string ReadTail(OsHandle disk, uint64_t imageBytes, std::vector<unsigned char>* tail) {
  const uint64_t length = TailLength(imageBytes);
  tail->clear();
  if (length == 0) return "";
  const uint64_t block = imageBytes / kBlock * kBlock;
  PageBuffer buffer(kBlock);
  const std::string read = ReadAt(disk, block, kBlock, buffer.get());
  if (read != "ok, " + Num(kBlock) + " bytes") return "its tail cannot be read (" + read + ")";
  const size_t from = static_cast<size_t>(imageBytes - block);
  tail->assign(buffer.get() + from, buffer.get() + kBlock);
  return "";
}

}  // namespace

int ReadDiskTail(int disk, const std::wstring& imagePath, bool mark,
                 std::vector<unsigned char>* tail, std::string* report) {
  ReadBack rb;
  if (const int refused = OpenReadBack(disk, imagePath, &rb, report)) return refused;
  const std::string name = "disk " + Num(static_cast<uint32_t>(disk));
  const uint64_t length = TailLength(rb.imageBytes);
  if (length == 0) {
    tail->clear();
    *report = name + ": the image ends on a 4 KiB boundary, it has no tail";
    return 0;
  }
  if (mark) {
    // A pattern no file system writes, from the image's last sector to the
    // boundary, so that a write that zeroes the tail shows. Nothing may be
    // mounted there: a mounted volume refuses the write (mounted-write).
    const uint64_t from = rb.imageBytes / kSector * kSector;
    const uint32_t bytes = static_cast<uint32_t>(rb.imageBytes + length - from);
    HandleGuard writer;
    uint32_t error = 0;
    *writer.out() = Open(DrivePath(disk), kRW, kShareRW, &error);
    if (writer.get() == nullptr) {
      *report = name + ": cannot open it to mark the tail (" + Err(error) + ")";
      return 2;
    }
    PageBuffer pattern(bytes);
    for (uint32_t i = 0; i < bytes; ++i) {
      pattern.get()[i] = static_cast<unsigned char>(0xA5 ^ (i * 29 + (from + i) / kSector));
    }
    const std::string wrote = WriteAt(writer.get(), from, bytes, pattern.get());
    if (wrote != "ok, " + Num(bytes) + " bytes") {
      *report = name + ": the tail cannot be marked (" + wrote + ")";
      return 2;
    }
  }
  const std::string failed = ReadTail(rb.disk.get(), rb.imageBytes, tail);
  if (!failed.empty()) {
    *report = name + ": " + failed;
    return 2;
  }
  if (mark) {
    // Read back through the other handle: a mark that did not land would
    // make every later compare of the tail prove nothing.
    const uint64_t from = rb.imageBytes / kSector * kSector;
    for (size_t i = 0; i < tail->size(); ++i) {
      const uint64_t k = rb.imageBytes - from + i;
      const auto expected = static_cast<unsigned char>(0xA5 ^ (k * 29 + (from + k) / kSector));
      if ((*tail)[i] != expected) {
        *report = name + ": the mark did not hold at byte " + Num(rb.imageBytes + i) +
                  ": read " + HexBytes(tail->data() + i, tail->size() - i);
        return 2;
      }
    }
  }
  const size_t zeros = static_cast<size_t>(std::count(tail->begin(), tail->end(), 0));
  *report = name + ": the " + Num(tail->size()) + " bytes after the image, from byte " +
            Num(rb.imageBytes) + (mark ? ", marked and read: " : ", read: ") +
            HexBytes(tail->data(), tail->size()) + " ..." +
            (zeros == tail->size() ? " (all zero)" : "");
  return 0;
}

int CompareDiskWithImage(int disk, const std::wstring& imagePath, std::string* report,
                         const std::vector<unsigned char>* tailBefore) {
  ReadBack rb;
  if (const int refused = OpenReadBack(disk, imagePath, &rb, report)) return refused;
  const std::string name = "disk " + Num(static_cast<uint32_t>(disk));
  const uint64_t size = rb.imageBytes;
  constexpr uint32_t kPiece = 1u << 20;
  PageBuffer fromImage(kPiece);
  PageBuffer fromDisk(kPiece);
  for (uint64_t at = 0; at < size; at += kPiece) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kPiece, size - at));
    uint32_t got = 0;
    if (!OsRead(rb.image.get(), fromImage.get(), want, &got) || got != want) {
      *report = "the image cannot be read at byte " + Num(at) + " (" + Transfer(false, got) + ")";
      return 2;
    }
    // The disk is read in whole sectors; the image's last one may be short.
    const uint32_t sectors = (want + kSector - 1) / kSector * kSector;
    const std::string read = ReadAt(rb.disk.get(), at, sectors, fromDisk.get());
    if (read != "ok, " + Num(sectors) + " bytes") {
      *report = name + " cannot be read at byte " + Num(at) + " (" + read + ")";
      return 2;
    }
    const auto differ = std::mismatch(fromImage.get(), fromImage.get() + want, fromDisk.get());
    if (differ.first != fromImage.get() + want) {
      const size_t index = static_cast<size_t>(differ.first - fromImage.get());
      *report = name + " differs from the image at byte " + Num(at + index) +
                ": the image has " + HexBytes(differ.first, want - index) + ", the disk " +
                HexBytes(differ.second, want - index);
      return 1;
    }
  }
  *report = name + " starts with the image: its first " + Num(size) + " bytes are the image's";
  if (tailBefore == nullptr) return 0;
  std::vector<unsigned char> tail;
  const std::string failed = ReadTail(rb.disk.get(), size, &tail);
  if (!failed.empty()) {
    *report += "; " + failed;
    return 2;
  }
  if (tail.size() != tailBefore->size()) {
    *report += "; the tail read before the write holds " + Num(tailBefore->size()) +
               " bytes, not the " + Num(tail.size()) + " after this image";
    return 2;
  }
  const auto differ = std::mismatch(tail.begin(), tail.end(), tailBefore->begin());
  if (differ.first != tail.end()) {
    const size_t index = static_cast<size_t>(differ.first - tail.begin());
    *report += "; the tail after it differs from before the write at byte " +
               Num(size + index) + ": before " +
               HexBytes(tailBefore->data() + index, tail.size() - index) + ", now " +
               HexBytes(tail.data() + index, tail.size() - index);
    return 1;
  }
  *report += "; the " + Num(tail.size()) +
             " bytes after it, up to the next 4 KiB, are as they were before the write";
  return 0;
}
