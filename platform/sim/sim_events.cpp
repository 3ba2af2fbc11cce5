// Disks that come and go while the program runs: the `events` file a person
// or a test appends lines to, and SimApplyEvent, which applies one line.
#include <algorithm>
#include <cstdio>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

// At most this much of the file is taken in at one call; the rest waits.
constexpr uint64_t kMaxEventsRead = 1 << 20;
constexpr size_t kMaxEventLine = 64 * 1024;

bool Refuse(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

void Report(const Machine& m, const std::string& message) {
  std::fprintf(stderr, "%s:%d: %s; skipped\n", m.eventsName.c_str(), m.eventsLine,
               message.c_str());
}

}  // namespace

bool ApplyEventLine(Machine& m, const std::string& line, std::string* error) {
  Event e;
  if (!ParseEventLine(line, m.baseDir, &e, error)) return false;
  switch (e.kind) {
    case EventKind::kNone:
      return true;
    case EventKind::kUnplug: {
      DiskState* d = PresentDisk(m, e.number);
      const std::string n = std::to_string(e.number);
      if (d == nullptr) return Refuse(error, "unplug " + n + ": no disk " + n + " is present");
      PullOut(m, *d);
      return true;
    }
    case EventKind::kPlug:
      if (PlugDevice(m, e.disk) < 0) {
        return Refuse(error, "plug: no free disk number (all 64 are taken)");
      }
      return true;
    case EventKind::kVolume:
      for (const VolumeState& v : m.volumes) {
        if (v.removed) continue;
        if (!e.volume.name.empty() && v.key == VolumeKey(e.volume.name)) {
          return Refuse(error, "volume '" + Narrow(e.volume.name) +
                                   "': a volume of that name is present");
        }
        if (e.volume.letter != 0 && v.config.letter == e.volume.letter) {
          return Refuse(error, "volume '" + Narrow(e.volume.name) + "': letter " +
                                   Narrow(std::wstring(1, e.volume.letter)) +
                                   " is taken by a volume present");
        }
      }
      AddVolumeState(m, e.volume);
      return true;
  }
  return true;
}

void PollEvents(Machine& m) {
  if (m.eventsPath.empty()) return;
  // The file may appear after the machine was set up.
  if (m.eventsHost == nullptr) {
    m.eventsHost = HostOpen(m.eventsPath, false, false);
    if (m.eventsHost == nullptr) return;
  }
  uint64_t size = 0;
  if (!HostSize(m.eventsHost, &size) || size == m.eventsOffset) return;
  if (size < m.eventsOffset) {
    // Shorter than what was read: written anew, so read again from its start.
    m.eventsOffset = 0;
    m.eventsPending.clear();
    m.eventsLine = 0;
    m.eventsSkipping = false;
  }
  std::string chunk(static_cast<size_t>(std::min(size - m.eventsOffset, kMaxEventsRead)),
                    '\0');
  size_t done = 0;
  if (!HostReadAt(m.eventsHost, m.eventsOffset, &chunk[0], chunk.size(), &done)) return;
  chunk.resize(done);
  m.eventsOffset += done;
  m.eventsPending += chunk;

  size_t start = 0;
  for (size_t end; (end = m.eventsPending.find('\n', start)) != std::string::npos;
       start = end + 1) {
    ++m.eventsLine;
    if (m.eventsSkipping) {
      m.eventsSkipping = false;  // the end of a line already refused
      continue;
    }
    std::string line = m.eventsPending.substr(start, end - start);
    if (m.eventsLine == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    std::string error;
    if (!ApplyEventLine(m, line, &error)) Report(m, error);
  }
  m.eventsPending.erase(0, start);
  if (m.eventsPending.size() > kMaxEventLine) {
    // Counted as the line it will be once its end comes.
    if (!m.eventsSkipping) {
      ++m.eventsLine;
      Report(m, "a line longer than " + std::to_string(kMaxEventLine) + " bytes");
      --m.eventsLine;
    }
    m.eventsSkipping = true;
    m.eventsPending.clear();
  }
}

void SetDescriptionFiles(const std::string& baseDir, const std::string& eventsPath,
                         const std::string& eventsName) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.baseDir = baseDir;
  m.eventsPath = eventsPath;
  m.eventsName = eventsName;
}

}  // namespace sim

using namespace sim;

bool SimApplyEvent(const std::string& line, std::string* error) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::string ignored;
  return ApplyEventLine(m, line, error != nullptr ? error : &ignored);
}
