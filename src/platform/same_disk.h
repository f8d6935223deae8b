// Which physical disks lie behind a block device or a file system.
//
// Writing recovered files to the medium being recovered could overwrite the
// very data being recovered, so the output guard (output_guard.h) compares the
// disks behind a target folder with the disks behind a device source. This
// module answers "which disks" from sysfs:
//   - a partition maps to its whole disk (<sys>/dev/block/MAJ:MIN/partition);
//   - a device built on other devices (device-mapper, LVM, md RAID, dm-crypt)
//     brings the disks of every device it is built on (<disk>/slaves/*), and
//     keeps itself, so both "on dm-0" and "on sdb" are seen;
//   - a loop device reads its backing file, which is recorded; for a file
//     system on a loop device that file lies on yet another file system, whose
//     disks are added too (writing into the loop's file system writes into
//     that file);
//   - a loop device whose backing "file" is itself a block device (a loop
//     stacked on a loop, a partition or a dm volume) reads that device, which
//     is followed as a slave is, to any depth.
// A file system whose device number names no block device (major 0: tmpfs,
// btrfs, overlayfs, zfs, network file systems) is classified by its type:
// memory and network file systems lie on no local disk; the others are
// unknown, because their disks cannot be told from the device number.
//
// The sysfs root is a parameter, so the mapping can be run against a fake tree.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>

namespace qrv {

struct TDiskSet {
    enum TState {
        Known,  // Disks holds every disk involved
        NoDisk, // lies on no local disk (memory or network file system)
        Unknown // the disks cannot be determined; Why says why
    };
    TState State = Unknown;
    std::set<dev_t> Disks;
    std::string Why; // for Unknown: the file-system type or what sysfs lacked
    // Backing files of the loop devices followed on the way (device and inode):
    // a file system on a loop device is stored in that file.
    std::set<std::pair<dev_t, ino_t>> BackingFiles;
};

// How a file system without a block device of its own is treated, by its
// statfs type: memory and network file systems -> NoDisk, others -> Unknown.
// name receives a readable type name ("tmpfs", "btrfs", "0x1234abcd").
TDiskSet::TState Classify_DevicelessFs(int64_t fsType, std::string& name);

class TDiskMap {
  public:
    explicit TDiskMap(std::string sysRoot = "/sys") : sys_(std::move(sysRoot)) {}

    // The whole disk of a block device number: a partition's disk, else the
    // device itself. nullopt when sysfs does not know the number.
    std::optional<dev_t> Whole_Disk(dev_t dev) const;

    // The disks behind a block device number (see above), and the backing
    // files of every loop device on the way. followLoops: a loop device backed
    // by a file also brings the disks of that file's file system (for a
    // source, only the file itself is the evidence, not its host disk).
    TDiskSet Device_Disks(dev_t dev, bool followLoops) const;

    // The disks behind the file system that holds path (a file or a folder
    // that exists), loops followed.
    TDiskSet Path_Disks(const std::string& path) const;

    // The disks behind a file system given its device number and statfs type.
    TDiskSet FileSystem_Disks(dev_t stDev, int64_t fsType) const;

    // The backing file of a loop device, when the device is one and has one.
    std::optional<std::string> Loop_BackingFile(dev_t dev) const;

  private:
    bool Collect(dev_t dev, bool followLoops, int depth, TDiskSet& out) const;
    std::string sys_;
};

// The whole-disk device number behind a block device number (real sysfs).
std::optional<dev_t> Get_WholeDisk(dev_t dev);

// The whole disk holding the file system of a folder (stat -> st_dev).
std::optional<dev_t> Get_FolderDisk(const std::string& folder);

} // namespace qrv
