// Host side of the simulated machine for the native build: host files over
// POSIX descriptors, and an empty machine for a process that sets up none.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/sim/sim_internal.h"

namespace sim {

struct HostFile {
  int fd;
};

HostFile* HostOpen(const std::string& path, bool writable, bool create) {
  // Non-blocking, so that a pipe's name cannot stall the open before it is
  // refused below; it changes nothing for a plain file.
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (writable && create) flags |= O_CREAT;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return new HostFile{fd};
}

void HostClose(HostFile* f) {
  if (f == nullptr) return;
  ::close(f->fd);
  delete f;
}

bool HostReadAt(HostFile* f, uint64_t offset, void* buffer, size_t length,
                size_t* done) {
  auto* out = static_cast<char*>(buffer);
  size_t total = 0;
  while (total < length) {
    const ssize_t n = ::pread(f->fd, out + total, length - total,
                              static_cast<off_t>(offset + total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  *done = total;
  return true;
}

bool HostWriteAt(HostFile* f, uint64_t offset, const void* buffer,
                 size_t length) {
  const auto* in = static_cast<const char*>(buffer);
  size_t total = 0;
  while (total < length) {
    const ssize_t n = ::pwrite(f->fd, in + total, length - total,
                               static_cast<off_t>(offset + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    total += static_cast<size_t>(n);
  }
  return true;
}

bool HostSize(HostFile* f, uint64_t* size) {
  struct stat st;
  if (::fstat(f->fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool HostResize(HostFile* f, uint64_t size) {
  return ::ftruncate(f->fd, static_cast<off_t>(size)) == 0;
}

bool HostSync(HostFile* f) { return ::fsync(f->fd) == 0; }

bool HostFileId(HostFile* f, std::string* id) {
  struct stat st;
  if (::fstat(f->fd, &st) != 0) return false;
  *id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  return true;
}

void HostBuildDefaultMachine() { SimReset(); }

}  // namespace sim
