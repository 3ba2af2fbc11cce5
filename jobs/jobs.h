// The two long-running disk operations and the volume release they share.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/disks.h"
#include "platform/platform.h"

// Set by Cancel, cleared by Start (UI thread); read before every chunk and
// cleared at the end by the write job.
extern std::atomic<bool> cancelRequested;

// Locks, dismounts and unlocks every listed volume with an extent on disk
// `number`. true if at least one volume matched. Runs on the job's thread.
bool ReleaseDiskVolumes(int32_t number);

// Volumes a job has locked and dismounted and keeps open, so that the lock
// holds them down: Windows may mount a dismounted, unlocked volume again at
// any time (a shell refreshing its drives, an antivirus), and a write into a
// mounted volume's sectors is refused. Closed on every path out of a scope.
class HeldVolumes {
 public:
  // A GPT disk's usual table holds 128 partitions; volumes past that are
  // released without being held.
  static constexpr int kMaxHeldVolumes = 128;
  HeldVolumes() = default;
  ~HeldVolumes() { Close(); }
  HeldVolumes(const HeldVolumes&) = delete;
  HeldVolumes& operator=(const HeldVolumes&) = delete;
  // Takes ownership of `volume`; false (caller keeps it) when full.
  bool Keep(OsHandle volume);
  // Closes every kept handle, which unlocks its volume.
  void Close();

 private:
  OsHandle handles_[kMaxHeldVolumes] = {};
  int count_ = 0;
};

// The jobs' releases, which touch only the disk the user confirmed:
// `confirmed` is a handle CheckSameDiskAt checked against `disk` and left
// open. Before each volume is locked, the device behind `confirmed` must
// still be that disk; if not, the walk stops there and kErrorMediaChanged is
// returned (0 when the walk went through). No volume of another device is
// ever locked or dismounted, whenever the disks are swapped.
// As ReleaseDiskVolumes:
uint32_t ReleaseConfirmedDiskVolumes(OsHandle confirmed, const DiskEntry& disk);
// Each matching volume is locked and dismounted and then kept in *held,
// locked where the lock was granted:
uint32_t TakeDiskVolumes(OsHandle confirmed, const DiskEntry& disk,
                         HeldVolumes* held);

// Whether an IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS reply of `replyBytes` bytes
// lists disk `number`; only extents wholly inside the reply count.
bool ExtentReplyListsDisk(const unsigned char* reply, uint32_t replyBytes,
                          int32_t number);

// Copies the image named in the path box onto `disk` from byte 0, reporting
// through the view. `disk` is the entry the user confirmed, copied on the UI
// thread. Runs on a worker thread (or the test's); returns when done.
void WriteImageJob(const DiskEntry& disk);

// Deletes the partition layout of `disk`; posts Refresh on success.
void WipePartitionsJob(const DiskEntry& disk);

// Starts a job on a thread of its own with its own copy of `disk`. false if
// the thread could not be created (nothing runs then).
bool StartWriteImageJob(const DiskEntry& disk);
bool StartWipePartitionsJob(const DiskEntry& disk);
