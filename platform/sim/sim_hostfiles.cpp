// Host files through the simulated machine: the `hostfiles` statement, which
// lets a person try the program on real images (the file dialog lists the
// host's files), and the control call behind it.
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

// Whether the host file with this id holds one of the machine's disks,
// present or gone. Read
// as an image it would alias the disk: a rehearsal could copy a disk onto
// itself, or read one while another write changes it. (A described file's
// host source is read-only either way, so reaching it by its host name is
// harmless; the demonstration's image is one.)
bool IsBackingFile(Machine& m, const std::string& id) {
  for (const auto& d : m.devices) {
    const DiskState& disk = *d.second;
    if (disk.config.backingFile.empty()) continue;
    // A disk not yet read or written has no file open, yet may have one.
    HostFile* f = disk.host != nullptr ? disk.host
                                       : HostOpen(disk.config.backingFile, false, false);
    std::string other;
    const bool same = f != nullptr && HostFileId(f, &other) && other == id;
    if (f != disk.host) HostClose(f);
    if (same) return true;
  }
  return false;
}

}  // namespace

uint32_t ResolveHostFile(Machine& m, const std::wstring& path, HandleState* hs) {
  if (!m.hostFiles || path.empty()) return kErrorFileNotFound;
  const std::string hostPath = WideToUtf8(path);
  // Plain files only: HostOpen refuses folders, devices and pipes.
  HostFile* host = HostOpen(hostPath, false, false);
  std::string id;
  if (host == nullptr || !HostFileId(host, &id) || IsBackingFile(m, id)) {
    HostClose(host);
    return kErrorFileNotFound;
  }
  for (auto it = m.hostFilesOpen.begin(); it != m.hostFilesOpen.end();) {
    it = it->second.expired() ? m.hostFilesOpen.erase(it) : std::next(it);
  }
  std::shared_ptr<FileState> state;
  auto open = m.hostFilesOpen.find(id);
  if (open != m.hostFilesOpen.end()) state = open->second.lock();
  if (state) {
    HostClose(host);
  } else {
    state = std::make_shared<FileState>();
    state->path = path;
    state->hostPath = hostPath;
    state->host = host;
    m.hostFilesOpen[id] = state;
  }
  bool seen = false;
  for (const std::string& p : m.hostFilesReached) seen = seen || p == hostPath;
  if (!seen) m.hostFilesReached.push_back(hostPath);
  hs->kind = Kind::kFile;
  hs->file = std::move(state);
  return 0;
}

}  // namespace sim

using namespace sim;

void SimAllowHostFiles(bool allow) {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.hostFiles = allow;
}
