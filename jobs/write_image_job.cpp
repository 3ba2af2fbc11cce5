// The image write: copies an image file onto a whole physical disk from byte
// 0 in 4 MiB chunks, on a worker thread, reporting through the view.

#include <cstring>

#include "core/disks.h"
#include "core/progress.h"
#include "core/text.h"
#include "jobs/jobs.h"
#include "platform/platform.h"
#include "ui/view.h"

std::atomic<bool> cancelRequested{false};

namespace {

constexpr uint32_t kChunkBytes = 4194304;
// What every disk takes whole; larger sectors (4Kn) take multiples of theirs.
constexpr uint32_t kSectorBytes = 512;
constexpr int kPathChars = 260;
constexpr size_t kMessageChars = 256;
constexpr size_t kFinalMessageChars = 512;
constexpr double kMiB = 1024.0 * 1024.0;

const wchar_t kErrorCaption[] = L"错误";
const wchar_t kSpeedIdle[] = L"速度：-";

struct RunResult {
  int64_t imageSize = 0;
  uint64_t written = 0;  // image bytes on the disk; the tail block's own never count
  double averageSpeed = 0;
};

void ShowError(const wchar_t* text) {
  ViewMessageBox(BoxOwner::kNone, text, kErrorCaption, kMbIconError);
}

// The disk could not be opened as the one confirmed: `error` is the failed
// call's code, or ERROR_MEDIA_CHANGED when another device has its number now.
void ShowDiskRefused(uint32_t error) {
  wchar_t text[kMessageChars];
  FormatText(text, kMessageChars,
             L"打开目标磁盘失败 (错误码: %lu)。\n"
             L"请尝试先使用“删除全部分区”按钮清除磁盘分区。",
             error);
  ShowError(text);
}

// Reads exactly `length` bytes from the disk's current position.
bool ReadDiskWhole(OsHandle disk, unsigned char* buffer, uint32_t length) {
  uint32_t got = 0;
  return OsRead(disk, buffer, length, &got) && got == length;
}

// A last chunk the disk will not take as it is goes out as whole 4 KiB
// blocks, which every sector size takes; the bytes of its last block past
// the image's end belong to the disk (an MBR backup is followed by a GPT
// header), so they are read back first and written unchanged. `length` is
// the padded length, clipped at the disk's end; the disk's position is left
// at the chunk's start. false if the disk
// could not be read or positioned: then nothing of the chunk is written.
bool KeepDiskTail(OsHandle disk, uint64_t chunkStart, unsigned char* buffer,
                  uint32_t filled, uint32_t length) {
  if (length <= filled) return true;
  const uint32_t blockStart = filled / kTailBlockBytes * kTailBlockBytes;
  const uint32_t imageBytes = filled - blockStart;
  unsigned char image[kTailBlockBytes];
  std::memcpy(image, buffer + blockStart, imageBytes);
  if (!OsSeek(disk, static_cast<int64_t>(chunkStart + blockStart)) ||
      !ReadDiskWhole(disk, buffer + blockStart, length - blockStart))
    return false;
  std::memcpy(buffer + blockStart, image, imageBytes);
  return OsSeek(disk, static_cast<int64_t>(chunkStart));
}

// Fills `buffer` from the image until it holds `capacity` bytes or the image
// ends: a short read in mid-file must neither leave a hole in the chunk nor
// shift the data after it. *ended reports the end of the image.
bool FillChunk(OsHandle image, unsigned char* buffer, uint32_t capacity,
               uint32_t* filled, bool* ended) {
  *filled = 0;
  *ended = false;
  while (*filled < capacity) {
    uint32_t got = 0;
    if (!OsRead(image, buffer + *filled, capacity - *filled, &got))
      return false;
    if (got == 0) {
      *ended = true;
      break;
    }
    *filled += got;
  }
  return true;
}

// A size we can divide by and check against the disk: GetFileSizeEx must
// answer, and a file that reads as empty must really be empty.
bool ImageSizeKnown(OsHandle image, int64_t* size) {
  if (!OsGetFileSizeEx(image, size) || *size < 0) return false;
  if (*size > 0) return true;
  unsigned char probe = 0;
  uint32_t got = 0;
  return OsRead(image, &probe, 1, &got) && got == 0;
}

// Steps from reading the path box to closing both handles. Shows the error
// boxes itself; the outcome is decided by the caller from *result.
void CopyImage(const DiskEntry& disk, RunResult* result) {
  wchar_t imagePath[kPathChars];
  ViewGetText(kImagePathBox, imagePath, kPathChars);
  if (imagePath[0] == L'\0') {
    ShowError(L"请先选择镜像文件");
    return;
  }

  // Declared before the disk so that the disk is always closed first.
  HandleGuard image;
  if (!OsOpen(imagePath, kGenericRead, kFileShareRead, kOpenExisting,
              kFileAttributeNormal, image.out())) {
    ShowError(L"打开镜像失败");
    return;
  }
  if (!ImageSizeKnown(image.get(), &result->imageSize)) {
    result->imageSize = 0;
    ShowError(L"打开镜像失败");
    return;
  }
  const int64_t imageSize = result->imageSize;
  // Checked against the size confirmed, before any disk is looked at: an
  // image that cannot be written costs no volume its mount. (The identity
  // check below makes the disk's length that size.) An empty one ends the
  // run as a failure with nothing done.
  if (imageSize > static_cast<int64_t>(disk.sizeBytes)) {
    ShowError(L"镜像大于磁盘容量");
    return;
  }
  if (imageSize == 0) {
    SetStatus(L"开始写入镜像...");
    return;
  }

  // The number may belong to another device by now: a disk pulled out frees
  // it for the next one plugged in. Nothing touches the disk or its volumes
  // before it is known to be the one confirmed, and the handle that checked
  // it stays open through the volume release, which touches a volume only
  // while that handle's device is still the one confirmed.
  HandleGuard look;
  // A disk that will not tell its length counts as 0 bytes long, which no
  // image fits; its name and serial still decide whether it is another disk.
  bool lengthUnread = false;
  if (uint32_t error = CheckSameDiskAt(disk, &look, &lengthUnread)) {
    ShowDiskRefused(error);
    return;
  }
  if (lengthUnread) {
    ShowError(L"镜像大于磁盘容量");
    return;
  }

  wchar_t devicePath[kDevicePathChars];
  FormatDevicePath(devicePath, kDevicePathChars, disk.number);
  // A mounted file system refuses writes into its extents, and one that was
  // merely dismounted may be mounted again by anyone mid-copy: hold the
  // disk's volumes locked until the disk is closed. Declared between the two
  // handles, so they are closed right after the disk.
  HeldVolumes volumes;
  uint32_t refused = TakeDiskVolumes(look.get(), disk, &volumes);
  // The exclusive open shares nothing, not even with this program's look.
  look.Close();
  HandleGuard target;
  if (refused == 0 &&
      !OsOpen(devicePath, kGenericRead | kGenericWrite, 0, kOpenExisting, 0,
              target.out())) {
    // The retry's release is checked as the first one was.
    refused = CheckSameDiskAt(disk, &look, &lengthUnread);
    if (refused == 0 && !lengthUnread)
      refused = ReleaseConfirmedDiskVolumes(look.get(), disk);
    look.Close();
    if (refused == 0 && !lengthUnread &&
        !OsOpen(devicePath, kGenericRead | kGenericWrite, 0, kOpenExisting, 0,
                target.out()))
      refused = FailureCode();
  }
  // Checked again on the handle that writes: a swap in the moments since the
  // last check would otherwise go unseen. From here on the handle stays with
  // its device, and a device pulled out fails every call.
  if (refused == 0 && !lengthUnread)
    refused = CheckSameDisk(target.get(), disk, &lengthUnread);
  if (refused != 0) {
    target.Close();
    // Given up on the disk: nothing is left to hold its volumes for.
    volumes.Close();
    ShowDiskRefused(refused);
    return;
  }

  // The volume locks are this program's own: no box is shown while they
  // hold. The disk and the image stay open until the box is closed.
  const int64_t diskLength = lengthUnread ? 0 : QueryDiskLength(target.get());
  if (imageSize > diskLength) {
    volumes.Close();
    ShowError(L"镜像大于磁盘容量");
    return;
  }

  // Declared after both handles: released before they are closed.
  PageBuffer buffer(kChunkBytes);
  if (buffer.get() == nullptr) {
    volumes.Close();
    ShowError(L"内存分配失败");
    return;
  }

  SetStatus(L"开始写入镜像...");
  const int64_t startTick = OsPerfCounter();
  const int64_t frequency = OsPerfFrequency();
  int64_t lastTick = startTick;
  uint64_t lastWritten = 0;
  uint64_t written = 0;

  OsSeek(target.get(), 0);
  OsSeek(image.get(), 0);

  while (!cancelRequested.load()) {
    uint32_t filled = 0;
    bool ended = false;
    if (!FillChunk(image.get(), buffer.get(), kChunkBytes, &filled, &ended) ||
        filled == 0)
      break;
    // The image grew since its size was checked against the disk: the bytes
    // past that size are not part of what the user confirmed.
    if (written + filled > static_cast<uint64_t>(imageSize)) break;

    // Raw disk transfers must be whole sectors. Whole 512-byte sectors go
    // out as they are; only a length no disk takes, or one this disk refused
    // (87, before any byte moved: its sectors are larger), is completed with
    // what the disk holds there.
    uint32_t length = filled;
    bool padded = false;
    const auto pad = [&] {
      padded = true;
      length = PaddedChunkLength(
          filled, static_cast<uint64_t>(diskLength) - written);
      return KeepDiskTail(target.get(), written, buffer.get(), filled, length);
    };
    uint32_t done = 0;
    bool wrote = filled % kSectorBytes == 0 || pad();
    if (wrote) wrote = OsWrite(target.get(), buffer.get(), length, &done);
    if (!wrote && !padded && filled % kTailBlockBytes != 0 &&
        OsLastError() == kErrorInvalidParameter)
      wrote = pad() && OsWrite(target.get(), buffer.get(), length, &done);
    if (!wrote) {
      result->written = written;
      volumes.Close();
      ShowError(L"写入失败");
      return;  // no flush: the guards free the buffer, then close both
    }
    written += done < filled ? done : filled;
    ViewSetProgress(ProgressPercent(written, static_cast<uint64_t>(imageSize)));

    const int64_t now = OsPerfCounter();
    const double interval =
        static_cast<double>(now - lastTick) / static_cast<double>(frequency);
    if (interval >= 0.5) {
      const double speed =
          static_cast<double>(written - lastWritten) / kMiB / interval;
      const double elapsed =
          static_cast<double>(now - startTick) / static_cast<double>(frequency);
      const double average = static_cast<double>(written) / elapsed;
      const double remaining =
          static_cast<double>(imageSize) - static_cast<double>(written);
      const double eta = average > 0 ? remaining / average : 0;
      wchar_t text[kMessageChars];
      FormatText(text, kMessageChars,
                 L"速度：%.2f MB/s    已写 %.2f / %.2f MB    ETA: %.0f s", speed,
                 static_cast<double>(written) / kMiB,
                 static_cast<double>(imageSize) / kMiB, eta);
      ViewSetText(kSpeedLabel, text);
      lastTick = now;
      lastWritten = written;
    }

    // A short write leaves the disk position short of the image position;
    // every later chunk would land at the wrong offset.
    if (done < length) break;
    if (ended) break;
  }

  OsFlush(target.get());
  const double total = static_cast<double>(OsPerfCounter() - startTick) /
                       static_cast<double>(frequency);
  if (total > 0)
    result->averageSpeed = static_cast<double>(written) / kMiB / total;
  result->written = written;
  buffer.Release();
  target.Close();
  volumes.Close();
  image.Close();
}

uint32_t WriteImageThread(void* arg) {
  DiskEntry disk;
  std::memcpy(&disk, arg, sizeof disk);
  OsHeapFree(arg);
  WriteImageJob(disk);
  return 0;
}

}  // namespace

void WriteImageJob(const DiskEntry& disk) {
  RunResult result;
  CopyImage(disk, &result);

  // Cancellation first: a Cancel pressed during the last chunk or while an
  // error box was open still ends as cancelled.
  if (cancelRequested.load()) {
    SetStatus(L"已取消");
    ViewSetText(kSpeedLabel, kSpeedIdle);
    ViewMessageBox(BoxOwner::kNone, L"写入已取消", L"信息", kMbOk);
  } else if (result.written != 0 &&
             result.written == static_cast<uint64_t>(result.imageSize)) {
    ViewSetProgress(100);
    wchar_t text[kFinalMessageChars];
    FormatText(text, kFinalMessageChars, L"镜像写入完成\n\n平均速度：%.2f MB/s",
               result.averageSpeed);
    SetStatus(L"写入完成 (平均速度: %.2f MB/s)", result.averageSpeed);
    ViewSetText(kSpeedLabel, kSpeedIdle);
    ViewMessageBox(BoxOwner::kNone, text, L"完成", kMbOk);
  } else {
    SetStatus(L"写入失败或被中止");
    ViewSetText(kSpeedLabel, kSpeedIdle);
  }

  ViewEnable(kStartButton, true);
  ViewEnable(kCancelButton, false);
  ViewEnable(kDeleteButton, true);
  cancelRequested.store(false);
}

bool StartWriteImageJob(const DiskEntry& disk) {
  void* copy = OsHeapAlloc(sizeof(DiskEntry));
  if (copy == nullptr) return false;
  std::memcpy(copy, &disk, sizeof(DiskEntry));
  if (!OsStartThread(WriteImageThread, copy)) {
    OsHeapFree(copy);
    return false;
  }
  return true;
}
