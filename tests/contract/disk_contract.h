// The disk and volume calls of the platform seam: what the program relies on
// and the simulated machine claims, checked the same way against the
// simulated machine (natively) and against Windows (contract_tests.exe
// --disk N --volume X:). Each check names the row of
// docs/machine-description.md it proves and, when the system answers
// otherwise, prints the machine's answer beside the system's.
//
// The checks change the disk: they lock and dismount its volume, write the
// bytes they read back into place, delete its layout, write past its end and
// write a partition table of their own, and the last disk check deletes the
// layout again, leaving no volume on the disk. Run them only on a scratch
// disk; ContractDiskAllowed says whether a disk is one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DiskContractTarget {
  int disk = -1;              // physical drive number
  wchar_t letter = 0;         // drive letter of the disk's one volume
  std::wstring filePath;      // a file on that volume
  // Optional parts of the fixture; a check that needs a missing one is
  // skipped, and says why.
  std::wstring spanningVolume;  // a volume with three extents or more
  int emptyReader = -1;         // a disk with no medium (a card reader)
};

// What the two builds do differently around the checks.
struct DiskContractHost {
  // Gives the system time to finish what follows a change (a volume that
  // goes after its partition does); natively nothing has to wait.
  void (*pause)(uint32_t milliseconds);
  // Has the system read the disk's partition table anew, as another process
  // asking for it would (IOCTL_DISK_UPDATE_PROPERTIES). false if refused.
  bool (*rereadLayout)(int disk);
};

struct ContractTally {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
};

// Runs every check in order, printing a line for each (and both answers for
// a failed one) and, as it ends, its line of the table of the machine
// description's rows; the rows no check asks come last. Leaves no handle
// open.
void RunDiskContract(const DiskContractTarget& target, const DiskContractHost& host,
                     ContractTally* tally);

// The rows of docs/machine-description.md the checks name, in check order.
std::vector<std::string> DiskContractRows();

// Whether disk `disk` is a scratch disk: a virtual disk (storage descriptor
// vendor "Msft", product "Virtual Disk") of at most 1 GiB. false with the
// reason otherwise.
bool ScratchDiskAllowed(int disk, std::string* reason);

// Whether the checks may run on disk `disk` and volume `letter`: a scratch
// disk with the volume on it. false with the reason otherwise.
bool ContractDiskAllowed(int disk, wchar_t letter, std::string* reason);

// Every row of the machine description's table, in its order; with
// `unsettledOnly`, only those it calls not settled (marked so in the table
// RunDiskContract ends with).
std::vector<std::string> DescriptionRows(bool unsettledOnly);

// Reads a scratch disk back through \\.\PhysicalDriveN and compares its
// first bytes with the image at `imagePath` (both through the seam). No
// volume is asked for: after an image is written the old one may be gone.
// With `tailBefore` (what ReadDiskTail read before the write), the bytes
// after the image up to the next 4 KiB boundary must be those.
// Returns 0 when they are the image's, 1 when a byte differs (the report
// names the first, with the bytes from there on both sides), 2 when nothing
// could be compared (refused, unreadable).
int CompareDiskWithImage(int disk, const std::wstring& imagePath, std::string* report,
                         const std::vector<unsigned char>* tailBefore = nullptr);

// Reads the tail of a scratch disk: the bytes after the image's end up to the
// next 4 KiB boundary (none when it ends on one). With `mark`, first writes a
// pattern over the sectors from the image's last one to the boundary, which
// only succeeds where no mounted volume lies. 0, or 2 with the reason.
int ReadDiskTail(int disk, const std::wstring& imagePath, bool mark,
                 std::vector<unsigned char>* tail, std::string* report);
