// The machine's report after a run by hand (SimReport in sim.h).
#include <algorithm>

#include "platform/sim/sim_internal.h"

using namespace sim;

std::string SimReport() {
  EnsureMachine();
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::string text;
  for (const auto& d : m.devices) {
    const DiskState& disk = *d.second;
    uint64_t bytes = 0;
    uint64_t end = 0;
    for (const SimRange& r : disk.writes) {
      bytes += r.length;
      end = std::max(end, r.offset + r.length);
    }
    text += "disk " + std::to_string(disk.config.number) + " written " +
            std::to_string(bytes) + " end " + std::to_string(end) + " layout " +
            (disk.layoutDeleted ? "deleted" : "kept") + " origin " +
            (disk.plugged ? "plugged" : "described") + " state " +
            (disk.unplugged ? "gone" : "present");
    if (!disk.config.backingFile.empty()) {
      text += " backing " + disk.config.backingFile;
    }
    text += "\n";
  }
  for (const std::string& path : m.hostFilesReached) {
    text += "hostfile " + path + "\n";
  }
  return text;
}
