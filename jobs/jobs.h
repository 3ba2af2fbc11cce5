// The two long-running disk operations and the volume release they share.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/disks.h"

// Set by Cancel, cleared by Start (UI thread); read before every chunk and
// cleared at the end by the write job.
extern std::atomic<bool> cancelRequested;

// Locks, dismounts and unlocks every listed volume with an extent on disk
// `number`. true if at least one volume matched. Runs on the job's thread.
bool ReleaseDiskVolumes(int32_t number);

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
