// Reading a machine description (docs/machine-description.md). The whole
// text is checked before anything changes, so a bad description leaves no
// half-built machine behind.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr uint64_t kMaxDescriptionBytes = 64ull * 1024 * 1024;

// One blank-separated word of a statement line.
struct Word {
  std::string whole;         // the word as a positional argument
  std::string key;           // before '=', or the bare flag
  std::string value;         // after '=', escapes resolved
  bool hasValue = false;
};

struct FileSpec {
  std::wstring path;
  std::vector<uint8_t> bytes;
  std::string hostPath;
  SimHolder holder = SimHolder::kNone;
  int line = 0;
};

struct Description {
  int codePageLine = 0;
  uint32_t codePage = 936;
  int exeLine = 0;
  std::wstring exe;
  int clockLine = 0;
  bool realClock = false;
  std::vector<SimDisk> disks;
  std::vector<int> diskLines;
  std::vector<SimVolume> volumes;
  std::vector<int> volumeLines;
  std::vector<FileSpec> files;
  std::vector<SimFault> faults;
  int hostFilesLine = 0;
  int eventsLine = 0;
  std::string eventsPath;  // as written
};

// What an attribute of a statement is.
enum class AttrKind { kFlag, kValue, kRepeated };
struct AttrRule {
  const char* name;
  AttrKind kind;
};

class Parser {
 public:
  Parser(const std::string& source, const std::string& baseDir)
      : source_(source), baseDir_(baseDir) {}

  bool Parse(const std::string& text, Description* d);
  // One line of an events file; its messages carry no file name or line.
  bool EventLine(const std::string& line, Event* event);
  const std::string& error() const { return error_; }
  std::string HostPath(const std::string& path) const;

 private:
  bool Fail(const std::string& message) {
    error_ = source_.empty() ? message
                             : source_ + ":" + std::to_string(line_) + ": " + message;
    return false;
  }
  // Strips a line's CR; false for a blank or comment line.
  static bool Content(std::string* line);
  bool Split(const std::string& line, std::vector<Word>* words);
  bool Quoted(const std::string& line, size_t* i, std::string* out);
  bool Statement(const std::vector<Word>& words, Description* d);
  bool Attributes(const std::vector<Word>& words, size_t first,
                  const std::vector<AttrRule>& rules,
                  std::vector<const Word*>* found);
  bool Wide(const std::string& text, const char* what, std::wstring* out);
  bool Number(const std::string& text, const char* what, uint64_t max,
              uint64_t* out);
  bool Size(const std::string& text, const char* what, uint64_t* out);
  bool Count(const std::string& text, const char* what, uint64_t* out);
  bool Code(const std::string& text, const char* what, uint32_t* out);
  bool Hex(const std::string& text, const char* what, std::vector<uint8_t>* out);
  bool Holder(const std::string& text, SimHolder* out);

  bool Disk(const std::vector<Word>& words, Description* d);
  // The attributes of a disk from words[first] on; `what` names the
  // statement in messages.
  bool DiskAttributes(const std::vector<Word>& words, size_t first,
                      const std::string& what, SimDisk* disk);
  bool Volume(const std::vector<Word>& words, Description* d);
  bool File(const std::vector<Word>& words, Description* d);
  bool Fault(const std::vector<Word>& words, Description* d);
  bool HostFiles(const std::vector<Word>& words, Description* d);
  bool Events(const std::vector<Word>& words, Description* d);

  std::string source_;
  std::string baseDir_;
  std::string error_;
  int line_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Reads a quoted text starting at line[*i] == '"'; leaves *i after the
// closing quote.
bool Parser::Quoted(const std::string& line, size_t* i, std::string* out) {
  out->clear();
  for (size_t k = *i + 1; k < line.size(); ++k) {
    const char c = line[k];
    if (c == '"') {
      *i = k + 1;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++k >= line.size()) break;
    switch (line[k]) {
      case '\\': out->push_back('\\'); break;
      case '"': out->push_back('"'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'x': {
        const int hi = k + 1 < line.size() ? HexDigit(line[k + 1]) : -1;
        const int lo = k + 2 < line.size() ? HexDigit(line[k + 2]) : -1;
        if (hi < 0 || lo < 0) return Fail("\\x needs two hex digits");
        out->push_back(static_cast<char>(hi * 16 + lo));
        k += 2;
        break;
      }
      default:
        return Fail("unknown escape '\\" + std::string(1, line[k]) + "'");
    }
  }
  return Fail("unterminated quoted text");
}

bool Parser::Split(const std::string& line, std::vector<Word>* words) {
  words->clear();
  size_t i = 0;
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) return true;
    Word w;
    if (line[i] == '"') {
      if (!Quoted(line, &i, &w.whole)) return false;
      w.key = "\"";  // a quoted word is never an attribute
    } else {
      const size_t start = i;
      while (i < line.size() && !IsBlank(line[i]) && line[i] != '"' &&
             (w.hasValue || line[i] != '=')) {
        ++i;
      }
      w.key = line.substr(start, i - start);
      if (i < line.size() && line[i] == '=') {
        w.hasValue = true;
        ++i;
        if (i < line.size() && line[i] == '"') {
          if (!Quoted(line, &i, &w.value)) return false;
        } else {
          const size_t from = i;
          while (i < line.size() && !IsBlank(line[i]) && line[i] != '"') ++i;
          w.value = line.substr(from, i - from);
        }
      }
      w.whole = line.substr(start, i - start);
      if (i < line.size() && line[i] == '"') return Fail("unexpected '\"'");
    }
    if (i < line.size() && !IsBlank(line[i])) {
      return Fail("text right after a closing quote");
    }
    words->push_back(w);
  }
}

bool Parser::Wide(const std::string& text, const char* what, std::wstring* out) {
  if (Utf8ToWide(text, out)) return true;
  return Fail(std::string(what) + " is not valid UTF-8");
}

bool Parser::Number(const std::string& text, const char* what, uint64_t max,
                    uint64_t* out) {
  uint64_t v = 0;
  const bool hex = text.size() > 2 && text[0] == '0' &&
                   (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  const size_t from = hex ? 2 : 0;
  bool ok = text.size() > from;
  for (size_t i = from; ok && i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base ||
        v > (max - static_cast<uint64_t>(digit)) / base) {
      ok = false;
      break;
    }
    v = v * base + static_cast<uint64_t>(digit);
  }
  if (!ok) {
    return Fail(std::string(what) + ": " + Quote(text) +
                " is not a number from 0 to " + std::to_string(max));
  }
  *out = v;
  return true;
}

bool Parser::Size(const std::string& text, const char* what, uint64_t* out) {
  std::string digits = text;
  unsigned shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      case 'T': case 't': shift = 40; break;
      default: break;
    }
    if (shift != 0) digits.pop_back();
  }
  uint64_t v = 0;
  if (!Number(digits, what, ~0ull >> shift, &v)) {
    return Fail(std::string(what) + ": " + Quote(text) +
                " is not a size (bytes, or a number with K, M, G or T)");
  }
  *out = v << shift;
  return true;
}

// A count of events, 1 or more.
bool Parser::Count(const std::string& text, const char* what, uint64_t* out) {
  if (!Number(text, what, ~0ull, out)) return false;
  if (*out == 0) return Fail(std::string(what) + ": must be 1 or more");
  return true;
}

bool Parser::Code(const std::string& text, const char* what, uint32_t* out) {
  uint64_t v = 0;
  if (!Number(text, what, 0xFFFFFFFFu, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool Parser::Hex(const std::string& text, const char* what,
                 std::vector<uint8_t>* out) {
  out->clear();
  int pending = -1;
  for (char c : text) {
    if (IsBlank(c)) continue;
    const int digit = HexDigit(c);
    if (digit < 0) {
      return Fail(std::string(what) + ": " + Quote(std::string(1, c)) +
                  " is not a hex digit");
    }
    if (pending < 0) {
      pending = digit;
    } else {
      out->push_back(static_cast<uint8_t>(pending * 16 + digit));
      pending = -1;
    }
  }
  if (pending >= 0) return Fail(std::string(what) + ": odd number of hex digits");
  return true;
}

bool Parser::Holder(const std::string& text, SimHolder* out) {
  if (text == "shared") {
    *out = SimHolder::kShared;
  } else if (text == "exclusive") {
    *out = SimHolder::kExclusive;
  } else if (text == "editor") {
    *out = SimHolder::kEditor;
  } else {
    return Fail("held: " + Quote(text) +
                " is not 'shared', 'exclusive' or 'editor'");
  }
  return true;
}

std::string Parser::HostPath(const std::string& path) const {
  const bool absolute =
      (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
      (path.size() >= 2 && path[1] == ':');
  if (absolute || baseDir_.empty()) return path;
  const char last = baseDir_.back();
  return baseDir_ + ((last == '/' || last == '\\') ? "" : "/") + path;
}

// Checks the words from `first` on against the rules; found[i] is the word
// for rules[i] (the last one for a repeated attribute), or nullptr.
bool Parser::Attributes(const std::vector<Word>& words, size_t first,
                        const std::vector<AttrRule>& rules,
                        std::vector<const Word*>* found) {
  found->assign(rules.size(), nullptr);
  for (size_t i = first; i < words.size(); ++i) {
    const Word& w = words[i];
    size_t r = 0;
    while (r < rules.size() && w.key != rules[r].name) ++r;
    if (r == rules.size()) {
      if (w.key == "\"") return Fail("unexpected quoted text");
      return Fail("unknown attribute " + Quote(w.key));
    }
    const AttrRule& rule = rules[r];
    if (rule.kind == AttrKind::kFlag && w.hasValue) {
      return Fail(Quote(w.key) + " takes no value");
    }
    if (rule.kind != AttrKind::kFlag && !w.hasValue) {
      return Fail(Quote(w.key) + " needs a value (" + w.key + "=...)");
    }
    if (rule.kind != AttrKind::kRepeated && (*found)[r] != nullptr) {
      return Fail(Quote(w.key) + " is given twice");
    }
    (*found)[r] = &w;
  }
  return true;
}

bool Parser::Disk(const std::vector<Word>& words, Description* d) {
  uint64_t number = 0;
  if (!Number(words[1].whole, "disk number", 63, &number)) return false;
  for (size_t i = 0; i < d->disks.size(); ++i) {
    if (d->disks[i].number == static_cast<int>(number)) {
      return Fail("disk " + std::to_string(number) + " is already described on line " +
                  std::to_string(d->diskLines[i]));
    }
  }
  SimDisk disk;
  if (!DiskAttributes(words, 2, "disk", &disk)) return false;
  disk.number = static_cast<int>(number);
  d->disks.push_back(disk);
  d->diskLines.push_back(line_);
  return true;
}

bool Parser::DiskAttributes(const std::vector<Word>& words, size_t first,
                            const std::string& what, SimDisk* out) {
  static const std::vector<AttrRule> rules = {
      {"size", AttrKind::kValue},       {"vendor", AttrKind::kValue},
      {"product", AttrKind::kValue},    {"serial", AttrKind::kValue},
      {"removable", AttrKind::kFlag},   {"sector", AttrKind::kValue},
      {"nodescriptor", AttrKind::kFlag}, {"descriptor", AttrKind::kValue},
      {"lengtherror", AttrKind::kValue}, {"file", AttrKind::kValue},
      {"held", AttrKind::kValue},       {"speed", AttrKind::kValue},
      {"unplug", AttrKind::kValue},     {"nomedia", AttrKind::kFlag},
      {"rescan", AttrKind::kValue}};
  std::vector<const Word*> a;
  if (!Attributes(words, first, rules, &a)) return false;
  SimDisk disk;
  if (a[0] == nullptr) return Fail(what + " needs a size (size=...)");
  if (!Size(a[0]->value, "size", &disk.length)) return false;
  if (a[1] != nullptr) disk.vendor = a[1]->value;
  if (a[2] != nullptr) disk.product = a[2]->value;
  if (a[3] != nullptr) disk.serial = a[3]->value;
  disk.removable = a[4] != nullptr;
  if (a[5] != nullptr) {
    if (a[5]->value == "512") {
      disk.sectorSize = 512;
    } else if (a[5]->value == "4096") {
      disk.sectorSize = 4096;
    } else {
      return Fail("sector: " + Quote(a[5]->value) + " is not 512 or 4096");
    }
  }
  if (disk.length % disk.sectorSize != 0) {
    return Fail("size " + std::to_string(disk.length) +
                " is not a whole number of " + std::to_string(disk.sectorSize) +
                "-byte sectors");
  }
  if (a[6] != nullptr && a[7] != nullptr) {
    return Fail("'nodescriptor' and 'descriptor' exclude each other");
  }
  disk.hasDescriptor = a[6] == nullptr;
  if (a[7] != nullptr) {
    disk.useRawDescriptor = true;
    if (!Hex(a[7]->value, "descriptor", &disk.rawDescriptor)) return false;
  }
  if (a[8] != nullptr && !Code(a[8]->value, "lengtherror", &disk.lengthQueryError)) {
    return false;
  }
  if (a[9] != nullptr) {
    if (a[9]->value.empty()) return Fail("file: empty path");
    disk.backingFile = HostPath(a[9]->value);
  }
  if (a[10] != nullptr && !Holder(a[10]->value, &disk.holder)) return false;
  if (a[11] != nullptr && !Size(a[11]->value, "speed", &disk.bytesPerSecond)) {
    return false;
  }
  if (a[12] != nullptr && !Count(a[12]->value, "unplug", &disk.unplugAfterWrites)) {
    return false;
  }
  disk.noMedia = a[13] != nullptr;
  if (a[14] != nullptr && !Count(a[14]->value, "rescan", &disk.rescanAfterWrites)) {
    return false;
  }
  *out = disk;
  return true;
}

bool Parser::Volume(const std::vector<Word>& words, Description* d) {
  static const std::vector<AttrRule> rules = {
      {"letter", AttrKind::kValue},   {"extent", AttrKind::kRepeated},
      {"unmounted", AttrKind::kFlag}, {"unlisted", AttrKind::kFlag},
      {"extentserror", AttrKind::kValue}, {"remount", AttrKind::kValue}};
  SimVolume v;
  if (!Wide(words[1].whole, "volume name", &v.name)) return false;
  std::vector<const Word*> a;
  if (!Attributes(words, 2, rules, &a)) return false;
  for (size_t i = 0; i < d->volumes.size(); ++i) {
    if (VolumeKey(d->volumes[i].name) == VolumeKey(v.name)) {
      return Fail("volume " + Quote(words[1].whole) +
                  " is already described on line " +
                  std::to_string(d->volumeLines[i]));
    }
  }
  if (a[0] != nullptr) {
    const std::string& s = a[0]->value;
    const bool letter = s.size() == 1 && ((s[0] >= 'A' && s[0] <= 'Z') ||
                                          (s[0] >= 'a' && s[0] <= 'z'));
    if (!letter) return Fail("letter: " + Quote(s) + " is not a drive letter");
    v.letter = static_cast<wchar_t>(s[0] >= 'a' ? s[0] - 'a' + 'A' : s[0]);
    for (size_t i = 0; i < d->volumes.size(); ++i) {
      if (d->volumes[i].letter == v.letter) {
        return Fail("letter " + s + " is already taken on line " +
                    std::to_string(d->volumeLines[i]));
      }
    }
  }
  for (size_t i = 2; i < words.size(); ++i) {
    if (words[i].key != "extent") continue;
    const std::string& s = words[i].value;
    const size_t c1 = s.find(':');
    const size_t c2 = c1 == std::string::npos ? c1 : s.find(':', c1 + 1);
    if (c2 == std::string::npos || s.find(':', c2 + 1) != std::string::npos) {
      return Fail("extent: " + Quote(s) + " is not DISK:OFFSET:LENGTH");
    }
    uint64_t disk = 0;
    SimExtent e;
    if (!Number(s.substr(0, c1), "extent disk", 0xFFFFFFFFu, &disk) ||
        !Size(s.substr(c1 + 1, c2 - c1 - 1), "extent offset", &e.offset) ||
        !Size(s.substr(c2 + 1), "extent length", &e.length)) {
      return false;
    }
    if (e.offset + e.length < e.offset) return Fail("extent: past 2^64 bytes");
    e.disk = static_cast<uint32_t>(disk);
    v.extents.push_back(e);
  }
  v.mounted = a[2] == nullptr;
  v.listed = a[3] == nullptr;
  if (a[4] != nullptr && !Code(a[4]->value, "extentserror", &v.extentsError)) {
    return false;
  }
  if (a[5] != nullptr && !Count(a[5]->value, "remount", &v.remountAfterWrites)) {
    return false;
  }
  d->volumes.push_back(v);
  d->volumeLines.push_back(line_);
  return true;
}

bool Parser::File(const std::vector<Word>& words, Description* d) {
  static const std::vector<AttrRule> rules = {{"text", AttrKind::kValue},
                                              {"hex", AttrKind::kValue},
                                              {"host", AttrKind::kValue},
                                              {"held", AttrKind::kValue}};
  FileSpec f;
  f.line = line_;
  if (!Wide(words[1].whole, "file path", &f.path)) return false;
  if (f.path.empty()) return Fail("file: empty path");
  std::vector<const Word*> a;
  if (!Attributes(words, 2, rules, &a)) return false;
  for (const FileSpec& other : d->files) {
    if (FoldPath(other.path) == FoldPath(f.path)) {
      return Fail("file " + Quote(words[1].whole) +
                  " is already described on line " + std::to_string(other.line));
    }
  }
  const int sources = (a[0] != nullptr) + (a[1] != nullptr) + (a[2] != nullptr);
  if (sources != 1) return Fail("file needs exactly one of text=, hex= or host=");
  if (a[0] != nullptr) f.bytes.assign(a[0]->value.begin(), a[0]->value.end());
  if (a[1] != nullptr && !Hex(a[1]->value, "hex", &f.bytes)) return false;
  if (a[2] != nullptr) {
    f.hostPath = HostPath(a[2]->value);
    HostFile* probe = a[2]->value.empty() ? nullptr
                                          : HostOpen(f.hostPath, false, false);
    if (probe == nullptr) return Fail("host file " + Quote(f.hostPath) + " cannot be opened");
    HostClose(probe);
  }
  if (a[3] != nullptr && !Holder(a[3]->value, &f.holder)) return false;
  d->files.push_back(f);
  return true;
}

bool Parser::Fault(const std::vector<Word>& words, Description* d) {
  static const std::vector<AttrRule> rules = {
      {"error", AttrKind::kValue},  {"nth", AttrKind::kValue},
      {"persistent", AttrKind::kFlag}, {"target", AttrKind::kValue},
      {"ioctl", AttrKind::kValue},  {"short", AttrKind::kValue}};
  static const struct {
    const char* name;
    uint32_t code;
  } ioctls[] = {
      {"IOCTL_DISK_GET_LENGTH_INFO", kIoctlDiskGetLengthInfo},
      {"IOCTL_STORAGE_QUERY_PROPERTY", kIoctlStorageQueryProperty},
      {"IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS", kIoctlVolumeGetVolumeDiskExtents},
      {"FSCTL_LOCK_VOLUME", kFsctlLockVolume},
      {"FSCTL_DISMOUNT_VOLUME", kFsctlDismountVolume},
      {"FSCTL_UNLOCK_VOLUME", kFsctlUnlockVolume},
      {"IOCTL_DISK_DELETE_DRIVE_LAYOUT", kIoctlDiskDeleteDriveLayout}};
  SimFault f;
  bool known = false;
  for (int op = 0; op <= static_cast<int>(SimOp::kStartThread); ++op) {
    if (words[1].whole == SimOpName(static_cast<SimOp>(op))) {
      f.op = static_cast<SimOp>(op);
      known = true;
    }
  }
  if (!known) return Fail("unknown operation " + Quote(words[1].whole));
  std::vector<const Word*> a;
  if (!Attributes(words, 2, rules, &a)) return false;
  if (a[0] != nullptr && !Code(a[0]->value, "error", &f.error)) return false;
  if (a[1] != nullptr) {
    uint64_t nth = 0;
    if (!Number(a[1]->value, "nth", 0x7FFFFFFF, &nth)) return false;
    if (nth == 0) return Fail("nth counts from 1");
    f.nth = static_cast<int>(nth);
  }
  f.persistent = a[2] != nullptr;
  if (a[3] != nullptr && !Wide(a[3]->value, "target", &f.target)) return false;
  if (a[4] != nullptr) {
    bool named = false;
    for (const auto& io : ioctls) {
      if (a[4]->value == io.name) {
        f.ioctl = io.code;
        named = true;
      }
    }
    if (!named && !Code(a[4]->value, "ioctl", &f.ioctl)) return false;
    if (f.op != SimOp::kDeviceControl) return Fail("ioctl= is for DeviceControl faults");
  }
  if (a[5] != nullptr) {
    uint64_t bytes = 0;
    if (!Size(a[5]->value, "short", &bytes)) return false;
    if (bytes == 0 || bytes > 0xFFFFFFFFu) return Fail("short: from 1 to 4294967295 bytes");
    if (f.op != SimOp::kRead && f.op != SimOp::kWrite) {
      return Fail("short= is for Read and Write faults");
    }
    f.shortBytes = static_cast<uint32_t>(bytes);
  }
  d->faults.push_back(f);
  return true;
}

// `hostfiles`: a flag of the whole machine, so no argument and once only.
bool Parser::HostFiles(const std::vector<Word>& words, Description* d) {
  if (words.size() > 1) {
    return Fail("hostfiles takes no argument, not " + Quote(words[1].whole));
  }
  if (d->hostFilesLine != 0) {
    return Fail("hostfiles is already given on line " + std::to_string(d->hostFilesLine));
  }
  d->hostFilesLine = line_;
  return true;
}

// `events PATH`: the host file that disks coming and going are written to.
bool Parser::Events(const std::vector<Word>& words, Description* d) {
  if (words.size() > 2) {
    return Fail("events takes one argument, not " + Quote(words[2].whole));
  }
  if (d->eventsLine != 0) {
    return Fail("events is already given on line " + std::to_string(d->eventsLine));
  }
  if (words[1].whole.empty()) return Fail("events: empty path");
  d->eventsLine = line_;
  d->eventsPath = words[1].whole;
  return true;
}

bool Parser::Statement(const std::vector<Word>& words, Description* d) {
  const std::string& keyword = words[0].key;
  if (words[0].hasValue || keyword == "\"") {
    return Fail("a line starts with a statement, not " + Quote(words[0].whole));
  }
  static const char* const kKnown[] = {"codepage", "exe",   "clock",     "disk",
                                       "volume",   "file",  "fault",     "hostfiles",
                                       "events"};
  bool known = false;
  for (const char* k : kKnown) known = known || keyword == k;
  if (!known) return Fail("unknown statement " + Quote(keyword));
  if (keyword == "hostfiles") return HostFiles(words, d);
  if (words.size() < 2) return Fail(keyword + " needs an argument");
  if (keyword == "events") return Events(words, d);
  const bool single = keyword == "codepage" || keyword == "exe" || keyword == "clock";
  if (single && words.size() > 2) {
    return Fail(keyword + " takes one argument, not " + Quote(words[2].whole));
  }
  if (single) {
    int* seen = keyword == "codepage" ? &d->codePageLine
                : keyword == "exe"    ? &d->exeLine
                                      : &d->clockLine;
    if (*seen != 0) {
      return Fail(keyword + " is already given on line " + std::to_string(*seen));
    }
    *seen = line_;
  }
  const std::string& arg = words[1].whole;
  if (keyword == "codepage") {
    uint64_t cp = 0;
    if (!Number(arg, "codepage", 0xFFFFFFFFu, &cp)) return false;
    if (!IsSupportedCodePage(static_cast<uint32_t>(cp))) {
      return Fail("codepage " + arg + " is not 936, 1252 or 65001");
    }
    d->codePage = static_cast<uint32_t>(cp);
    return true;
  }
  if (keyword == "exe") {
    if (!Wide(arg, "exe", &d->exe)) return false;
    if (d->exe.empty()) return Fail("exe: empty path");
    return true;
  }
  if (keyword == "clock") {
    if (arg != "real" && arg != "virtual") {
      return Fail("clock: " + Quote(arg) + " is not 'real' or 'virtual'");
    }
    d->realClock = arg == "real";
    return true;
  }
  if (keyword == "disk") return Disk(words, d);
  if (keyword == "volume") return Volume(words, d);
  if (keyword == "file") return File(words, d);
  return Fault(words, d);
}

bool Parser::Content(std::string* line) {
  if (!line->empty() && line->back() == '\r') line->pop_back();
  size_t first = 0;
  while (first < line->size() && IsBlank((*line)[first])) ++first;
  return first < line->size() && (*line)[first] != '#';
}

bool Parser::Parse(const std::string& text, Description* d) {
  size_t start = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  std::vector<Word> words;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_;
    if (!Content(&line)) continue;
    if (line.find('\0') != std::string::npos) return Fail("NUL byte in the line");
    if (!Split(line, &words)) return false;
    if (!Statement(words, d)) return false;
  }
  return true;
}

bool Parser::EventLine(const std::string& text, Event* event) {
  *event = Event();
  std::string line = text;
  if (!Content(&line)) return true;
  if (line.find('\0') != std::string::npos) return Fail("NUL byte in the line");
  std::vector<Word> words;
  if (!Split(line, &words)) return false;
  const std::string& keyword = words[0].key;
  if (words[0].hasValue || (keyword != "unplug" && keyword != "plug" && keyword != "volume")) {
    return Fail("unknown event " + Quote(words[0].whole) +
                " (unplug, plug or volume)");
  }
  if (keyword == "plug") {
    event->kind = EventKind::kPlug;
    return DiskAttributes(words, 1, "plug", &event->disk);
  }
  if (words.size() < 2) return Fail(keyword + " needs an argument");
  if (keyword == "unplug") {
    if (words.size() > 2) {
      return Fail("unplug takes one argument, not " + Quote(words[2].whole));
    }
    uint64_t number = 0;
    if (!Number(words[1].whole, "unplug", 63, &number)) return false;
    event->kind = EventKind::kUnplug;
    event->number = static_cast<int>(number);
    return true;
  }
  // Checked against the machine when applied, not against a description.
  Description alone;
  if (!Volume(words, &alone)) return false;
  event->kind = EventKind::kVolume;
  event->volume = alone.volumes[0];
  return true;
}

}  // namespace

bool ParseEventLine(const std::string& line, const std::string& baseDir,
                    Event* event, std::string* error) {
  Parser parser(std::string(), baseDir);
  if (parser.EventLine(line, event)) return true;
  *error = parser.error();
  return false;
}

bool LoadDescriptionText(const std::string& text, const std::string& baseDir,
                         const std::string& sourceName, bool realClockByDefault,
                         std::string* error) {
  Description d;
  Parser parser(sourceName, baseDir);
  const bool ok = parser.Parse(text, &d);
  SimReset();
  if (!ok) {
    if (error != nullptr) *error = parser.error();
    return false;
  }
  SimSetCodePage(d.codePage);
  if (d.exeLine != 0) SimSetExecutablePath(d.exe);
  SimUseRealClock(d.clockLine != 0 ? d.realClock : realClockByDefault);
  for (const SimDisk& disk : d.disks) SimAddDisk(disk);
  for (const SimVolume& v : d.volumes) SimAddVolume(v);
  for (const FileSpec& f : d.files) {
    if (f.hostPath.empty()) {
      SimPutFile(f.path, f.bytes);
    } else {
      SimPutHostFile(f.path, f.hostPath);
    }
    if (f.holder != SimHolder::kNone) SimSetFileHolder(f.path, f.holder);
  }
  for (const SimFault& f : d.faults) SimAddFault(f);
  if (d.hostFilesLine != 0) SimAllowHostFiles(true);
  SetDescriptionFiles(baseDir, d.eventsLine != 0 ? parser.HostPath(d.eventsPath) : "",
                      d.eventsPath);
  return true;
}

bool LoadDescriptionPath(const std::string& hostPath, bool realClockByDefault,
                         std::string* error) {
  const size_t slash = hostPath.find_last_of("/\\");
  const std::string baseDir =
      slash == std::string::npos ? std::string() : hostPath.substr(0, slash);
  const std::string name =
      slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
  std::string text;
  HostFile* f = HostOpen(hostPath, false, false);
  uint64_t size = 0;
  size_t done = 0;
  bool ok = f != nullptr && HostSize(f, &size) && size <= kMaxDescriptionBytes;
  if (ok) {
    text.resize(static_cast<size_t>(size));
    ok = HostReadAt(f, 0, &text[0], text.size(), &done) && done == text.size();
  }
  HostClose(f);
  if (!ok) {
    SimReset();
    if (error != nullptr) *error = hostPath + ": cannot be read";
    return false;
  }
  return LoadDescriptionText(text, baseDir, name, realClockByDefault, error);
}

}  // namespace sim
